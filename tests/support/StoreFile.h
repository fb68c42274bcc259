// Store files (config.ini, dictionary.ini, ...) as the program keeps them:
// UTF-16 little-endian without byte-order mark, CR LF line ends. Lets a test
// write a fixture as readable UTF-8 text and read a written file back.
#pragma once

#include <string>

namespace testsupport {

// Writes utf8Text as a store file, every "\n" becoming CR LF; creates the
// missing parent folders.
void WriteStoreFile(const std::string& path, const std::string& utf8Text);

// The text of a store file as UTF-8, line ends as stored; empty when missing.
std::string ReadStoreFile(const std::string& path);

}  // namespace testsupport

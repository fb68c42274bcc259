// A second local account for tests that play another local user, or a user
// whose processes must not reach what the test's own user made. Made once per
// machine (a system account without login or home) and kept: parallel tests
// share it. Needs root, useradd and setpriv.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct TestAccount {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Finds or makes the account. False, with why set, when it cannot be had (the
// caller skips its test with that message).
bool EnsureTestAccount(const std::string& name, TestAccount& account, std::string& why);

// The prefix that runs a program as account with exactly these environment
// changes: NAME=VALUE sets, an empty VALUE unsets NAME. Beyond them, a
// suppressions file named in ASAN_OPTIONS, LSAN_OPTIONS, TSAN_OPTIONS or
// UBSAN_OPTIONS (inherited or set here) is handed over as a world-readable
// copy (see ReadableSuppressions): a sanitized program that cannot read its
// suppressions file exits before its first line, and the account may not be
// able to enter the checkout or the build folder the file lies in.
std::vector<std::string> RunAs(const TestAccount& account, const std::map<std::string, std::string>& environment);

// options (a sanitizer's option string: flags separated by blanks, ',' or
// ':', a value possibly in quotes) with the path of every suppressions=PATH
// replaced by that of a copy in /tmp that every account can read; the rest
// is kept as it was. The copy is named by its content, so parallel tests
// share it, and published by a rename, so nobody reads it half-written. A
// path that cannot be read, or copied, is left as it was (the sanitizer then
// says what is wrong with it).
std::string ReadableSuppressions(const std::string& options);

// A copy of this test program that account may run (the build folder may be
// closed to it), made in folder (which must be enterable by it). Returns its
// path, or empty.
std::string ProgramCopyFor(const std::string& folder);

// Hands path (a file or a folder, not what is in it) to account.
void GiveTo(const TestAccount& account, const std::string& path);

}  // namespace testsupport

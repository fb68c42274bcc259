// Any bytes as a command line: NUL bytes split them into arguments, which are
// joined as a Linux start joins them and parsed. Every text field of the
// request is a piece of that command line, and none spans an option break.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "startup/CommandLine.h"

namespace {

void CheckField(const std::u16string& commandLine, const std::u16string& field) {
  FUZZ_CHECK(commandLine.find(field) != std::u16string::npos);
  FUZZ_CHECK(field.find(u" /") == std::u16string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::UsePrivateDataHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments{"vexaro"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());

  const std::u16string commandLine = startup::JoinArguments(static_cast<int>(argv.size()), argv.data());
  const startup::DownloadRequest request = startup::ParseCommandLine(commandLine);
  for (const std::u16string* field : {&request.url, &request.file, &request.type, &request.cookie,
                                      &request.referer, &request.path, &request.format}) {
    CheckField(commandLine, *field);
  }
  if (request.autoclose) FUZZ_CHECK(commandLine.find(u":true") != std::u16string::npos);
  if (request.size != 0) FUZZ_CHECK(commandLine.find(u"/size") != std::u16string::npos);
  return 0;
}

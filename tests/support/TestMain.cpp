// The main() of every test program: runs a registered helper when started as
// a helper process, else the tests, with a pinned locale so that no test
// depends on the machine's language settings.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/HelperProcess.h"

namespace testsupport {
std::map<std::string, HelperFunction>& Helpers();
}

int main(int argc, char** argv) {
  ::setenv("LC_ALL", "C", 1);
  std::setlocale(LC_ALL, "C");
  constexpr const char kFlag[] = "--vexaro-helper=";
  if (argc >= 2 && std::strncmp(argv[1], kFlag, sizeof kFlag - 1) == 0) {
    const std::string name = argv[1] + sizeof kFlag - 1;
    auto& helpers = testsupport::Helpers();
    const auto it = helpers.find(name);
    if (it == helpers.end()) return 126;
    return it->second(std::vector<std::string>(argv + 2, argv + argc));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

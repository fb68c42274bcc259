#include "support/CommaDecimalLocale.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

namespace testsupport {

CommaDecimalLocale::CommaDecimalLocale() {
  if (std::system("command -v localedef > /dev/null 2>&1") != 0) {
    why_ = "localedef is not installed (Debian package libc-bin with locales)";
    return;
  }
  const std::string command = "localedef -i de_DE -f UTF-8 '" + folder_.File("de_DE.UTF-8") + "' > '" +
                              folder_.File("localedef.log") + "' 2>&1";
  if (std::system(command.c_str()) != 0) {
    why_ = "localedef could not build de_DE.UTF-8 (are the sources of Debian's locales package "
           "installed?), see " + folder_.File("localedef.log");
    return;
  }
  if (const char* old = std::getenv("LOCPATH")) {
    hadLocPath_ = true;
    oldLocPath_ = old;
  }
  ::setenv("LOCPATH", folder_.Path().c_str(), 1);
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr ||
      std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
    why_ = "the locale built by localedef could not be set";
    return;
  }
  active_ = true;
}

CommaDecimalLocale::~CommaDecimalLocale() {
  std::setlocale(LC_ALL, "C");
  ::setenv("LC_ALL", "C", 1);
  if (hadLocPath_) ::setenv("LOCPATH", oldLocPath_.c_str(), 1);
  else ::unsetenv("LOCPATH");
}

}  // namespace testsupport

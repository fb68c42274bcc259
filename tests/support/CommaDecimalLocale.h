// A comma-decimal locale (de_DE.UTF-8, "1,5") as the process locale, the way a
// Qt program on a German desktop runs. The tests otherwise pin "C", which
// hides any number that follows the locale. The locale is built with
// localedef into a private LOCPATH inside a temporary folder, so the system's
// locales are neither needed nor touched.
#pragma once

#include <string>

#include "support/TempFolder.h"

namespace testsupport {

class CommaDecimalLocale {
 public:
  CommaDecimalLocale();   // builds it and makes it the process locale
  ~CommaDecimalLocale();  // back to "C", LOCPATH as it was
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

  // False when it could not be had; Why() says why (for GTEST_SKIP).
  bool Active() const { return active_; }
  const std::string& Why() const { return why_; }

 private:
  TempFolder folder_;
  bool active_ = false;
  std::string why_;
  std::string oldLocPath_;
  bool hadLocPath_ = false;
};

}  // namespace testsupport

// What the error record (section "Errors" of settings_tab.ini) holds, for
// tests of code that reports through settings::ReportError. Header-only:
// include it only from tests that link vexaro_settings.
#pragma once

#include <string>

#include "settings/Settings.h"

namespace testsupport {

// The number recorded under code ("1105"), or "(none)".
inline std::u16string RecordedError(const std::u16string& code) {
  const settings::SectionMap errors = settings::Settings::GetInstance()->GetErrors();
  const auto found = errors.find(code);
  return found == errors.end() ? u"(none)" : found->second;
}

}  // namespace testsupport

// Helper processes of the settings tests (see support/HelperProcess.h).
#include <string>

#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

// Takes a lock and holds it: until the release file appears when one is
// given, else until killed. Args: lock name, ready file [, release file].
VEXARO_TEST_HELPER(hold_lock) {
  settings::Mutex lock(platform::FromUtf8(args.at(0)), 60);
  if (!lock.IsLocked()) return 2;
  testsupport::WriteFileBytes(args.at(1), "");
  const std::string release = args.size() > 2 ? args.at(2) : args.at(1) + ".never";
  testsupport::WaitForFile(release, 120000);
  return 0;
}

// Exit code 0 when the lock can be taken. Args: lock name.
VEXARO_TEST_HELPER(take_lock) {
  settings::Mutex lock(platform::FromUtf8(args.at(0)), 60);
  return lock.IsLocked() ? 0 : 1;
}

// Adds one to a counter of settings_tab.ini, many times; with a start file,
// only once it appears, so that several helpers start together. Args: key,
// times [, start file].
VEXARO_TEST_HELPER(count) {
  if (args.size() > 2) testsupport::WaitForFile(args.at(2), 30000);
  settings::Settings* store = settings::Settings::GetInstance();
  const std::u16string key = platform::FromUtf8(args.at(0));
  for (int i = std::stoi(args.at(1)); i > 0; --i) store->IncrementCounter(key);
  return 0;
}

// ReportError(error, group, point). Args: the three numbers.
VEXARO_TEST_HELPER(report) {
  settings::Settings::GetInstance();
  settings::ReportError(static_cast<std::uint32_t>(std::stoul(args.at(0))), std::stoi(args.at(1)),
                        std::stoi(args.at(2)), u"helper");
  return 0;
}

// Rewrites a store with a 100 KB value under its lock, over and over, until
// killed. Args: store path, ready file.
VEXARO_TEST_HELPER(write_forever) {
  const std::u16string big(50000, u'x');
  for (bool told = false;;) {
    settings::Mutex lock(settings::kSettingsFileLock, settings::kSettingsFileErrorBase);
    if (!lock.IsLocked()) continue;  // a killed writer's lock, given back now
    settings::IniFile file(platform::FromUtf8(args.at(0)), true);
    file.SetSection(u"Settings", {{u"big", big}});
    if (!file.Write()) return 3;
    if (!told) testsupport::WriteFileBytes(args.at(1), "");
    told = true;
  }
}

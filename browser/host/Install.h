// The native-messaging manifests that tell each browser where the host is.
//
// A browser starts the host only when a manifest named after it
// (org.vexaro.host.json) in one of its folders allows the add-on: Chromium and
// Google Chrome list the add-on's origin, Firefox its id. The manifests'
// text is kept once, in manifests/, for `cmake --install` (system-wide
// folders) and compiled in for InstallUserManifests (the user's folders).
//
// Uses Qt's file classes; call from the main thread.
#pragma once

#include <string>
#include <vector>

namespace browserhost {

inline constexpr char kHostName[] = "org.vexaro.host";

enum class Browser { Chromium, GoogleChrome, Firefox };

// The manifest for one browser with path as the host (absolute).
std::string ManifestText(Browser browser, const std::string& hostPath);

struct ManifestWrite {
  Browser browser;
  std::string file;   // where it went
  bool written = false;
  std::string error;  // when not written
};

// Writes the three per-user manifests, each replaced whole:
//   $XDG_CONFIG_HOME/chromium/NativeMessagingHosts/        (default ~/.config)
//   $XDG_CONFIG_HOME/google-chrome/NativeMessagingHosts/
//   ~/.mozilla/native-messaging-hosts/
// creating the folders. A failure on one does not stop the others.
std::vector<ManifestWrite> InstallUserManifests(const std::string& hostPath);

}  // namespace browserhost

// vexaro-browser-host: the native-messaging host the browser add-on talks to.
// The browser starts it for each message; see Host.h for the exchange.
#include "browser/host/Host.h"
#include "browser/host/Launch.h"
#include "platform/Process.h"
#include "platform/Stream.h"

int main() {
  // Our standard output is the browser's message channel: nothing but the
  // framed answer may reach it, whatever a library prints.
  const int answers = platform::TakeStandardOutput();
  if (answers < 0) return 1;
  platform::IgnoreBrokenPipe();
  platform::RestoreChildSignal();

  browserhost::ProgramLauncher launcher(browserhost::ProgramBesideHost());
  browserhost::ConfiguredTypes types;
  browserhost::ServeOptions options;
  options.version = VEXARO_VERSION;
  const browserhost::ServeResult result = browserhost::Serve(0, answers, launcher, types, options);
  return result == browserhost::ServeResult::WriteFailed ? 1 : 0;
}

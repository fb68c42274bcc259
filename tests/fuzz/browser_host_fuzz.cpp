// Any bytes as what the browser writes to the native-messaging host: framing,
// JSON and field checks. Whatever comes, the host writes exactly one frame of
// at most 1 MiB holding a JSON object with "ok" (or nothing, for no input), a
// refused message starts nothing, and what a taken one starts is what the
// program reads back from its standard input, field for field.
#include <sys/mman.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "browser/host/Framing.h"
#include "browser/host/Host.h"
#include "browser/host/Message.h"
#include "platform/Text.h"
#include "startup/CommandLine.h"

namespace {

struct CheckingLauncher : browserhost::Launcher {
  int launched = 0;
  bool Launch(const browserhost::DownloadFields& d, std::string&) override {
    ++launched;
    startup::DownloadRequest request;
    FUZZ_CHECK(startup::ParseRequestOptions(browserhost::EncodeRequestOptions(d), request));
    FUZZ_CHECK(request.url == platform::FromUtf8(d.url));
    FUZZ_CHECK(request.cookie == platform::FromUtf8(d.cookie));
    FUZZ_CHECK(request.referer == platform::FromUtf8(d.referer));
    FUZZ_CHECK(request.type == platform::FromUtf8(d.type));
    FUZZ_CHECK(request.autoclose == d.autoclose);
    for (const char c : d.cookie + d.referer) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    return true;
  }
};

struct AnyType : browserhost::TypeFilter {
  bool Handles(const std::string&) override { return true; }
};

// A descriptor reading bytes (a memory file: any size, always ready).
int FileWith(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::UsePrivateDataHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int in = FileWith(data, size);
  const int out = memfd_create("answer", MFD_CLOEXEC);
  CheckingLauncher launcher;
  AnyType types;
  browserhost::ServeOptions options;
  options.readTimeoutMs = 100;
  const browserhost::ServeResult result = browserhost::Serve(in, out, launcher, types, options);
  close(in);

  std::string written(static_cast<std::size_t>(lseek(out, 0, SEEK_END)), '\0');
  lseek(out, 0, SEEK_SET);
  FUZZ_CHECK(read(out, written.data(), written.size()) == static_cast<ssize_t>(written.size()));
  close(out);
  if (result == browserhost::ServeResult::NoMessage) {
    FUZZ_CHECK(size == 0 && written.empty());
    return 0;
  }
  FUZZ_CHECK(result == browserhost::ServeResult::Answered);
  FUZZ_CHECK(written.size() >= 4 && written.size() <= 4 + browserhost::kMaxAnswerBytes);
  std::uint32_t length = 0;
  std::memcpy(&length, written.data(), 4);
  FUZZ_CHECK(length + 4u == written.size());
  const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(written.substr(4))).object();
  FUZZ_CHECK(answer.value("ok").isBool());
  FUZZ_CHECK(launcher.launched <= 1);
  if (!answer.value("ok").toBool()) FUZZ_CHECK(launcher.launched == 0);
  return 0;
}

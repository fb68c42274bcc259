// bench_handoff: how quickly a later start's download becomes a row of the
// first instance, and how quickly vexaro shows its Save-As dialog compared with
// a minimal Qt program showing the same dialog.
//
//   vexaro-bench-handoff VEXARO QT_MINIMAL    runs both measurements
//   vexaro-bench-handoff --send SOCKET        one later start (internal)
//
// Hand-off: this process is the first instance (the real hand-off socket and
// the real manager dialog, offscreen). It starts 50 later starts one after the
// other as processes of their own; each prints the monotonic clock just before
// its first record goes out, and this process reads the same clock when the
// commit has added the row. CLOCK_MONOTONIC is one clock for all processes.
//
// Start time: a private Xvfb, a watcher on the root window's map events, and
// the program started; the time runs from the start to the mapping of a
// window titled "Save file as". vexaro and the peer alternate, after one
// warm-up start each (vexaro's first start writes its stores).
#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <vector>
#include <xcb/xcb.h>

#include "manager/DownloadFileDialog.h"
#include "startup/Handoff.h"
#include "startup/LocalHandoffLink.h"

namespace {

constexpr int kHandoffs = 50;
constexpr int kStartRuns = 7;
const char kSaveAsTitle[] = "Save file as";

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

int Send(const char* socket) {
  startup::ManagedDownload download;
  download.url = u"http://127.0.0.1:1/handoff.flv";  // refused at once: the row ends quickly
  download.targetPath = u"/nonexistent/handoff.flv";
  std::int64_t t0 = 0;
  const bool sent = startup::SendHandoffRecords(QString::fromUtf8(socket), transfer::MakeHandoffRecords(download),
                                                15000, [&t0] { t0 = NowNs(); }) == startup::SendResult::Delivered;
  std::printf("%lld\n", static_cast<long long>(t0));
  return sent ? 0 : 1;
}

std::vector<double> MeasureHandoffs(const QString& self) {
  startup::LocalHandoffLink link;
  link.Open(u"Vexaro Download Manager");
  if (link.Status() != 0 || !link.IsListening()) {
    std::fprintf(stderr, "bench: cannot listen as the first instance\n");
    return {};
  }
  manager::CDownloadFileDialog dialog(u"http://127.0.0.1:1/first.flv", u"", u"/nonexistent/first.flv", u"", 0, u"",
                                      false, u"");
  std::vector<std::int64_t> rowAt;
  struct Sink : startup::HandoffSink {
    manager::CDownloadFileDialog& dialog;
    std::vector<std::int64_t>& rowAt;
    Sink(manager::CDownloadFileDialog& d, std::vector<std::int64_t>& r) : dialog(d), rowAt(r) {}
    void Record(startup::HandoffSender sender, std::uint32_t kind, const std::string& payload) override {
      const int before = dialog.RowCount();
      dialog.OnCopyData(sender, kind, QByteArray(payload.data(), static_cast<qsizetype>(payload.size())));
      if (dialog.RowCount() > before) rowAt.push_back(NowNs());
    }
    void SenderEnded(startup::HandoffSender sender) override { dialog.OnSenderGone(sender); }
  } sink(dialog, rowAt);
  link.Inbox().Attach(&sink);
  dialog.show();

  std::vector<double> latencies;
  for (int i = 0; i < kHandoffs; ++i) {
    QProcess sender;
    sender.start(self, {QStringLiteral("--send"), link.SocketFile()});
    // The sender needs this event loop to be answered, so poll rather than
    // block (waitForFinished() also returns false once it has finished).
    const std::int64_t deadline = NowNs() + 20'000'000'000;
    while (sender.state() != QProcess::NotRunning && NowNs() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    if (sender.state() != QProcess::NotRunning) sender.kill();
    sender.waitForFinished(1000);
    const long long sentAt = sender.readAllStandardOutput().trimmed().toLongLong();
    if (sender.exitCode() != 0 || rowAt.size() != static_cast<std::size_t>(i + 1)) {
      std::fprintf(stderr, "bench: hand-off %d failed\n", i + 1);
      return {};
    }
    latencies.push_back(static_cast<double>(rowAt.back() - sentAt) / 1e6);
  }
  link.Inbox().Detach();
  link.StopListening();
  dialog.done(QDialog::Accepted);
  return latencies;
}

// Watches the display for a window titled kSaveAsTitle being mapped.
class MapWatcher {
 public:
  explicit MapWatcher(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection_)) return;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_);
    ok_ = true;
  }
  ~MapWatcher() { xcb_disconnect(connection_); }
  bool Ok() const { return ok_; }

  // The clock when the window was mapped, or -1 after timeoutMs.
  std::int64_t WaitForTitle(int timeoutMs) {
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const std::int64_t at = NowNs();
        const bool mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY;
        const xcb_window_t window = mapped ? reinterpret_cast<xcb_map_notify_event_t*>(event)->window : 0;
        std::free(event);
        if (mapped && Title(window) == kSaveAsTitle) return at;
      }
      const std::int64_t left = (deadline - NowNs()) / 1000000;
      if (left <= 0) return -1;
      pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(std::min<std::int64_t>(left, 100)));
    }
  }

 private:
  std::string Title(xcb_window_t window) {
    const auto cookie =
        xcb_get_property(connection_, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection_, cookie, nullptr);
    if (!reply) return {};
    const std::string title(static_cast<const char*>(xcb_get_property_value(reply)),
                            static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    std::free(reply);
    return title;
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  bool ok_ = false;
};

// Milliseconds from starting program to its Save-As window, or -1.
double StartToSaveAs(MapWatcher& watcher, const QString& program, const QStringList& args,
                     const QProcessEnvironment& environment) {
  QProcess process;
  process.setProcessEnvironment(environment);
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  const std::int64_t t0 = NowNs();
  process.start(program, args);
  const std::int64_t t1 = watcher.WaitForTitle(30000);
  process.kill();
  process.waitForFinished(5000);
  return t1 < 0 ? -1 : static_cast<double>(t1 - t0) / 1e6;
}

// The offscreen platform warns on every raise() of the dialog (one per
// hand-off); that is not a finding of this bench.
void QuietOffscreen(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (message.contains(QLatin1String("does not support raise()"))) return;
  std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  if (type == QtFatalMsg) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--send") == 0) {
    QCoreApplication application(argc, argv);
    return Send(argv[2]);
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: vexaro-bench-handoff VEXARO QT_MINIMAL\n");
    return 2;
  }
  const QString vexaro = QString::fromLocal8Bit(argv[1]);
  const QString qtMinimal = QString::fromLocal8Bit(argv[2]);

  // This process: offscreen, with stores and a runtime folder of its own.
  QTemporaryDir home;
  for (const char* sub : {"data", "cache", "runtime"}) QDir(home.path()).mkpath(QString::fromUtf8(sub));
  QFile::setPermissions(home.path() + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  ::setenv("XDG_DATA_HOME", (home.path() + "/data").toLocal8Bit().constData(), 1);
  ::setenv("XDG_CACHE_HOME", (home.path() + "/cache").toLocal8Bit().constData(), 1);
  ::setenv("XDG_RUNTIME_DIR", (home.path() + "/runtime").toLocal8Bit().constData(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::setenv("no_proxy", "*", 1);
  qInstallMessageHandler(QuietOffscreen);
  QApplication application(argc, argv);

  const std::vector<double> latencies = MeasureHandoffs(QCoreApplication::applicationFilePath());
  if (latencies.empty()) return 1;
  std::printf("hand-offs: %d, first record to new row: median %.2f ms, p99 %.2f ms, max %.2f ms\n", kHandoffs,
              Percentile(latencies, 0.5), Percentile(latencies, 0.99),
              *std::max_element(latencies.begin(), latencies.end()));

  // A private X server for the start times; -noreset, because a server that
  // resets when its last client leaves refuses a start connecting just then.
  QProcess xvfb;
  xvfb.setProcessChannelMode(QProcess::SeparateChannels);
  xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                     QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                     QStringLiteral("tcp"), QStringLiteral("-noreset")});
  QByteArray number;
  while (!number.contains('\n') && xvfb.waitForReadyRead(10000)) number += xvfb.readAllStandardOutput();
  if (!number.contains('\n')) {
    std::fprintf(stderr, "bench: Xvfb did not start\n");
    return 1;
  }
  const std::string display = ":" + number.trimmed().toStdString();

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display));
  environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
  environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
  environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
  // A runtime folder of vexaro's own: this process holds the marker of its own.
  QDir(home.path()).mkpath(QStringLiteral("runtime2"));
  QFile::setPermissions(home.path() + "/runtime2", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path() + "/runtime2");
  const QStringList request = {QStringLiteral("/url:http://127.0.0.1:1/clip.flv"), QStringLiteral("/file:clip.flv"),
                               QStringLiteral("/type:video/x-flv"), QStringLiteral("/format:4"),
                               QStringLiteral("/path:") + home.path()};

  MapWatcher watcher(display);
  if (!watcher.Ok()) {
    std::fprintf(stderr, "bench: cannot connect to the X server on %s\n", display.c_str());
    return 1;
  }
  std::vector<double> vexaroTimes, peerTimes;
  for (int run = 0; run <= kStartRuns; ++run) {
    const double v = StartToSaveAs(watcher, vexaro, request, environment);
    const double q = StartToSaveAs(watcher, qtMinimal, {}, environment);
    if (v < 0 || q < 0) {
      std::fprintf(stderr, "bench: no Save-As window seen (vexaro %.1f, qt-minimal %.1f)\n", v, q);
      xvfb.kill();
      return 1;
    }
    if (run == 0) continue;  // warm-up
    std::printf("run %d start to Save-As: vexaro %7.1f ms   qt-minimal %7.1f ms\n", run, v, q);
    vexaroTimes.push_back(v);
    peerTimes.push_back(q);
  }
  xvfb.kill();
  xvfb.waitForFinished(5000);
  const double vexaroMedian = Percentile(vexaroTimes, 0.5);
  const double peerMedian = Percentile(peerTimes, 0.5);
  std::printf("start to Save-As visible: vexaro median %.1f ms, qt-minimal median %.1f ms\n", vexaroMedian,
              peerMedian);
  std::printf("start ratio vexaro/qt-minimal: %.3f\n", vexaroMedian / peerMedian);
  return 0;
}

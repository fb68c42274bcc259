// The UI bench's Vexaro side: the manager dialog (run with the platform the
// environment names, offscreen in the bench) with N rows, each fetching
// <base>/bytes/<size> into <folder>/<i>.bin, the first from the constructor
// and the others from hand-off records. "Close when finished" is checked, so
// the dialog ends with the last row. A 5 ms timer measures how late the event
// loop serves it meanwhile.
//
//   vexaro-bench-ui <base url> <bytes per row> <rows> <folder>
//
// Prints "wall <seconds>", "peak <KiB>" (VmHWM: this process alone) and
// "lag <ms> <ms> ..." (every sample), and exits 1 when a row failed.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "manager/DownloadFileDialog.h"
#include "platform/Text.h"
#include "transfer/DownloadItem.h"

namespace {

constexpr int kTickMs = 5;

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      break;
    }
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: vexaro-bench-ui <base url> <bytes per row> <rows> <folder>\n";
    return 2;
  }
  const std::string base = argv[1];
  const std::string bytes = argv[2];
  const int rows = std::atoi(argv[3]);
  const std::string folder = argv[4];
  QApplication app(argc, argv);

  const auto url = [&] { return platform::FromUtf8(base + "/bytes/" + bytes); };
  const auto target = [&](int i) { return platform::FromUtf8(folder + "/" + std::to_string(i) + ".bin"); };

  std::vector<double> lags;
  lags.reserve(100000);
  QElapsedTimer clock;
  qint64 lastTick = -1;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (lastTick >= 0) lags.push_back(std::max(0.0, (now - lastTick) / 1e6 - kTickMs));
    lastTick = now;
  });

  clock.start();
  bool failed = false;
  {
    manager::CDownloadFileDialog dialog(url(), u"", target(0), u"", 0, u"", true, u"");
    for (int i = 1; i < rows; ++i) {
      dialog.OnCopyData(transfer::kRecordUrl, QByteArray::fromStdString(transfer::TextPayload(url())));
      dialog.OnCopyData(transfer::kRecordTargetPath, QByteArray::fromStdString(transfer::TextPayload(target(i))));
      dialog.OnCopyData(transfer::kRecordCommit, QByteArray());
    }
    // The lag is the event loop's while the rows run.
    ticker.start(kTickMs);
    dialog.exec();
    for (int i = 0; i < dialog.RowCount(); ++i) {
      const QString status = dialog.Row(i)->StatusText();
      if (status.startsWith("Download completed: ")) continue;
      failed = true;
      std::cerr << "row " << i << ": " << status.toStdString() << "\n";
    }
  }
  const double wall = clock.nsecsElapsed() / 1e9;
  ticker.stop();
  manager::WaitForDetachedWorkers();

  std::printf("wall %.3f\npeak %ld\nlag", wall, PeakKiB());
  for (const double lag : lags) std::printf(" %.3f", lag);
  std::printf("\n");
  return failed ? 1 : 0;
}

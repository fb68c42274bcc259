#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "localisation/Dictionary.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/LoopbackServer.h"
#include "support/TempFolder.h"
#include "transfer/Download.h"
#include "transfer/RecordingRow.h"
#include "transfer/WorkerRun.h"

namespace {

using testsupport::ErrorStatus;
using testsupport::ExpectFinished;
using testsupport::ExpectNoUnfinishedFile;
using testsupport::LoopbackServer;
using testsupport::RecordingRow;
using testsupport::Text;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Pattern(std::uint64_t length) {
  std::string bytes(length, '\0');
  for (std::uint64_t i = 0; i < length; ++i) bytes[i] = LoopbackServer::PatternByte(i);
  return bytes;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loopback requests must not go to a proxy from the environment.
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    httplib::Server& http = server_.Http();
    http.Get("/echo", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex_);
      headers_ = req.headers;
      res.set_content("ok", "text/plain");
    });
    http.Get(R"(/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      LoopbackServer::ServePattern(res, std::stoull(req.matches[1]));
    });
    http.Get(R"(/short/(\d+)/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      LoopbackServer::ServePattern(res, std::stoull(req.matches[1]), std::stoull(req.matches[2]));
    });
    http.Get(R"(/chunked/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      const std::string body = Pattern(std::stoull(req.matches[1]));
      res.set_chunked_content_provider("application/octet-stream", [body](std::size_t offset, httplib::DataSink& sink) {
        const std::size_t piece = std::min<std::size_t>(20000, body.size() - offset);
        if (piece == 0) {
          sink.done();
          return true;
        }
        return sink.write(body.data() + offset, piece);
      });
    });
    http.Get("/empty", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
    http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html>not here</html>", "text/html");
    });
    // /redirect/N takes N redirects to reach /bytes/1000.
    http.Get(R"(/redirect/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      const int left = std::stoi(req.matches[1]);
      res.set_redirect(left > 1 ? "/redirect/" + std::to_string(left - 1) : "/bytes/1000");
      res.set_content("<html>moved</html>", "text/html");  // never part of the file
    });
    // 1,000 bytes of a 100,000-byte body, then nothing until the server stops.
    http.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(100000, "application/octet-stream",
                               [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset == 0) return sink.write(Pattern(1000).data(), 1000);
                                 server_.Pause(60s);
                                 return false;
                               });
    });
    // Headers, then no byte at all until the server stops.
    http.Get("/hold", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(1000, "application/octet-stream",
                               [this](std::size_t, std::size_t, httplib::DataSink&) {
                                 holding_ = true;
                                 server_.Pause(60s);
                                 return false;
                               });
    });
    // The whole body (1,000 bytes) at once; the terminating chunk only once
    // the test has released it, and then after a further <ms>.
    http.Get(R"(/terminator/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      const auto hold = std::chrono::milliseconds(std::stoi(req.matches[1]));
      res.set_chunked_content_provider("application/octet-stream", [this, hold](std::size_t offset,
                                                                                httplib::DataSink& sink) {
        if (offset == 0) return sink.write(Pattern(1000).data(), 1000);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!released_ && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        server_.Pause(hold);
        sink.done();
        return true;
      });
    });
    ASSERT_TRUE(server_.Start());
  }

  transfer::DownloadThreadParams* Params(const std::string& path, const std::u16string& target) {
    auto* params = new transfer::DownloadThreadParams;
    params->url = platform::FromUtf8(path.find("://") == std::string::npos ? server_.Url(path) : path);
    params->targetPath = target;
    params->dictionary = localisation::Dictionary::GetInstance();
    // The tests that put a file at the target first stand for a user who
    // agreed to replace it; the one that did not sets this back.
    params->replaceTarget = true;
    return params;
  }

  static void Run(RecordingRow& row, transfer::DownloadThreadParams* params) { testsupport::RunWorker(row, params); }
  static std::u16string RecordedError() { return testsupport::RecordedTransferError(); }

  httplib::Headers Headers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return headers_;
  }

  testsupport::TempDataHome home_;
  testsupport::TempFolder folder_;
  LoopbackServer server_;
  std::mutex mutex_;
  httplib::Headers headers_;
  std::atomic<bool> holding_{false};
  std::atomic<bool> released_{false};
};

struct HeaderCase {
  const char* name;
  std::u16string cookie;
  std::u16string referer;
  const char* expectedCookie;   // nullptr: no Cookie line
  const char* expectedReferer;  // nullptr: neither referrer line
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class HeaderLinesTest : public DownloadTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderLinesTest, SendsOnlyGivenValues) {
  const HeaderCase& c = GetParam();
  RecordingRow row;
  ASSERT_EQ(transfer::DownloadToFile(row, platform::FromUtf8(server_.Url("/echo")), folder_.File16("page"), 0, c.cookie,
                                     c.referer),
            transfer::kSOk);
  const httplib::Headers headers = Headers();
  auto value = [&](const char* name) -> const char* {
    const auto it = headers.find(name);
    return it == headers.end() ? nullptr : it->second.c_str();
  };
  EXPECT_STREQ(value("User-Agent"), "Vexaro");
  EXPECT_STREQ(value("Cookie"), c.expectedCookie);
  EXPECT_STREQ(value("Referer"), c.expectedReferer);
  EXPECT_STREQ(value("Referrer"), c.expectedReferer);
  EXPECT_EQ(headers.count("Cookie"), c.expectedCookie ? 1u : 0u);
  EXPECT_EQ(headers.count("X-Injected"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderLinesTest,
    ::testing::Values(HeaderCase{"Both", u"a=1; b=2", u"http://page.example/v?id=7", "a=1; b=2",
                                 "http://page.example/v?id=7"},
                      HeaderCase{"NoneWhenEmpty", u"", u"", nullptr, nullptr},
                      HeaderCase{"CookieOnly", u"s=\u00E9t\u00E9", u"", "s=\xC3\xA9t\xC3\xA9", nullptr},
                      HeaderCase{"ControlCharactersCutValues", u"a=1\r\nX-Injected: 1", u"http://p/\nX-Injected: 2",
                                 "a=1", "http://p/"},
                      HeaderCase{"ValueCutToNothingIsNotSent", u"\rX-Injected: 1", u"\tX", nullptr, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

struct TotalCase {
  const char* name;
  std::string path;
  std::uint64_t size;
  std::uint64_t bodyLength;
  std::u16string lastDetail;  // before the completion
  std::vector<int> bars;
};

void PrintTo(const TotalCase& c, std::ostream* os) { *os << c.name; }

class TotalsTest : public DownloadTest, public ::testing::WithParamInterface<TotalCase> {};

TEST_P(TotalsTest, CompletesWithTotalFromSizeOrContentLength) {
  const TotalCase& c = GetParam();
  const std::u16string target = folder_.File16("clip.flv");
  testsupport::WriteFileBytes(folder_.File("clip.flv"), "an older, longer file at the target");
  RecordingRow row(target);
  auto* params = Params(c.path, target);
  params->size = c.size;
  Run(row, params);

  const RecordingRow::Record r = row.Snapshot();
  EXPECT_EQ(r.statusTexts,
            (std::vector<std::u16string>{Text(u"MANAGER_STATUS_DOWNLOADING") + u": " + target,
                                         u"Download completed: " + target}));
  EXPECT_EQ(r.detailTexts.empty() ? u"" : r.detailTexts.back(), c.lastDetail);
  EXPECT_EQ(r.barPositions, c.bars);
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("clip.flv")), Pattern(c.bodyLength));
  ExpectNoUnfinishedFile(folder_.File("clip.flv"));
  ExpectFinished(row);
  EXPECT_EQ(RecordedError(), u"");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TotalsTest,
    ::testing::Values(TotalCase{"SizeGivenWins", "/bytes/1000", 2048, 1000, u"1.0 of 2.0 Kb", {48, 100}},
                      TotalCase{"ContentLength", "/bytes/1000", 0, 1000, u"1000 of 1000 bytes", {100, 100}},
                      TotalCase{"NeitherShowsMbOnly", "/chunked/204800", 0, 204800, u"0.2 Mb", {100}},
                      TotalCase{"EmptyBodyMakesEmptyFile", "/empty", 0, 0, u"", {100}},
                      TotalCase{"Redirected", "/redirect/3", 0, 1000, u"1000 of 1000 bytes", {100, 100}},
                      TotalCase{"TwentyRedirects", "/redirect/20", 0, 1000, u"1000 of 1000 bytes", {100, 100}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, ChunksNeverExceed50000Bytes) {
  // A total of 1 byte keeps every report in the exact bytes form.
  const std::u16string target = folder_.File16("big.bin");
  RecordingRow row(target);
  auto* params = Params("/bytes/1000000", target);
  params->size = 1;
  Run(row, params);

  const RecordingRow::Record r = row.Snapshot();
  std::uint64_t previous = 0;
  for (const std::u16string& text : r.detailTexts) {
    const std::uint64_t count = std::stoull(platform::ToUtf8(text));
    EXPECT_GT(count, previous);
    EXPECT_LE(count - previous, 50000u) << platform::ToUtf8(text);
    previous = count;
  }
  EXPECT_EQ(previous, 1000000u);
  EXPECT_EQ(r.barPositions, std::vector<int>(r.barPositions.size(), 100));
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("big.bin")), Pattern(1000000));
}

TEST_F(DownloadTest, ContentLengthBeyondFourGiBIsKept) {
  const std::u16string target = folder_.File16("huge.bin");
  RecordingRow row(target);
  row.onDetail = [&row](const std::u16string&) { row.m_stopEvent.Set(); };
  Run(row, Params("/bytes/5000000000", target));
  const std::u16string first = row.Snapshot().detailTexts.at(0);
  EXPECT_EQ(first.substr(first.find(u" of ")), u" of 4882.8 Mb");
}

TEST_F(DownloadTest, CancelWhileDataFlowsTwoSignalsOneCancellation) {
  const std::u16string target = folder_.File16("clip.flv");
  RecordingRow row(target);
  row.onDetail = [&row](const std::u16string&) {
    row.m_stopEvent.Set();
    row.m_stopEvent.Set();
  };
  Run(row, Params("/bytes/20000000", target));

  EXPECT_EQ(row.LastStatus(), Text(u"MANAGER_ERROR_DOWNLOAD_CANCELED") + u": " + target);
  EXPECT_EQ(RecordedError(), u"2147500036");
  EXPECT_FALSE(row.m_stopEvent.TryWait());
  ExpectFinished(row);
  // Neither the target nor the unfinished file beside it stays.
  EXPECT_FALSE(fs::exists(folder_.File("clip.flv")));
  ExpectNoUnfinishedFile(folder_.File("clip.flv"));
}

TEST_F(DownloadTest, CancelWhileNoDataFlows) {
  const std::u16string target = folder_.File16("clip.flv");
  RecordingRow row(target);
  auto* params = Params("/hold", target);
  params->stallMs = 120000;  // a missed cancel would end as a stall much later
  std::thread worker([&] { Run(row, params); });
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!holding_ && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(holding_) << "the server never received the request";
  row.m_stopEvent.Set();
  worker.join();
  EXPECT_EQ(row.LastStatus(), Text(u"MANAGER_ERROR_DOWNLOAD_CANCELED") + u": " + target);
  EXPECT_FALSE(row.m_stopEvent.TryWait());
  ExpectFinished(row);
}

// Cancel clicked after the last data report, while the end of the body is
// still on its way: the signal waits for the next test of the stop event.
// libcurl calls the idle test right after the end arrives; within 250 ms of
// the last report that call leaves the signal to the completion report, which
// takes it without cancelling. An end that takes longer meets the
// once-a-second idle test first, and the download is cancelled.
struct LateSignalCase {
  const char* name;
  int terminatorDelayMs;  // after the signal
  bool completed;
};

void PrintTo(const LateSignalCase& c, std::ostream* os) { *os << c.name; }

class LateSignalTest : public DownloadTest, public ::testing::WithParamInterface<LateSignalCase> {};

TEST_P(LateSignalTest, SignalAfterLastDataReport) {
  const LateSignalCase& c = GetParam();
  const std::u16string target = folder_.File16("clip.flv");
  RecordingRow row(target);
  std::thread worker([&] { Run(row, Params("/terminator/" + std::to_string(c.terminatorDelayMs), target)); });
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (row.Snapshot().detailTexts.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_FALSE(row.Snapshot().detailTexts.empty()) << "no data report";
  // The report tests the stop event just after writing its detail text; a
  // signal must come after that test, not be taken by it.
  std::this_thread::sleep_for(20ms);
  row.m_stopEvent.Set();
  released_ = true;
  worker.join();

  if (c.completed) {
    EXPECT_EQ(row.LastStatus(), u"Download completed: " + target);
    EXPECT_EQ(RecordedError(), u"");
    EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("clip.flv")), Pattern(1000));
  } else {
    EXPECT_EQ(row.LastStatus(), Text(u"MANAGER_ERROR_DOWNLOAD_CANCELED") + u": " + target);
    EXPECT_EQ(RecordedError(), u"2147500036");
  }
  EXPECT_FALSE(row.m_stopEvent.TryWait()) << "the signal was not consumed";
  ExpectFinished(row);
}

// 100 ms stays well inside the 250 ms window even on a loaded machine; 2.5 s
// lets at least one idle test run past it.
INSTANTIATE_TEST_SUITE_P(Cases, LateSignalTest,
                         ::testing::Values(LateSignalCase{"ShortHoldFinalReportTakesIt", 100, true},
                                           LateSignalCase{"LongHoldIsCancelled", 2500, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Saving onto a symbolic link of the user's own replaces the file it points
// to, as writing through the link did: the Save-As offer names that file, the
// link stays and nothing is left beside either.
TEST_F(DownloadTest, DownloadIntoASymbolicLinkReplacesTheFileItPointsTo) {
  fs::create_directory(folder_.File("library"));
  testsupport::WriteFileBytes(folder_.File("library/clip.flv"), "old");
  fs::create_symlink("library/clip.flv", folder_.File("clip.flv"));
  const std::u16string target = platform::WrittenPath(folder_.File16("clip.flv"));
  EXPECT_EQ(target, folder_.File16("library/clip.flv"));
  RecordingRow row(target);
  Run(row, Params("/bytes/1000", target));
  EXPECT_EQ(row.LastStatus(), u"Download completed: " + target);
  EXPECT_TRUE(fs::is_symlink(folder_.File("clip.flv")));
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("library/clip.flv")), Pattern(1000));
  ExpectNoUnfinishedFile(folder_.File("library/clip.flv"));
  ExpectNoUnfinishedFile(folder_.File("clip.flv"));
}

TEST_F(DownloadTest, StartRunsWorkerOnItsOwnThread) {
  const std::u16string target = folder_.File16("clip.flv");
  RecordingRow row(target);
  auto* params = Params("/bytes/1000", target);
  params->row = &row;
  ASSERT_TRUE(transfer::Download::Start(params));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!row.m_workerDone && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(row.m_workerDone);
  EXPECT_EQ(row.LastStatus(), u"Download completed: " + target);
  ExpectFinished(row);
}

TEST_F(DownloadTest, ConvertingDownloadGoesToTemporaryFileThenToConverter) {
  const std::u16string target = folder_.File16("song.mp3");
  RecordingRow row(target);
  auto* params = Params("/bytes/1000", target);
  params->temporaryPath = folder_.File16("vx_1.flv");
  params->conversionArguments = u"-acodec libmp3lame";
  Run(row, params);
  const RecordingRow::Record r = row.Snapshot();
  ASSERT_GE(r.statusTexts.size(), 3u);
  EXPECT_EQ(r.statusTexts[1], u"Download completed: " + target);
  EXPECT_EQ(r.statusTexts[2], Text(u"MANAGER_STATUS_CONVERTING") + u": " + target);
  ExpectFinished(row);
}

TEST_F(DownloadTest, ConversionWithoutTemporaryFileFailsBeforeFetching) {
  // What the launch sequence passes when no temporary name could be had.
  std::atomic<int> requests{0};
  server_.Http().Get("/counted", [&requests](const httplib::Request&, httplib::Response& res) {
    ++requests;
    res.set_content("body", "application/octet-stream");
  });
  const std::u16string target = folder_.File16("clip.asf");
  RecordingRow row(target);
  auto* params = Params("/counted", target);
  params->temporaryPath = folder_.File16("cache") + u"/";
  Run(row, params);
  EXPECT_EQ(row.LastStatus(), ErrorStatus(transfer::kDownloadFailed, target, u", the file cannot be created"));
  EXPECT_FALSE(fs::exists(folder_.File("clip.asf")));
  EXPECT_EQ(requests, 0);
  ExpectFinished(row);
}

// A file that appeared at the target while nobody was asked about it stays:
// the download takes the first free name beside it, and the row names that.
TEST_F(DownloadTest, FileNobodyAgreedToReplaceStays) {
  const std::u16string target = folder_.File16("clip.flv");
  testsupport::WriteFileBytes(folder_.File("clip.flv"), "someone else's");
  testsupport::WriteFileBytes(folder_.File("clip (2).flv"), "another one");
  RecordingRow row(target);
  auto* params = Params("/bytes/1000", target);
  params->replaceTarget = false;
  Run(row, params);
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("clip.flv")), "someone else's");
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("clip (2).flv")), "another one");
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("clip (3).flv")), Pattern(1000));
  EXPECT_EQ(row.LastStatus(), u"Download completed: " + folder_.File16("clip (3).flv"));
  ExpectNoUnfinishedFile(folder_.File("clip.flv"));
  ExpectFinished(row);
}

// Failures of one try (the worker's retries are tested with servers of their
// own): the row's texts and codes, and the user's folder as it was before.
struct FaultCase {
  const char* name;
  std::string url;  // a path on the test server, or a whole URL
  bool converting;
  std::uint32_t stallMs;
  std::uint32_t code;
  const char16_t* reason;  // the words after the code
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultTest : public DownloadTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, ReportsFailureWithoutCompletionOrConversion) {
  const FaultCase& c = GetParam();
  const std::string targetFile = folder_.File("clip.flv");
  const std::u16string target = platform::FromUtf8(targetFile);
  const std::string downloadFile = c.converting ? folder_.File("vx_1.flv") : targetFile;
  testsupport::WriteFileBytes(targetFile, "old");
  RecordingRow row(target);
  auto* params = Params(c.url, target);
  params->stallMs = c.stallMs;
  params->tries = 1;
  if (c.converting) {
    params->temporaryPath = platform::FromUtf8(downloadFile);
    params->conversionArguments = u"-acodec libmp3lame";
  }
  Run(row, params);

  const RecordingRow::Record r = row.Snapshot();
  EXPECT_EQ(r.statusTexts,
            (std::vector<std::u16string>{Text(u"MANAGER_STATUS_DOWNLOADING") + u": " + target,
                                         ErrorStatus(c.code, target, c.reason)}));
  EXPECT_EQ(RecordedError(), platform::Format("%u", c.code));
  ExpectFinished(row);
  EXPECT_EQ(testsupport::ReadFileBytes(targetFile), "old");
  if (c.converting) {
    EXPECT_FALSE(fs::exists(downloadFile));
  }
  ExpectNoUnfinishedFile(downloadFile);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultTest,
    ::testing::Values(
        FaultCase{"NotFound", "/missing", false, 60000, 0x80190194u, u", HTTP 404 Not Found"},
        FaultCase{"NotFoundConverting", "/missing", true, 60000, 0x80190194u, u", HTTP 404 Not Found"},
        FaultCase{"BodyShortOfContentLength", "/short/100000/30000", false, 60000, 0x800C0008u, u", connection lost"},
        FaultCase{"BodyShortConverting", "/short/100000/30000", true, 60000, 0x800C0008u, u", connection lost"},
        FaultCase{"Stalled", "/stall", false, 3000, 0x800C000Bu, u", no data from the server for too long"},
        FaultCase{"TooManyRedirects", "/redirect/21", false, 60000, 0x800C0014u, u", too many redirects"},
        FaultCase{"NothingListening", "http://127.0.0.1:1/clip.flv", false, 60000, 1, u", connection refused"},
        FaultCase{"ServerNotFound", "http://no-such-host.invalid/clip.flv", false, 60000, 1, u", server not found"},
        FaultCase{"NotHttp", "file:///etc/passwd", false, 60000, 1, u", address not supported"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

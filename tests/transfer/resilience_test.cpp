// The worker against servers that misbehave as real ones do: every test
// checks the finished file byte for byte (by digest), the row's texts, and
// that no unfinished file stays beside the target.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/PartFile.h"
#include "platform/Text.h"
#include "support/FileSizeLimit.h"
#include "support/ScriptedServer.h"
#include "support/ShippedTexts.h"
#include "support/TempFolder.h"
#include "transfer/Download.h"
#include "transfer/RecordingRow.h"
#include "transfer/Retry.h"
#include "transfer/WorkerRun.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Digest;
using testsupport::ErrorStatus;
using testsupport::ExpectFinished;
using testsupport::ExpectNoUnfinishedFile;
using testsupport::FileBehaviour;
using testsupport::RecordingRow;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;
using testsupport::ServedFile;
using testsupport::Text;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1u << 20;

// Two versions of a 10 MiB file and a 2 MiB third, each with its validators.
struct Files {
  ServedFile v1{testsupport::VersionBytes(10 * kMiB, 1), "\"v1\"", "Mon, 01 Jan 2024 10:00:00 GMT"};
  ServedFile v2{testsupport::VersionBytes(10 * kMiB, 2), "\"v2\"", "Tue, 02 Jan 2024 10:00:00 GMT"};
  ServedFile small{testsupport::VersionBytes(2 * kMiB, 3), "\"v3\"", "Wed, 03 Jan 2024 10:00:00 GMT"};

  const ServedFile* WithValidator(const transfer::ResumeState& state) const {
    for (const ServedFile* file : {&v1, &v2, &small}) {
      if ((!state.etag.empty() && state.etag == file->etag) ||
          (state.etag.empty() && !state.lastModified.empty() && state.lastModified == file->lastModified)) {
        return file;
      }
    }
    return nullptr;
  }
};

std::string ReadRange(const std::string& path, std::uint64_t begin, std::uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(begin));
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::uint64_t RangeStart(const ScriptedRequest& request) {
  const std::string range = request.Header("range");
  return range.empty() ? 0 : std::stoull(range.substr(6));
}

class ResilienceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    // The texts a user sees, so the retry line reads as it does for them.
    ASSERT_TRUE(testsupport::InstallShippedTexts());
  }

  void Serve(ScriptedServer::Handler handler) {
    server_ = std::make_unique<ScriptedServer>(std::move(handler));
    ASSERT_TRUE(server_->Start());
  }

  transfer::DownloadThreadParams* Params(std::uint32_t connections = 1) {
    auto* params = new transfer::DownloadThreadParams;
    params->url = platform::FromUtf8(server_->Url("/clip.flv"));
    params->targetPath = Target16();
    params->dictionary = localisation::Dictionary::GetInstance();
    params->connections = connections;
    params->tries = 5;
    params->stallMs = 60000;
    // A file already at the target stands for one the user agreed to replace.
    params->replaceTarget = true;
    return params;
  }

  std::string Target() const { return folder_.File("clip.flv"); }
  std::u16string Target16() const { return platform::FromUtf8(Target()); }
  std::u16string Downloading() const { return Text(u"MANAGER_STATUS_DOWNLOADING") + u": " + Target16(); }
  std::u16string Completed() const { return u"Download completed: " + Target16(); }
  std::u16string Retrying(std::uint32_t seconds, std::uint32_t attempt, std::uint32_t tries = 5) const {
    return transfer::RetryText(Text(u"MANAGER_STATUS_RETRYING"), seconds, attempt, tries) + u": " + Target16();
  }
  static bool Shows(const RecordingRow& row, const std::u16string& status) {
    const auto texts = row.Snapshot().statusTexts;
    return std::find(texts.begin(), texts.end(), status) != texts.end();
  }

  // Every reported state lists only bytes the unfinished file holds, and of
  // the version its validator names.
  void CheckReportedStates(RecordingRow& row, const Files& files) {
    row.onState = [this, &files](const transfer::ResumeState& state) {
      if (!state.partOnDisk) return;
      ++checkedStates_;
      const ServedFile* version = files.WithValidator(state);
      if (!version) return;
      for (const transfer::ByteRange& range : state.onDisk.Ranges()) {
        const std::string held = ReadRange(platform::ToUtf8(state.partPath), range.begin, range.Length());
        if (held != version->bytes->substr(range.begin, range.Length())) {
          ADD_FAILURE() << "a reported range [" << range.begin << ", " << range.end << ") is not on disk";
        }
      }
    };
  }

  testsupport::TempDataHome home_;
  testsupport::TempFolder folder_;
  std::unique_ptr<ScriptedServer> server_;
  std::atomic<int> checkedStates_{0};
};

// --- A dropped or replaced answer is continued or started over -------------

struct RecoveryCase {
  const char* name;
  std::function<ScriptedReply(const ScriptedRequest&, const Files&)> answer;
  int expectedVersion;  // 1 or 2 (3: the small one)
  const char* secondRange;
};

void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

ScriptedReply Cut(ScriptedReply reply, std::uint64_t after) {
  reply.cutAfter = after;
  return reply;
}

ServedFile Without(ServedFile file, bool etag, bool date) {
  if (!etag) file.etag.clear();
  if (!date) file.lastModified.clear();
  return file;
}

class RecoveryTest : public ResilienceTest, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryTest, EndsWithOneWholeVersion) {
  const RecoveryCase& c = GetParam();
  const Files files;
  Serve([&files, &c](const ScriptedRequest& request) { return c.answer(request, files); });
  testsupport::WriteFileBytes(Target(), "old");
  RecordingRow row(Target16());
  CheckReportedStates(row, files);
  std::atomic<bool> oldKeptMeanwhile{false};
  row.onDetail = [&](const std::u16string&) {
    if (!oldKeptMeanwhile && testsupport::ReadFileBytes(Target()) == "old" && fs::exists(Target() + ".vxpart")) {
      oldKeptMeanwhile = true;
    }
  };
  testsupport::RunWorker(row, Params());

  const ServedFile& expected = c.expectedVersion == 1 ? files.v1 : c.expectedVersion == 2 ? files.v2 : files.small;
  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*expected.bytes));
  EXPECT_EQ(row.LastStatus(), Completed());
  EXPECT_TRUE(Shows(row, Retrying(1, 2))) << "no retry was shown";
  EXPECT_TRUE(oldKeptMeanwhile) << "the old file was touched before the download was complete";
  EXPECT_GT(checkedStates_, 0);
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
  EXPECT_EQ(testsupport::RecordedTransferError(), u"");

  const auto requests = server_->Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("range"), "bytes=0-");
  EXPECT_EQ(requests[1].Header("range"), c.secondRange);
  // A continuation always names the version it continues.
  for (const ScriptedRequest& request : requests) {
    if (RangeStart(request) > 0) {
      EXPECT_FALSE(request.Header("if-range").empty()) << request.index;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RecoveryTest,
    ::testing::Values(
        // Every answer ends after 3 MiB: four answers make the file.
        RecoveryCase{"DropsEveryConnectionAfterAFewMiB",
                     [](const ScriptedRequest& r, const Files& f) {
                       return Cut(ScriptedServer::ServeFile(r, f.v1), 3 * kMiB);
                     },
                     1, "bytes=3145728-"},
        // Validated by date only: If-Range carries Last-Modified.
        RecoveryCase{"LastModifiedOnly",
                     [](const ScriptedRequest& r, const Files& f) {
                       EXPECT_TRUE(r.Header("if-range").empty() || r.Header("if-range") == f.v1.lastModified);
                       return Cut(ScriptedServer::ServeFile(r, Without(f.v1, false, true)), 4 * kMiB);
                     },
                     1, "bytes=4194304-"},
        // Ranges ignored: the continuation gets the whole file and uses it.
        RecoveryCase{"IgnoresRange",
                     [](const ScriptedRequest& r, const Files& f) {
                       const ScriptedReply whole = ScriptedServer::ServeFile(r, f.v1, FileBehaviour{false, false, true});
                       return r.index == 0 ? Cut(whole, 3 * kMiB) : whole;
                     },
                     1, "bytes=3145728-"},
        // The file changed: If-Range brings the new one whole.
        RecoveryCase{"ChangesBetweenTries",
                     [](const ScriptedRequest& r, const Files& f) {
                       return r.index == 0 ? Cut(ScriptedServer::ServeFile(r, f.v1), 3 * kMiB)
                                           : ScriptedServer::ServeFile(r, f.v2);
                     },
                     2, "bytes=3145728-"},
        // The file changed and the server sends a range of the new one anyway.
        RecoveryCase{"ChangesAndIgnoresIfRange",
                     [](const ScriptedRequest& r, const Files& f) {
                       return r.index == 0 ? Cut(ScriptedServer::ServeFile(r, f.v1), 3 * kMiB)
                                           : ScriptedServer::ServeFile(r, f.v2, FileBehaviour{true, true, false});
                     },
                     2, "bytes=3145728-"},
        // The new file is shorter than what is already there: 416.
        RecoveryCase{"ShrinksBelowWhatArrived",
                     [](const ScriptedRequest& r, const Files& f) {
                       return r.index == 0 ? Cut(ScriptedServer::ServeFile(r, f.v1), 3 * kMiB)
                                           : ScriptedServer::ServeFile(r, f.small, FileBehaviour{true, true, false});
                     },
                     3, "bytes=3145728-"},
        // A 206 of another range than the one asked for: never appended.
        RecoveryCase{"AnswersAnotherRange",
                     [](const ScriptedRequest& r, const Files& f) {
                       if (r.index == 0) return Cut(ScriptedServer::ServeFile(r, f.v1), 3 * kMiB);
                       if (r.Header("range").empty()) return ScriptedServer::ServeFile(r, f.v1);
                       ScriptedRequest whole = r;
                       whole.headers.erase("range");
                       ScriptedReply reply = ScriptedServer::ServeFile(whole, f.v1);
                       reply.status = 206;
                       reply.Header("Content-Range", "bytes 0-10485759/10485760");
                       return reply;
                     },
                     1, "bytes=3145728-"},
        // Nothing names the version: what arrived cannot be continued.
        RecoveryCase{"NoValidatorStartsOver",
                     [](const ScriptedRequest& r, const Files& f) {
                       const ScriptedReply reply = ScriptedServer::ServeFile(r, Without(f.v1, false, false));
                       return r.index == 0 ? Cut(reply, 3 * kMiB) : reply;
                     },
                     1, "bytes=0-"},
        RecoveryCase{"WeakEtagStartsOver",
                     [](const ScriptedRequest& r, const Files& f) {
                       ServedFile weak = Without(f.v1, false, false);
                       weak.etag = "W/\"v1\"";
                       const ScriptedReply reply = ScriptedServer::ServeFile(r, weak);
                       return r.index == 0 ? Cut(reply, 3 * kMiB) : reply;
                     },
                     1, "bytes=0-"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Statuses: tried again, or failed at once --------------------------------

struct StatusCase {
  int status;
  const char* retryAfter;  // "" for none
  std::uint32_t pauseSeconds;
};

class TransientStatusTest : public ResilienceTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(TransientStatusTest, IsTriedAgainAfterItsPause) {
  const StatusCase& c = GetParam();
  const Files files;
  Serve([&files, &c](const ScriptedRequest& r) {
    if (r.index > 0) return ScriptedServer::ServeFile(r, files.small);
    ScriptedReply busy = ScriptedServer::Status(c.status, "busy");
    if (*c.retryAfter) busy.Header("Retry-After", c.retryAfter);
    return busy;
  });
  RecordingRow row(Target16());
  testsupport::RunWorker(row, Params());

  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*files.small.bytes));
  EXPECT_TRUE(Shows(row, Retrying(c.pauseSeconds, 2)));
  EXPECT_EQ(row.LastStatus(), Completed());
  const auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto pause = requests[1].arrived - requests[0].arrived;
  EXPECT_GE(pause, std::chrono::seconds(c.pauseSeconds) - 100ms);
  EXPECT_LT(pause, std::chrono::seconds(c.pauseSeconds) + 3s);
  ExpectNoUnfinishedFile(Target());
}

INSTANTIATE_TEST_SUITE_P(Statuses, TransientStatusTest,
                         ::testing::Values(StatusCase{408, "", 1}, StatusCase{429, "2", 2}, StatusCase{500, "", 1},
                                           StatusCase{502, "", 1}, StatusCase{503, "2", 2}, StatusCase{504, "", 1}),
                         [](const auto& info) {
                           return std::to_string(info.param.status) + (*info.param.retryAfter ? "RetryAfter" : "");
                         });

class PermanentStatusTest : public ResilienceTest, public ::testing::WithParamInterface<int> {};

TEST_P(PermanentStatusTest, FailsAtOnceWithTodaysCode) {
  const int status = GetParam();
  Serve([status](const ScriptedRequest&) { return ScriptedServer::Status(status, "<html>no</html>"); });
  testsupport::WriteFileBytes(Target(), "old");
  RecordingRow row(Target16());
  testsupport::RunWorker(row, Params());

  const std::uint32_t code = transfer::kErrHttpStatusBase + static_cast<std::uint32_t>(status);
  const std::u16string reason =
      platform::FromUtf8(", HTTP " + std::to_string(status) + " " + transfer::HttpReasonPhrase(static_cast<std::uint32_t>(status)));
  EXPECT_EQ(row.Snapshot().statusTexts,
            (std::vector<std::u16string>{Downloading(), ErrorStatus(code, Target16(), reason)}));
  EXPECT_EQ(testsupport::RecordedTransferError(), platform::Format("%u", code));
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_EQ(testsupport::ReadFileBytes(Target()), "old");
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
}

INSTANTIATE_TEST_SUITE_P(Statuses, PermanentStatusTest, ::testing::Values(400, 403, 404, 410));

// --- Partial answers that lie about their range -------------------------------

// A 206 as the server would send it for the asked range, with its
// Content-Range replaced by one for [first, last] and the body given.
ScriptedReply Partial(const ScriptedRequest& r, const ServedFile& file, std::uint64_t first, std::uint64_t last,
                      std::string body) {
  ScriptedReply reply = ScriptedServer::ServeFile(r, file);
  for (auto& [name, value] : reply.headers) {
    if (name == "Content-Range") {
      value = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(file.bytes->size());
    }
  }
  reply.bodyOffset = 0;
  reply.bodyLength = body.size();
  reply.content = std::make_shared<const std::string>(std::move(body));
  return reply;
}

struct LyingRangeCase {
  const char* name;
  std::function<ScriptedReply(const ScriptedRequest&, const ServedFile&)> answer;
  bool completes;
};

void PrintTo(const LyingRangeCase& c, std::ostream* os) { *os << c.name; }

class LyingRangeTest : public ResilienceTest, public ::testing::WithParamInterface<LyingRangeCase> {};

TEST_P(LyingRangeTest, TakesOnlyAnnouncedBytesAndCountsEmptyTries) {
  const LyingRangeCase& c = GetParam();
  const Files files;
  Serve([&files, &c](const ScriptedRequest& r) { return c.answer(r, files.small); });
  testsupport::WriteFileBytes(Target(), "old");
  RecordingRow row(Target16());
  transfer::DownloadThreadParams* params = Params();
  params->tries = 3;
  testsupport::RunWorker(row, params);

  const auto requests = server_->Requests();
  if (c.completes) {
    EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*files.small.bytes)) << "foreign bytes were kept";
    EXPECT_EQ(row.LastStatus(), Completed());
  } else {
    const std::u16string code = platform::Format("Error: %u ", transfer::kErrDownloadFailure);
    EXPECT_EQ(row.LastStatus().substr(0, code.size()), code) << platform::ToUtf8(row.LastStatus());
    EXPECT_EQ(testsupport::ReadFileBytes(Target()), "old");
    // Every try waited its pause: 1 s, then 2 s.
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_GE(requests[2].arrived - requests[0].arrived, 3s - 200ms);
  }
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
}

std::uint64_t AskedFirst(const ScriptedRequest& r) { return RangeStart(r); }

INSTANTIATE_TEST_SUITE_P(
    Servers, LyingRangeTest,
    ::testing::Values(
        // Announces a quarter of a MiB, then runs on to the end with bytes of
        // another file: only the announced ones may land.
        LyingRangeCase{"AnnouncesLessThanItSends",
                       [](const ScriptedRequest& r, const ServedFile& file) {
                         const std::uint64_t size = file.bytes->size();
                         const std::uint64_t first = AskedFirst(r);
                         const std::uint64_t last = std::min(first + kMiB / 4, size) - 1;
                         const auto foreign = testsupport::VersionBytes(size, 9);
                         std::string body = file.bytes->substr(first, last + 1 - first) +
                                            foreign->substr(last + 1, size - (last + 1));
                         return Partial(r, file, first, last, std::move(body));
                       },
                       true},
        // Announces the rest and sends nothing, with a length of 0.
        LyingRangeCase{"EmptyPartialAnswers",
                       [](const ScriptedRequest& r, const ServedFile& file) {
                         return Partial(r, file, AskedFirst(r), file.bytes->size() - 1, "");
                       },
                       false},
        // The same without a length: the body ends with the connection.
        LyingRangeCase{"EmptyPartialAnswersEndingTheConnection",
                       [](const ScriptedRequest& r, const ServedFile& file) {
                         ScriptedReply reply = Partial(r, file, AskedFirst(r), file.bytes->size() - 1, "");
                         reply.sendLength = false;
                         return reply;
                       },
                       false},
        // After a first answer cut short, every continuation is empty.
        LyingRangeCase{"EmptyContinuations",
                       [](const ScriptedRequest& r, const ServedFile& file) {
                         if (r.index == 0) return Cut(ScriptedServer::ServeFile(r, file), kMiB);
                         ScriptedReply reply = Partial(r, file, AskedFirst(r), file.bytes->size() - 1, "");
                         reply.sendLength = false;
                         return reply;
                       },
                       false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Stalls -------------------------------------------------------------------

struct StallCase {
  const char* name;
  bool stallsEveryTime;
  std::uint32_t tries;
};

void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

class StallTest : public ResilienceTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StallTest, AStalledConnectionIsContinuedOrFailsAsTimedOut) {
  const StallCase& c = GetParam();
  const Files files;
  Serve([&files, &c](const ScriptedRequest& r) {
    ScriptedReply reply = ScriptedServer::ServeFile(r, files.small);
    // The first answer stalls half-way; later ones, if at all, before any
    // byte (a try without progress).
    if (r.index == 0) reply.stallAfter = kMiB;
    else if (c.stallsEveryTime) reply.stallAfter = 0;
    return reply;
  });
  RecordingRow row(Target16());
  auto* params = Params();
  params->stallMs = 1000;
  params->tries = c.tries;
  testsupport::RunWorker(row, params);

  const auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), c.tries == 1 ? 1u : 2u);
  EXPECT_EQ(requests[1].Header("range"), "bytes=1048576-");
  EXPECT_TRUE(Shows(row, Retrying(1, 2, c.tries)));
  if (c.stallsEveryTime) {
    EXPECT_EQ(row.LastStatus(),
              ErrorStatus(transfer::kErrConnectionTimeout, Target16(), u", no data from the server for too long"));
    EXPECT_FALSE(fs::exists(Target()));
  } else {
    EXPECT_EQ(row.LastStatus(), Completed());
    EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*files.small.bytes));
  }
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
}

INSTANTIATE_TEST_SUITE_P(Cases, StallTest,
                         ::testing::Values(StallCase{"OnceThenContinued", false, 5},
                                           StallCase{"EveryTimeUntilTheTriesAreSpent", true, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Cancel during a pause ----------------------------------------------------

TEST_F(ResilienceTest, CancelDuringARetryPauseEndsAtOnce) {
  const Files files;
  // Some bytes, so there is an unfinished file to clean up, then a pause.
  Serve([&files](const ScriptedRequest& r) { return Cut(ScriptedServer::ServeFile(r, files.v1), kMiB); });
  testsupport::WriteFileBytes(Target(), "old");
  RecordingRow row(Target16());
  std::atomic<bool> pausing{false};
  std::chrono::steady_clock::time_point cancelledAt;
  row.onStatus = [&](const std::u16string& status) {
    if (!pausing && status == Retrying(1, 2)) {
      pausing = true;
      cancelledAt = std::chrono::steady_clock::now();
      row.m_stopEvent.Set();
    }
  };
  testsupport::RunWorker(row, Params());

  EXPECT_TRUE(pausing);
  EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 2s);
  EXPECT_EQ(row.LastStatus(), Text(u"MANAGER_ERROR_DOWNLOAD_CANCELED") + u": " + Target16());
  EXPECT_EQ(testsupport::RecordedTransferError(), u"2147500036");
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_EQ(testsupport::ReadFileBytes(Target()), "old");
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
}

// --- A full disk ----------------------------------------------------------------

struct DiskCase {
  const char* name;
  bool sizeKnown;
};

void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }

class FullDiskTest : public ResilienceTest, public ::testing::WithParamInterface<DiskCase> {};

TEST_P(FullDiskTest, IsReportedAndNotRetried) {
  const DiskCase& c = GetParam();
  const ServedFile file{testsupport::VersionBytes(8 * kMiB, 1), "", ""};
  Serve([&file, &c](const ScriptedRequest& r) {
    if (c.sizeKnown) return ScriptedServer::ServeFile(r, file);
    ScriptedReply stream = ScriptedServer::ServeFile(r, file, FileBehaviour{false, false, true});
    stream.sendLength = false;  // the body ends with the connection
    return stream;
  });
  testsupport::WriteFileBytes(Target(), "old");
  RecordingRow row(Target16());
  {
    // As a disk with 1 MiB left would; the store files written meanwhile are
    // far smaller.
    testsupport::FileSizeLimit limit(kMiB);
    testsupport::RunWorker(row, Params());
  }
  const RecordingRow::Record r = row.Snapshot();
  EXPECT_EQ(r.statusTexts,
            (std::vector<std::u16string>{Downloading(), ErrorStatus(transfer::kErrDiskFull, Target16(), u", disk full")}));
  // With its size known the file is reserved whole before the first byte.
  EXPECT_EQ(r.detailTexts.empty(), c.sizeKnown);
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_EQ(testsupport::ReadFileBytes(Target()), "old");
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
}

INSTANTIATE_TEST_SUITE_P(Cases, FullDiskTest,
                         ::testing::Values(DiskCase{"SizeKnownBeforeTheFirstByte", true},
                                           DiskCase{"SizeUnknownWhileWriting", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Several connections ---------------------------------------------------------

TEST_F(ResilienceTest, SeveralConnectionsOneDroppedMidPiece) {
  const ServedFile file{testsupport::VersionBytes(16 * kMiB, 1), "\"many\"", ""};
  // The piece that begins near the middle of the file is dropped once, 1 MiB
  // into it. Where exactly it begins depends on how far the first answer had
  // come when the rest was split, which a loaded machine changes.
  std::atomic<std::uint64_t> droppedStart{0};
  Serve([&file, &droppedStart](const ScriptedRequest& r) {
    ScriptedReply reply = ScriptedServer::ServeFile(r, file);
    // A server that limits each connection, which makes several worth it.
    reply.bytesPerSecond = 6 * kMiB;
    const std::uint64_t start = RangeStart(r);
    std::uint64_t none = 0;
    if (start >= 6 * kMiB && start < 10 * kMiB && droppedStart.compare_exchange_strong(none, start)) {
      reply.cutAfter = kMiB;
    }
    return reply;
  });
  RecordingRow row(Target16());
  auto* params = Params(4);
  params->size = 1;  // every report then shows its exact count in bytes
  testsupport::RunWorker(row, params);

  EXPECT_EQ(row.LastStatus(), Completed());
  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*file.bytes));
  EXPECT_GE(server_->MostBodiesAtOnce(), 4);
  std::vector<std::uint64_t> starts;
  for (const ScriptedRequest& r : server_->Requests()) {
    starts.push_back(RangeStart(r));
    if (RangeStart(r) > 0) {
      EXPECT_EQ(r.Header("if-range"), "\"many\"");
    }
  }
  // The dropped piece is continued where it broke off.
  ASSERT_NE(droppedStart.load(), 0u) << "no piece began near the middle: " << ::testing::PrintToString(starts);
  EXPECT_NE(std::find(starts.begin(), starts.end(), droppedStart.load() + kMiB), starts.end())
      << ::testing::PrintToString(starts);
  // One combined count that only grows, by a chunk per report; the bytes a
  // dropped connection had short of a chunk are kept without a report of
  // their own and show in the next one.
  std::uint64_t previous = 0;
  for (const std::u16string& text : row.Snapshot().detailTexts) {
    const std::uint64_t count = std::stoull(platform::ToUtf8(text));
    EXPECT_GT(count, previous);
    EXPECT_LT(count - previous, 2 * transfer::kChunkSize);
    previous = count;
  }
  EXPECT_EQ(previous, 16 * kMiB);
  ExpectNoUnfinishedFile(Target());
  ExpectFinished(row);
}

// A connection that ends its piece takes half of the largest one left, so a
// slow piece does not hold up the end.
TEST_F(ResilienceTest, AFinishedConnectionSplitsTheLargestPieceLeft) {
  const ServedFile file{testsupport::VersionBytes(12 * kMiB, 1), "\"split\"", ""};
  Serve([&file](const ScriptedRequest& r) {
    ScriptedReply reply = ScriptedServer::ServeFile(r, file);
    if (RangeStart(r) == 0) reply.bytesPerSecond = 2 * kMiB;
    return reply;
  });
  RecordingRow row(Target16());
  testsupport::RunWorker(row, Params(2));

  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*file.bytes));
  const auto requests = server_->Requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(RangeStart(requests[1]), 6 * kMiB);
  const std::uint64_t split = RangeStart(requests[2]);
  EXPECT_GT(split, kMiB);
  EXPECT_LT(split, 6 * kMiB - kMiB);
  ExpectNoUnfinishedFile(Target());
}

struct SingleCase {
  const char* name;
  std::uint64_t size;
  FileBehaviour behaviour;
  bool validator;
};

void PrintTo(const SingleCase& c, std::ostream* os) { *os << c.name; }

class OneConnectionTest : public ResilienceTest, public ::testing::WithParamInterface<SingleCase> {};

TEST_P(OneConnectionTest, IsAllItTakes) {
  const SingleCase& c = GetParam();
  const ServedFile file{testsupport::VersionBytes(c.size, 1), c.validator ? "\"one\"" : "", ""};
  Serve([&file, &c](const ScriptedRequest& r) { return ScriptedServer::ServeFile(r, file, c.behaviour); });
  RecordingRow row(Target16());
  testsupport::RunWorker(row, Params(4));
  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*file.bytes));
  EXPECT_EQ(server_->Requests().size(), 1u);
  ExpectNoUnfinishedFile(Target());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OneConnectionTest,
    ::testing::Values(SingleCase{"NoRanges", 16 * kMiB, FileBehaviour{false, false, true}, true},
                      SingleCase{"RangesButNoValidator", 16 * kMiB, FileBehaviour{}, false},
                      SingleCase{"SmallFile", 3 * kMiB, FileBehaviour{}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Started from a saved state ----------------------------------------------------

struct ResumeCase {
  const char* name;
  int servedVersion;
  const char* firstRange;
};

void PrintTo(const ResumeCase& c, std::ostream* os) { *os << c.name; }

class ResumeFromStateTest : public ResilienceTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeFromStateTest, ContinuesTheUnfinishedFileOrStartsOver) {
  const ResumeCase& c = GetParam();
  const Files files;
  const ServedFile& served = c.servedVersion == 1 ? files.v1 : files.v2;
  Serve([&served](const ScriptedRequest& r) { return ScriptedServer::ServeFile(r, served); });
  // What an earlier run left: the first 3 MiB of version 1 and their state.
  const std::string part = Target() + ".vxpart";
  testsupport::WriteFileBytes(part, files.v1.bytes->substr(0, 3 * kMiB));
  transfer::ResumeState state = transfer::FreshState(platform::FromUtf8(server_->Url("/clip.flv")), Target16());
  state.size = 10 * kMiB;
  state.etag = files.v1.etag;
  state.rangesWork = true;
  state.onDisk.Add(0, 3 * kMiB);
  state.partOnDisk = true;

  RecordingRow row(Target16());
  CheckReportedStates(row, files);
  auto* params = Params();
  params->resume = state;
  testsupport::RunWorker(row, params);

  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*served.bytes));
  const auto requests = server_->Requests();
  ASSERT_GE(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("range"), c.firstRange);
  EXPECT_EQ(requests[0].Header("if-range"), files.v1.etag);
  const auto states = row.Snapshot().states;
  ASSERT_FALSE(states.empty());
  EXPECT_FALSE(states.back().partOnDisk) << "the last report must say the unfinished file is gone";
  ExpectNoUnfinishedFile(Target());
}

INSTANTIATE_TEST_SUITE_P(Cases, ResumeFromStateTest,
                         ::testing::Values(ResumeCase{"SameVersionContinues", 1, "bytes=3145728-"},
                                           ResumeCase{"NewVersionStartsOver", 2, "bytes=3145728-"}),
                         [](const auto& info) { return std::string(info.param.name); });

// What a stopped fetch leaves (the pieces of several connections, with holes)
// is what the next one continues from: no byte on disk is asked for again.
TEST_F(ResilienceTest, AStoppedFetchLeavesAStateTheNextOneContinues) {
  const ServedFile file{testsupport::VersionBytes(12 * kMiB, 1), "\"stop\"", ""};
  Serve([&file](const ScriptedRequest& r) {
    ScriptedReply reply = ScriptedServer::ServeFile(r, file);
    reply.bytesPerSecond = 4 * kMiB;
    return reply;
  });
  transfer::ResumeState state = transfer::FreshState(platform::FromUtf8(server_->Url("/a")), Target16());
  const transfer::FetchRequest request{state.url, u"", u"", 0, Target16()};
  transfer::TransferOptions options;
  RecordingRow row(Target16());
  row.onDetail = [&row](const std::u16string& text) {
    if (text.rfind(u"4.", 0) == 0) row.m_stopEvent.Set();
  };
  ASSERT_EQ(transfer::Fetch(row, request, state, options, transfer::WorkerTexts()), transfer::kEAbort);
  ASSERT_TRUE(state.partOnDisk);
  EXPECT_GT(state.onDisk.Ranges().size(), 1u) << "the pieces of several connections";
  const transfer::RangeSet held = state.onDisk;
  const std::size_t firstRun = server_->Requests().size();

  RecordingRow again(Target16());
  ASSERT_EQ(transfer::Fetch(again, request, state, options, transfer::WorkerTexts()), transfer::kSOk);
  EXPECT_EQ(Digest(testsupport::ReadFileBytes(Target())), Digest(*file.bytes));
  const auto requests = server_->Requests();
  for (std::size_t i = firstRun; i < requests.size(); ++i) {
    const std::uint64_t start = RangeStart(requests[i]);
    EXPECT_FALSE(held.Covers(start, start + 1)) << "asked again from " << start;
    EXPECT_EQ(requests[i].Header("if-range"), "\"stop\"");
  }
  ExpectNoUnfinishedFile(Target());
}

// Two downloads into one file would interleave their bytes: the second fails
// at once and leaves the first one's unfinished file alone.
TEST_F(ResilienceTest, AnUnfinishedFileInUseIsLeftAlone) {
  const Files files;
  Serve([&files](const ScriptedRequest& r) { return ScriptedServer::ServeFile(r, files.small); });
  platform::PartFile inUse;
  ASSERT_TRUE(inUse.Open(platform::FromUtf8(Target() + ".vxpart"), true));
  ASSERT_TRUE(inUse.WriteAt("mine", 4, 0));
  RecordingRow row(Target16());
  testsupport::RunWorker(row, Params());
  EXPECT_EQ(row.LastStatus(), ErrorStatus(transfer::kDownloadFailed, Target16(), u", the file cannot be created"));
  EXPECT_EQ(testsupport::ReadFileBytes(Target() + ".vxpart"), "mine");
  EXPECT_FALSE(fs::exists(Target()));
}

}  // namespace

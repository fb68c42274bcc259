// The native-messaging host: one framed message in, one framed answer out,
// through real pipes; every refused message starts nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "browser/host/Framing.h"
#include "browser/host/Host.h"
#include "browser/host/Launch.h"
#include "browser/host/Message.h"
#include "startup/CommandLine.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

namespace {

using browserhost::DownloadFields;

struct RecordingLauncher : browserhost::Launcher {
  bool succeed = true;
  std::vector<DownloadFields> started;
  bool Launch(const DownloadFields& download, std::string& failure) override {
    if (!succeed) {
      failure = "refused by the test";
      return false;
    }
    started.push_back(download);
    return true;
  }
};

// The default configuration's types, without touching any store.
struct MediaTypes : browserhost::TypeFilter {
  bool Handles(const std::string& type) override { return type.rfind("video/", 0) == 0 || type == "audio/mpeg"; }
};

std::string Length(std::uint32_t n) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &n, 4);
  return bytes;
}

std::string Framed(const std::string& json) { return Length(static_cast<std::uint32_t>(json.size())) + json; }

const char kGood[] =
    R"({"action":"download","url":"http://127.0.0.1:8080/files/clip.flv","file":"clip.flv",)"
    R"("type":"video/x-flv","size":5242880,"cookie":"session=abc; theme=dark",)"
    R"("referer":"http://127.0.0.1:8080/watch","path":"","format":4,"autoclose":true})";

// kGood with one member replaced (or added) by member, e.g. R"("url":"ftp://x/")".
std::string GoodWith(const std::string& name, const std::string& valueJson) {
  QJsonObject object = QJsonDocument::fromJson(kGood).object();
  const QJsonDocument value = QJsonDocument::fromJson(("[" + valueJson + "]").c_str());
  if (valueJson.empty()) object.remove(QString::fromStdString(name));
  else object.insert(QString::fromStdString(name), value.array().at(0));
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

struct Exchange {
  browserhost::ServeResult result;
  std::string output;  // everything the host wrote
};

// Writes pieces into the host's input with a pause between them (real
// partial reads), closes it unless keepOpen, and collects what the host writes.
Exchange Talk(const std::vector<std::string>& pieces, browserhost::Launcher& launcher, bool keepOpen = false,
             std::uint32_t readTimeoutMs = 1000) {
  int in[2];
  int out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  std::thread writer([&] {
    for (const std::string& piece : pieces) {
      EXPECT_EQ(write(in[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    if (!keepOpen) close(in[1]);
  });
  MediaTypes types;
  browserhost::ServeOptions options;
  options.readTimeoutMs = readTimeoutMs;
  options.version = "9.8.7";
  Exchange exchange{browserhost::Serve(in[0], out[1], launcher, types, options), {}};
  writer.join();
  if (keepOpen) close(in[1]);
  close(in[0]);
  close(out[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) exchange.output.append(buffer, static_cast<std::size_t>(got));
  close(out[0]);
  return exchange;
}

// The one answer in output, which must be a single well-formed frame.
QJsonObject OnlyAnswer(const std::string& output) {
  EXPECT_GE(output.size(), 4u);
  if (output.size() < 4) return {};
  std::uint32_t length = 0;
  std::memcpy(&length, output.data(), 4);
  EXPECT_EQ(length + 4u, output.size()) << "exactly one frame and nothing else";
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(output.substr(4)));
  EXPECT_TRUE(document.isObject()) << output.substr(4);
  return document.object();
}

struct RefusedCase {
  const char* name;
  std::vector<std::string> pieces;
  const char* error;
  bool keepOpen = false;
};

std::vector<RefusedCase> RefusedCases() {
  const std::string good = kGood;
  std::string longUrl = "http://127.0.0.1/" + std::string(browserhost::kMaxUrlBytes, 'a');
  return {
      {"length_beyond_the_data", {Length(500) + good.substr(0, 100)}, "truncated"},
      {"input_ends_inside_the_length", {std::string("\x10\x00", 2)}, "truncated"},
      {"length_shorter_than_the_data", {Length(20) + good}, "bad-json"},
      {"length_zero", {Length(0)}, "bad-json"},
      {"stalled_inside_the_message", {Length(300) + good.substr(0, 50)}, "timed-out", true},
      {"oversized_message", {Length(browserhost::kMaxMessageBytes + 1) + good}, "too-large"},
      {"length_all_ones", {Length(0xFFFFFFFFu)}, "too-large"},
      {"not_json", {Framed("{\"action\": download")}, "bad-json"},
      {"json_array", {Framed("[1,2]")}, "bad-json"},
      {"no_action", {Framed(R"({"url":"http://a/"})")}, "missing-field"},
      {"unknown_action", {Framed(R"({"action":"format-disk"})")}, "unknown-action"},
      {"missing_url", {Framed(GoodWith("url", ""))}, "missing-field"},
      {"missing_file", {Framed(GoodWith("file", ""))}, "missing-field"},
      {"missing_type", {Framed(GoodWith("type", ""))}, "missing-field"},
      {"url_not_a_string", {Framed(GoodWith("url", "42"))}, "wrong-type"},
      {"ftp_scheme", {Framed(GoodWith("url", R"("ftp://127.0.0.1/clip.flv")"))}, "bad-scheme"},
      {"file_scheme", {Framed(GoodWith("url", R"("file:///etc/passwd")"))}, "bad-url"},
      {"javascript_scheme", {Framed(GoodWith("url", R"("javascript://host/run")"))}, "bad-scheme"},
      {"blob_scheme", {Framed(GoodWith("url", R"("blob:http://127.0.0.1/8a1c")"))}, "bad-url"},
      {"url_too_long", {Framed(GoodWith("url", "\"" + longUrl + "\""))}, "too-long"},
      {"crlf_in_cookie", {Framed(GoodWith("cookie", R"("a=b\r\nX-Injected: 1")"))}, "control-character"},
      {"lf_in_referer", {Framed(GoodWith("referer", R"("http://a/\nHost: evil")"))}, "control-character"},
      {"nul_in_file", {Framed(GoodWith("file", R"("clip\u0000.flv")"))}, "control-character"},
      {"del_in_path", {Framed(GoodWith("path", R"("/tmp/a\u007f")"))}, "control-character"},
      {"negative_size", {Framed(GoodWith("size", "-1"))}, "bad-size"},
      {"fractional_size", {Framed(GoodWith("size", "1.5"))}, "bad-size"},
      {"size_as_text", {Framed(GoodWith("size", R"("100")"))}, "bad-size"},
      {"huge_size", {Framed(GoodWith("size", "1e300"))}, "bad-size"},
      {"format_below_minus_one", {Framed(GoodWith("format", "-2"))}, "bad-format"},
      {"autoclose_as_text", {Framed(GoodWith("autoclose", R"("true")"))}, "wrong-type"},
      {"type_vexaro_offers_nothing_for", {Framed(GoodWith("type", R"("application/zip")"))}, "type-not-handled"},
  };
}

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, AnswersWithTheErrorAndStartsNothing) {
  RecordingLauncher launcher;
  const Exchange exchange = Talk(GetParam().pieces, launcher, GetParam().keepOpen, 300);
  EXPECT_EQ(exchange.result, browserhost::ServeResult::Answered);
  const QJsonObject answer = OnlyAnswer(exchange.output);
  EXPECT_EQ(answer.value("ok"), QJsonValue(false));
  EXPECT_EQ(answer.value("error").toString().toStdString(), GetParam().error)
      << answer.value("message").toString().toStdString();
  EXPECT_FALSE(answer.value("message").toString().isEmpty());
  EXPECT_TRUE(launcher.started.empty());
}

INSTANTIATE_TEST_SUITE_P(Host, Refused, ::testing::ValuesIn(RefusedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Host, MessageInOneBytePiecesIsReadWholeAndStartsOneDownload) {
  const std::string frame = Framed(kGood);
  std::vector<std::string> pieces;
  for (const char c : frame) pieces.emplace_back(1, c);
  RecordingLauncher launcher;
  const Exchange exchange = Talk(pieces, launcher, false, 10000);
  const QJsonObject answer = OnlyAnswer(exchange.output);
  EXPECT_EQ(answer.value("ok"), QJsonValue(true));
  EXPECT_EQ(answer.value("version").toString(), "9.8.7");
  ASSERT_EQ(launcher.started.size(), 1u);
  const DownloadFields& d = launcher.started[0];
  EXPECT_EQ(d.url, "http://127.0.0.1:8080/files/clip.flv");
  EXPECT_EQ(d.file, "clip.flv");
  EXPECT_EQ(d.type, "video/x-flv");
  EXPECT_EQ(d.size, 5242880);
  EXPECT_EQ(d.cookie, "session=abc; theme=dark");
  EXPECT_EQ(d.referer, "http://127.0.0.1:8080/watch");
  EXPECT_EQ(d.format, 4);
  EXPECT_TRUE(d.autoclose);
}

TEST(Host, OptionalFieldsMayBeLeftOut) {
  RecordingLauncher launcher;
  const std::string minimal = R"({"action":"download","url":"https://h/x.flv","file":"x.flv","type":"video/x-flv"})";
  const Exchange exchange = Talk({Framed(minimal)}, launcher);
  EXPECT_EQ(OnlyAnswer(exchange.output).value("ok"), QJsonValue(true));
  ASSERT_EQ(launcher.started.size(), 1u);
  EXPECT_EQ(launcher.started[0].size, 0);
  EXPECT_EQ(launcher.started[0].format, -1);
  EXPECT_FALSE(launcher.started[0].autoclose);
}

TEST(Host, PingAnswersWithTheVersionAndStartsNothing) {
  RecordingLauncher launcher;
  const Exchange exchange = Talk({Framed(R"({"action":"ping"})")}, launcher);
  const QJsonObject answer = OnlyAnswer(exchange.output);
  EXPECT_EQ(answer.value("ok"), QJsonValue(true));
  EXPECT_EQ(answer.value("version").toString(), "9.8.7");
  EXPECT_TRUE(launcher.started.empty());
}

TEST(Host, ProgramThatCannotStartIsAnErrorAnswer) {
  RecordingLauncher launcher;
  launcher.succeed = false;
  const QJsonObject answer = OnlyAnswer(Talk({Framed(kGood)}, launcher).output);
  EXPECT_EQ(answer.value("ok"), QJsonValue(false));
  EXPECT_EQ(answer.value("error").toString(), "launch-failed");
}

TEST(Host, EmptyInputWritesNothing) {
  RecordingLauncher launcher;
  const Exchange exchange = Talk({}, launcher);
  EXPECT_EQ(exchange.result, browserhost::ServeResult::NoMessage);
  EXPECT_TRUE(exchange.output.empty());
}

// The program reads the request the host writes with the command line's own
// rules, whatever the values hold.
TEST(RequestChannel, ProgramReadsWhatTheHostWrites) {
  testsupport::TempDataHome home;
  DownloadFields d;
  d.url = "http://127.0.0.1/a /b?x=1";  // " /" would end a command-line value
  d.file = "Ünïcode clip.tar.flv";
  d.type = "video/x-flv";
  d.size = 6'000'000'000;  // beyond 32 bits
  d.cookie = "a=b; c=d /e:f";
  d.referer = "http://127.0.0.1/page";
  d.path = "/tmp/with space";
  d.format = -1;
  d.autoclose = true;
  startup::DownloadRequest request;
  ASSERT_TRUE(startup::ParseRequestOptions(browserhost::EncodeRequestOptions(d), request));
  EXPECT_EQ(request.url, u"http://127.0.0.1/a /b?x=1");
  EXPECT_EQ(request.file, u"Ünïcode clip.tar");
  EXPECT_EQ(request.type, u"video/x-flv");
  EXPECT_EQ(request.size, 2147483647);
  EXPECT_EQ(request.cookie, u"a=b; c=d /e:f");
  EXPECT_EQ(request.referer, u"http://127.0.0.1/page");
  EXPECT_EQ(request.path, u"/tmp/with space");
  EXPECT_EQ(request.format, u"-1");
  EXPECT_TRUE(request.autoclose);
}

TEST(RequestChannel, CutRequestIsRefusedWhole) {
  testsupport::TempDataHome home;
  DownloadFields d;
  d.url = "http://127.0.0.1/clip.flv";
  d.file = "clip.flv";
  d.type = "video/x-flv";
  d.cookie = "session=abc";
  const std::string whole = browserhost::EncodeRequestOptions(d);
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    startup::DownloadRequest request;
    EXPECT_FALSE(startup::ParseRequestOptions(whole.substr(0, cut), request)) << "cut at " << cut;
    EXPECT_TRUE(request.url.empty());
  }
}

// A stand-in for vexaro: a script that records what it was given.
std::string RecordingProgram(const testsupport::TempFolder& folder, const std::string& body) {
  const std::string path = folder.File("vexaro");
  testsupport::WriteFileBytes(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

std::string Field(const std::string& stat, int index) {  // /proc/PID/stat, after the command's ')'
  std::size_t at = stat.rfind(')') + 2;
  for (int i = 3; i < index; ++i) at = stat.find(' ', at) + 1;
  return stat.substr(at, stat.find(' ', at) - at);
}

TEST(ProgramLauncher, GivesTheRequestOnStandardInputToAProgramInItsOwnSession) {
  testsupport::TempFolder folder;
  const std::string program = RecordingProgram(
      folder, "cat /proc/$$/stat > \"$0.stat\"\nprintf '%s\\n' \"$@\" > \"$0.args\"\ncat > \"$0.in.part\"\n"
              "mv \"$0.in.part\" \"$0.in\"\nsleep 1\n");
  browserhost::ProgramLauncher launcher(program);
  DownloadFields d;
  d.url = "http://127.0.0.1/clip.flv";
  d.file = "clip.flv";
  d.type = "video/x-flv";
  d.cookie = "secret-cookie-value";
  std::string failure;
  ASSERT_TRUE(launcher.Launch(d, failure)) << failure;
  ASSERT_TRUE(testsupport::WaitForFile(program + ".in", 5000));
  EXPECT_EQ(testsupport::ReadFileBytes(program + ".in"), browserhost::EncodeRequestOptions(d));
  EXPECT_EQ(testsupport::ReadFileBytes(program + ".args"), "--request-stdin\n");
  const std::string stat = testsupport::ReadFileBytes(program + ".stat");
  const std::string pid = stat.substr(0, stat.find(' '));
  EXPECT_EQ(Field(stat, 6), pid) << "the program leads a session of its own";
}

// A program that ends at once with an error could not take the download (the
// browser keeps it); one that ends at once with 0 took it (a later start whose
// Save-As was answered quickly and that handed its download over).
TEST(ProgramLauncher, ProgramThatEndsAtOnceFailsOnlyWithAnError) {
  struct Case {
    const char* name;
    const char* script;
    bool taken;
  };
  for (const Case& c : {Case{"error", "cat >/dev/null\nexit 1\n", false},
                        Case{"handed over", "cat >/dev/null\nexit 0\n", true}}) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder folder;
    browserhost::ProgramLauncher launcher(RecordingProgram(folder, c.script), 1000);
    DownloadFields d;
    d.url = "http://127.0.0.1/clip.flv";
    std::string failure;
    EXPECT_EQ(launcher.Launch(d, failure), c.taken) << failure;
    if (!c.taken) {
      EXPECT_NE(failure.find("exit code 1"), std::string::npos) << failure;
    }
  }
}

TEST(ProgramLauncher, MissingProgramIsAFailure) {
  testsupport::TempFolder folder;
  browserhost::ProgramLauncher launcher(folder.File("no-such-vexaro"));
  std::string failure;
  EXPECT_FALSE(launcher.Launch(DownloadFields(), failure));
  EXPECT_NE(failure.find("no-such-vexaro"), std::string::npos) << failure;
}

}  // namespace

namespace {

// The real host program: its standard output carries the one frame and
// nothing else, whatever it is asked.
std::string RunHostProgram(const std::string& input) {
  int in[2];
  int out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    execl(VEXARO_HOST_PROGRAM, VEXARO_HOST_PROGRAM, "chrome-extension://test/", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);
  std::string output;
  char buffer[4096];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<std::size_t>(got));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return output;
}

TEST(HostProgram, WritesOneFrameAndNothingElse) {
  testsupport::TempDataHome home;
  struct Case {
    std::string input;
    bool ok;
    const char* error;
  };
  const Case cases[] = {
      {Framed(R"({"action":"ping"})"), true, ""},
      {Framed(GoodWith("type", R"("application/zip")")), false, "type-not-handled"},
      {Framed(GoodWith("cookie", R"("a\r\nb")")), false, "control-character"},
      {Length(1u << 30), false, "too-large"},
  };
  for (const Case& c : cases) {
    const QJsonObject answer = OnlyAnswer(RunHostProgram(c.input));
    EXPECT_EQ(answer.value("ok"), QJsonValue(c.ok));
    EXPECT_EQ(answer.value("error").toString().toStdString(), c.error);
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "settings/Settings.h"
#include "startup/CommandLine.h"
#include "support/TempFolder.h"

namespace {

using startup::DownloadRequest;

auto Fields(const DownloadRequest& r) {
  return std::make_tuple(r.url, r.file, r.type, r.size, r.cookie, r.referer, r.path, r.format, r.autoclose);
}

DownloadRequest Request(std::u16string url, std::u16string file = u"", std::u16string type = u"",
                        std::int32_t size = 0, bool autoclose = false) {
  DownloadRequest r;
  r.url = std::move(url);
  r.file = std::move(file);
  r.type = std::move(type);
  r.size = size;
  r.autoclose = autoclose;
  return r;
}

DownloadRequest Others(std::u16string cookie, std::u16string referer, std::u16string path, std::u16string format) {
  DownloadRequest r;
  r.cookie = std::move(cookie);
  r.referer = std::move(referer);
  r.path = std::move(path);
  r.format = std::move(format);
  return r;
}

struct Case {
  const char* name;
  // The program's arguments after its name, as the system hands them over.
  std::vector<const char*> args;
  DownloadRequest expected;
};

const Case kCases[] = {
    {"AddOnStart", {"/url:A /file:clip.flv /type:video/x-flv /size:1234 /autoclose:true"},
     Request(u"A", u"clip", u"video/x-flv", 1234, true)},
    {"AddOnStartSplitIntoArguments", {"/url:A", "/file:clip.flv", "/type:video/x-flv", "/size:1234", "/autoclose:true"},
     Request(u"A", u"clip", u"video/x-flv", 1234, true)},
    {"OtherOptions", {"/cookie:a=1; b=2 /referer:http://p/x /path:/home/u/Videos /format:2 /checksum:77"},
     Others(u"a=1; b=2", u"http://p/x", u"/home/u/Videos", u"2")},
    {"NoArguments", {}, DownloadRequest{}},
    {"LastDotCut", {"/file:archive.tar.gz"}, Request(u"", u"archive.tar")},
    {"NoDotKept", {"/file:noext"}, Request(u"", u"noext")},
    {"OnlyLeadingDot", {"/file:.mp4"}, Request(u"", u"")},
    {"BlankSlashEndsValue", {"/url:x/a /b /type:t"}, Request(u"x/a", u"", u"t")},
    {"ColonsInsideValue", {"/url:http://h:8080/a?b=c:d /type:t"}, Request(u"http://h:8080/a?b=c:d", u"", u"t")},
    {"BareOptionDropped", {"/foo /url:A"}, Request(u"A")},
    {"BareOptionDroppedAcrossArguments", {"/foo", "/url:A"}, Request(u"A")},
    {"AutocloseIsCaseSensitive", {"/autoclose:TRUE"}, Request(u"")},
    {"AutocloseOnlyTrue", {"/autoclose:1"}, Request(u"")},
    {"SizeSaturates", {"/size:4294967296"}, Request(u"", u"", u"", 2147483647)},
    {"SizeNegative", {"/size:-5"}, Request(u"", u"", u"", -5)},
    {"SizeStopsAtNonDigit", {"/size:12abc"}, Request(u"", u"", u"", 12)},
    {"SizeNotANumber", {"/size:abc"}, Request(u"")},
    {"NamesAreCaseSensitive", {"/URL:A"}, Request(u"")},
    {"NamesAreTrimmed", {"  /url :A"}, Request(u"A")},
    {"LaterWins", {"/url:A /url:B"}, Request(u"B")},
    {"SecondBlankStaysInValue", {"/url:A  /file:f"}, Request(u"A ", u"f")},
    {"LeadingColonStops", {":/url:A"}, Request(u"")},
    {"NoColonStops", {"/url"}, Request(u"")},
    {"Utf8Arguments", {"/file:M\xC3\xBCsli \xE2\x82\xAC.mp3"}, Request(u"", u"M\u00FCsli \u20AC")},
};

class CommandLineTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineTest, ReadsRequest) {
  testsupport::TempDataHome home;
  const Case& c = GetParam();
  std::vector<const char*> argv{"vexaro"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const DownloadRequest request =
      startup::ParseCommandLine(startup::JoinArguments(static_cast<int>(argv.size()), argv.data()));
  EXPECT_EQ(Fields(request), Fields(c.expected));
  // The parser brings the settings store up, so later failures get recorded.
  EXPECT_TRUE(settings::Settings::IsCreated());
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The journal of unfinished downloads, and the dialog that keeps it: what an
// ended run leaves is shown again as paused rows, a journal that cannot be
// read is kept aside and recorded, and the dialog's end pauses what runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "manager/DownloadFileDialog.h"
#include "manager/DownloadJournal.h"
#include "manager/ManagerFixture.h"
#include "platform/File.h"
#include "platform/OwnerLock.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "support/ErrorRecord.h"
#include "support/ScriptedServer.h"
#include "transfer/DownloadItem.h"

namespace {

using manager::CDownloadFileDialog;
using manager::DownloadJournal;
using manager::JournalEntry;
using transfer::CDownloadItem;
using transfer::ToQString;
namespace fs = std::filesystem;

JournalEntry Entry(const std::u16string& id, const std::u16string& target) {
  JournalEntry entry;
  entry.id = id;
  entry.download.url = u"http://127.0.0.1:1/clip.flv";
  entry.download.targetPath = target;
  entry.download.size = 1234;
  entry.download.cookie = u"session=\u00e9t\u00e9; other=1";
  entry.download.referer = u"http://page/";
  return entry;
}

std::vector<std::string> NamesIn(const std::u16string& folder) {
  std::vector<std::string> names;
  for (const std::u16string& name : platform::FilesIn(folder)) names.push_back(platform::ToUtf8(name));
  std::sort(names.begin(), names.end());
  return names;
}

class JournalTest : public testsupport::ManagerFixture {
 protected:
  std::u16string Folder() const { return DownloadJournal::Folder(); }
  // A journal written by a process that is gone: its file, no lock held.
  void WriteOrphan(const std::string& token, const std::string& bytes) {
    fs::create_directories(platform::ToUtf8(Folder()));
    testsupport::WriteFileBytes(platform::ToUtf8(Folder()) + token + ".journal", bytes);
  }
};

// Every field comes back as it went, whatever the text holds: a newline in a
// path, any character in a cookie, any byte in a validator.
TEST_F(JournalTest, EntriesComeBackAsTheyWent) {
  JournalEntry entry = Entry(u"a1", u"/home/alex/Music/two\nlines \u266b.mp3");
  entry.download.tempPath = u"/home/alex/.cache/Vexaro/vx_1A.flv";
  entry.download.conversionArgs = u"-acodec libmp3lame -ab 160k";
  entry.download.replaceTarget = true;
  transfer::ResumeState state = transfer::FreshState(entry.download.url, entry.download.tempPath);
  state.size = 5000000000ull;
  state.etag = std::string("\"\x80\xff\x01q\"", 6);
  state.lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
  state.rangesWork = true;
  state.partOnDisk = true;
  state.onDisk.Add(0, 1048576);
  state.onDisk.Add(4294967296ull, 4294967296ull + 4096);
  entry.state = state;
  const JournalEntry bare = Entry(u"b2", u"/d/bare.flv");

  std::vector<JournalEntry> back;
  int version = 0;
  ASSERT_TRUE(DownloadJournal::Parse(DownloadJournal::Serialize({entry, bare}), back, version));
  EXPECT_EQ(version, DownloadJournal::kVersion);
  ASSERT_EQ(back.size(), 2u);
  const JournalEntry& e = back[0];
  EXPECT_EQ(e.id, u"a1");
  EXPECT_EQ(e.download.targetPath, entry.download.targetPath);
  EXPECT_EQ(e.download.tempPath, entry.download.tempPath);
  EXPECT_EQ(e.download.conversionArgs, entry.download.conversionArgs);
  EXPECT_EQ(e.download.cookie, entry.download.cookie);
  EXPECT_EQ(e.download.referer, entry.download.referer);
  EXPECT_EQ(e.download.size, 1234);
  EXPECT_TRUE(e.download.replaceTarget);
  ASSERT_TRUE(e.state);
  EXPECT_EQ(e.state->etag, state.etag);
  EXPECT_EQ(e.state->lastModified, state.lastModified);
  EXPECT_EQ(e.state->size, state.size);
  EXPECT_EQ(e.state->onDisk, state.onDisk);
  EXPECT_EQ(e.state->partPath, state.partPath);
  EXPECT_TRUE(e.state->rangesWork);
  EXPECT_TRUE(e.state->partOnDisk);
  EXPECT_FALSE(back[1].state);
}

// A journal that cannot be read is kept aside under another name and
// recorded; the others are taken over as usual; nothing crashes.
TEST_F(JournalTest, UnreadableJournalsAreKeptAsideAndRecorded) {
  struct Case {
    const char* name;
    std::string bytes;
    const char16_t* code;     // key of the error record
    const char16_t* recorded;
  };
  const std::string good = DownloadJournal::Serialize({Entry(u"g", u"/d/good.flv")}).toStdString();
  const std::vector<Case> cases = {
      {"not JSON", "{\"format\": \"vexaro-download-jou", u"2403", u"13"},
      {"binary", std::string("\0\x01\xff\xfe", 4), u"2403", u"13"},
      {"another format", "{\"format\": \"x\", \"version\": 1, \"downloads\": []}", u"2403", u"13"},
      {"no list of downloads", "{\"format\": \"vexaro-download-journal\", \"version\": 1, \"downloads\": 5}", u"2403",
       u"13"},
      {"a newer version", "{\"format\": \"vexaro-download-journal\", \"version\": 7, \"downloads\": []}", u"2404",
       u"7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(platform::ToUtf8(Folder()));
    WriteOrphan("bad", c.bytes);
    WriteOrphan("good", good);
    settings::Settings::GetInstance()->GetErrors();  // the record exists
    DownloadJournal journal;
    ASSERT_TRUE(journal.Open());
    const std::vector<JournalEntry> adopted = journal.AdoptOrphans();
    ASSERT_EQ(adopted.size(), 1u);
    EXPECT_EQ(adopted[0].id, u"g");
    EXPECT_EQ(testsupport::RecordedError(c.code), c.recorded);
    ASSERT_TRUE(journal.Write(adopted));
    const std::vector<std::string> names = NamesIn(Folder());
    ASSERT_EQ(names.size(), 3u) << "the unreadable one kept aside, and this process's two";
    const auto aside = std::find_if(names.begin(), names.end(), [](const std::string& name) {
      return name.rfind("bad.journal.unreadable-", 0) == 0;
    });
    ASSERT_NE(aside, names.end()) << names[0] << " " << names[1] << " " << names[2];
    EXPECT_EQ(testsupport::ReadFileBytes(platform::ToUtf8(Folder()) + *aside), c.bytes);
    ASSERT_EQ(journal.KeptAside().size(), 1u);
    EXPECT_EQ(journal.KeptAside()[0], Folder() + platform::FromUtf8(*aside));
    // Written only by its owner, read only by its owner: it holds cookies.
    struct stat st {};
    ASSERT_EQ(::stat(platform::ToUtf8(journal.Path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

// One entry that cannot be read costs only itself: the other entries of its
// journal come back, it alone is kept aside (as a journal of its own, private)
// and recorded.
TEST_F(JournalTest, AnUnreadableEntryCostsOnlyItself) {
  const std::string state =
      "\"state\":{\"url\":\"http://a/\",\"target\":\"/d/a\",\"part\":\"/d/a.vxpart\",\"size\":10,\"etag\":\"\","
      "\"lastModified\":\"\",\"rangesWork\":false,\"partOnDisk\":true,\"onDisk\":[[0,5]]}";
  const std::string fields =
      "\"url\":\"http://a/\",\"target\":\"/d/a\",\"temporary\":\"\",\"conversion\":\"\",\"size\":0,"
      "\"cookie\":\"\",\"referer\":\"\",\"replaceTarget\":false,";
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"a wrong field", "{\"id\": 5}"},
      {"no object", "[1, 2]"},
      {"ranges beyond the size", "{\"id\":\"i\"," + fields + replaced(state, "[[0,5]]", "[[0,20]]") + "}"},
      {"an unfinished file elsewhere",
       "{\"id\":\"i\"," + fields + replaced(state, "/d/a.vxpart", "/home/alex/.bashrc") + "}"},
      {"a state of another file", "{\"id\":\"i\"," + fields + replaced(replaced(state, "/d/a", "/d/b"), "/d/a", "/d/b") + "}"},
      {"a numbered name while unfinished",
       "{\"id\":\"i\"," + fields + replaced(state, "\"target\":\"/d/a\"", "\"target\":\"/d/a (2)\"") + "}"},
  };
  const QJsonObject kept = QJsonDocument::fromJson(DownloadJournal::Serialize({Entry(u"g2", u"/d/kept.flv")}))
                               .object()[QStringLiteral("downloads")]
                               .toArray()
                               .at(0)
                               .toObject();
  const std::string keptText = QJsonDocument(kept).toJson(QJsonDocument::Compact).toStdString();
  for (const auto& [name, bad] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(platform::ToUtf8(Folder()));
    WriteOrphan("mixed", "{\"format\":\"vexaro-download-journal\",\"version\":1,\"downloads\":[" + keptText + "," +
                             bad + "]}");
    WriteOrphan("good", DownloadJournal::Serialize({Entry(u"g", u"/d/good.flv")}).toStdString());
    DownloadJournal journal;
    ASSERT_TRUE(journal.Open());
    std::vector<JournalEntry> adopted = journal.AdoptOrphans();
    std::vector<std::u16string> ids;
    for (const JournalEntry& entry : adopted) ids.push_back(entry.id);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::u16string>{u"g", u"g2"}));
    EXPECT_EQ(testsupport::RecordedError(u"2403"), u"13");
    ASSERT_EQ(journal.KeptAside().size(), 1u);
    const std::string aside = platform::ToUtf8(journal.KeptAside()[0]);
    EXPECT_EQ(aside.rfind(platform::ToUtf8(Folder()) + "mixed.journal.unreadable-", 0), 0u) << aside;
    const QJsonDocument asideJson = QJsonDocument::fromJson(QByteArray::fromStdString(testsupport::ReadFileBytes(aside)));
    EXPECT_EQ(asideJson.object()[QStringLiteral("downloads")].toArray(),
              QJsonDocument::fromJson(QByteArray::fromStdString("[" + bad + "]")).array());
    struct stat st {};
    ASSERT_EQ(::stat(aside.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(journal.Write(adopted));
    // What was kept aside stays when the journals taken over go.
    EXPECT_TRUE(fs::exists(aside));
    EXPECT_FALSE(fs::exists(platform::ToUtf8(Folder()) + "mixed.journal"));
  }
}

// A finished download may have taken a numbered name beside its target: an
// entry that says so names its own files.
TEST_F(JournalTest, APlacedDownloadUnderANumberedNameIsItsOwn) {
  JournalEntry entry = Entry(u"n", u"/d/clip.flv");
  transfer::ResumeState state = transfer::FreshState(entry.download.url, entry.download.targetPath);
  state.targetPath = u"/d/clip (2).flv";
  state.partOnDisk = false;
  entry.state = state;
  std::vector<JournalEntry> back;
  int version = 0;
  QJsonArray damaged;
  ASSERT_TRUE(DownloadJournal::Parse(DownloadJournal::Serialize({entry}), back, version, &damaged));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].state->targetPath, u"/d/clip (2).flv");
  EXPECT_TRUE(damaged.isEmpty());
  for (const char16_t* name : {u"/d/clip (0).flv", u"/d/clip (1).flv", u"/d/clip (02).flv", u"/d/clip (x).flv",
                               u"/d/clip (1001).flv", u"/d/clip (2).mp3", u"/e/clip (2).flv"}) {
    SCOPED_TRACE(platform::ToUtf8(name));
    entry.state->targetPath = name;
    ASSERT_TRUE(DownloadJournal::Parse(DownloadJournal::Serialize({entry}), back, version, &damaged));
    EXPECT_TRUE(back.empty());
    EXPECT_EQ(damaged.size(), 1);
  }
}

// Journals whose owner runs are not taken over; those of ended owners are,
// each entry once even when a crash left it in two journals.
TEST_F(JournalTest, OnlyJournalsOfEndedOwnersAreTakenOver) {
  DownloadJournal running;
  ASSERT_TRUE(running.Open());
  ASSERT_TRUE(running.Write({Entry(u"mine", u"/d/mine.flv")}));
  WriteOrphan("ended1", DownloadJournal::Serialize({Entry(u"x", u"/d/x.flv"), Entry(u"y", u"/d/y.flv")}).toStdString());
  WriteOrphan("ended2", DownloadJournal::Serialize({Entry(u"y", u"/d/y.flv")}).toStdString());

  EXPECT_TRUE(DownloadJournal::HasOrphans());
  DownloadJournal next;
  ASSERT_TRUE(next.Open());
  std::vector<JournalEntry> adopted = next.AdoptOrphans();
  std::vector<std::u16string> ids;
  for (const JournalEntry& entry : adopted) ids.push_back(entry.id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::u16string>{u"x", u"y"}));
  ASSERT_TRUE(next.Write(adopted));
  // The ended ones are gone; the running one's and the new one's stay.
  EXPECT_EQ(NamesIn(Folder()).size(), 4u);
  DownloadJournal third;
  ASSERT_TRUE(third.Open());
  EXPECT_TRUE(third.AdoptOrphans().empty());
}

// What an ended run left comes back as paused rows below the others, showing
// what is on disk, and Resume finishes it from there.
TEST_F(JournalTest, DialogShowsWhatAnEndedRunLeftAndResumesIt) {
  const std::uint64_t size = 2 * 1024 * 1024;
  const testsupport::ServedFile file{testsupport::VersionBytes(size, 1), "\"v1\"", ""};
  testsupport::ScriptedServer server(
      [&file](const testsupport::ScriptedRequest& request) { return testsupport::ScriptedServer::ServeFile(request, file); });
  ASSERT_TRUE(server.Start());
  // The first megabyte is on disk, as the ended run left it.
  const std::u16string target = File("left.flv");
  JournalEntry entry = Entry(u"left", target);
  entry.download.url = platform::FromUtf8(server.Url("/left.flv"));
  entry.download.size = 0;
  transfer::ResumeState state = transfer::FreshState(entry.download.url, target);
  state.size = size;
  state.etag = "\"v1\"";
  state.rangesWork = true;
  state.partOnDisk = true;
  state.onDisk.Add(0, 1024 * 1024);
  entry.state = state;
  std::string part = file.bytes->substr(0, 1024 * 1024);
  part.resize(size, '\0');
  testsupport::WriteFileBytes(platform::ToUtf8(state.partPath), part);
  WriteOrphan("ended", DownloadJournal::Serialize({entry}).toStdString());

  CDownloadFileDialog& dialog = Open("/bytes/1000", File("new.bin"), true);
  EXPECT_EQ(dialog.RestoreUnfinished(), 1);
  ASSERT_EQ(dialog.RowCount(), 2);
  CDownloadItem* row = dialog.Row(1);
  EXPECT_TRUE(row->IsPaused());
  EXPECT_EQ(row->StatusText(), ToQString(u"Paused: " + target));
  EXPECT_EQ(row->DetailText(), "1.0 of 2.0 Mb");
  EXPECT_EQ(row->BarPosition(), 50);
  EXPECT_EQ(row->VisibleButtons(), (QStringList{"Resume", "Cancel"}));
  EXPECT_EQ(row->geometry(), QRect(5, 80, 395, 70));

  // "Close when finished" waits for the paused row.
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(0)->IsFinished(); }, 30000));
  QTest::qWait(100);
  EXPECT_TRUE(dialog.isVisible());
  row->findChild<QPushButton*>("Resume")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 30000));
  EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(platform::ToUtf8(target))), testsupport::Digest(*file.bytes));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("range"), "bytes=1048576-");
  // Done: nothing of it is left in the journal, and nothing of the journal
  // once the program ends with nothing unfinished.
  dialog_.reset();
  EXPECT_TRUE(NamesIn(Folder()).empty()) << NamesIn(Folder())[0];
  EXPECT_FALSE(DownloadJournal::HasOrphans());
  DownloadJournal next;
  ASSERT_TRUE(next.Open());
  EXPECT_TRUE(next.AdoptOrphans().empty());
}

// A download is in the journal before its worker can make a file or send a
// request: a start killed the moment its download began still brings it back
// (the first row, made with the dialog, and a row handed over later).
TEST_F(JournalTest, DownloadsAreJournaledBeforeTheirWorkerStarts) {
  const testsupport::ServedFile file{testsupport::VersionBytes(64 * 1024, 1), "\"v1\"", ""};
  const std::u16string folder = Folder();
  std::mutex mutex;
  std::map<std::string, bool> journaledAtRequest;
  testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& request) {
    bool journaled = false;
    for (const std::u16string& name : platform::FilesIn(folder)) {
      std::string bytes;
      if (!platform::ReadWholeFile(folder + name, bytes)) continue;
      std::vector<JournalEntry> entries;
      int version = 0;
      if (!DownloadJournal::Parse(QByteArray::fromStdString(bytes), entries, version)) continue;
      for (const JournalEntry& entry : entries) {
        journaled = journaled || platform::ToUtf8(entry.download.url).ends_with(request.path);
      }
    }
    {
      const std::lock_guard<std::mutex> lock(mutex);
      journaledAtRequest.emplace(request.path, journaled);
    }
    return testsupport::ScriptedServer::ServeFile(request, file);
  });
  ASSERT_TRUE(server.Start());

  dialog_ = std::make_unique<CDownloadFileDialog>(platform::FromUtf8(server.Url("/first.flv")), u"",
                                                  File("first.flv"), u"", 0, u"", false, u"");
  dialog_->show();
  // The race is short: many rows give it many chances to show.
  std::map<std::string, bool> expected{{"/first.flv", true}};
  for (int i = 0; i < 24; ++i) {
    const std::string name = "handed" + std::to_string(i) + ".flv";
    Send(platform::FromUtf8(server.Url("/" + name)), File(name));
    expected.emplace("/" + name, true);
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return AllFinished(); }, 60000));
  const std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(journaledAtRequest, expected);
}

// The unfinished file is named in the journal the moment the row learns of
// it, not only with the next timed write: a start killed in the seconds
// between would leave a file in the user's folder that nothing knows of.
TEST_F(JournalTest, AnUnfinishedFileIsJournaledWhenItAppears) {
  const testsupport::ServedFile file{testsupport::VersionBytes(4 * 1024 * 1024, 1), "\"v1\"", ""};
  testsupport::ScriptedServer server([&file](const testsupport::ScriptedRequest& request) {
    testsupport::ScriptedReply reply = testsupport::ScriptedServer::ServeFile(request, file);
    reply.stallAfter = 64 * 1024;
    return reply;
  });
  ASSERT_TRUE(server.Start());
  dialog_ = std::make_unique<CDownloadFileDialog>(platform::FromUtf8(server.Url("/clip.flv")), u"", File("clip.flv"),
                                                  u"", 0, u"", false, u"");
  dialog_->show();
  CDownloadItem* row = dialog_->Row(0);
  // Connected after the dialog's own slot, so it runs after that one.
  std::optional<bool> journaledWhenReported;
  QObject connection;  // ends the connection before what it captures goes
  QObject::connect(row, &CDownloadItem::resumeStateChanged, &connection, [&] {
    const std::optional<transfer::ResumeState>& state = row->LastResumeState();
    if (!state || !state->partOnDisk || journaledWhenReported) return;
    const std::vector<std::u16string> named = DownloadJournal::FilesInUse(Folder());
    journaledWhenReported = std::find(named.begin(), named.end(), state->partPath) != named.end();
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return journaledWhenReported.has_value(); }, 30000));
  EXPECT_TRUE(*journaledWhenReported);
}

// A paused row is a row in progress: closing asks first.
TEST_F(JournalTest, ClosingWithAPausedRowAsksFirst) {
  CDownloadFileDialog& dialog = Open("/hold", File("held.bin"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(0)->CanPause(); }, 30000));
  dialog.Row(0)->Pause();
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(0)->IsPaused(); }, 30000));
  int asked = 0;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible()) continue;
      ++asked;
      box->button(QMessageBox::No)->click();
    }
  });
  answer.start(10);
  dialog.CloseButton()->click();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(dialog.isVisible());
}

}  // namespace

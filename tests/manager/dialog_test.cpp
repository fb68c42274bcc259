// The manager dialog, offscreen, with real workers on the loopback server.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "localisation/Dictionary.h"
#include "localisation/DictionaryText.h"
#include "manager/AnswerKeys.h"
#include "manager/DownloadFileDialog.h"
#include "manager/DownloadJournal.h"
#include "manager/ScrollWindow.h"
#include "settings/IniFile.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "manager/ManagerFixture.h"
#include "support/Downloads.h"
#include "transfer/Download.h"
#include "transfer/DownloadItem.h"

namespace {

using manager::CDownloadFileDialog;
using transfer::CDownloadItem;
using transfer::ToQString;
namespace fs = std::filesystem;
using testsupport::SizeRecord;
using testsupport::Utf16;

// Answers the next message box with `button`, remembering what it asked.
class Answerer {
 public:
  explicit Answerer(QMessageBox::StandardButton button) {
    QObject::connect(&timer_, &QTimer::timeout, [this, button] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible()) continue;
        ++asked_;
        text_ = box->text();
        title_ = box->windowTitle();
        buttons_ = box->standardButtons();
        box->button(button)->click();
      }
    });
    timer_.start(10);
  }
  int asked_ = 0;
  QString text_, title_;
  QMessageBox::StandardButtons buttons_;

 private:
  QTimer timer_;
};

using DialogTest = testsupport::ManagerFixture;

TEST_F(DialogTest, LaysOutTheTemplate) {
  CDownloadFileDialog& dialog = Open("/hold", File("a.bin"), true);

  EXPECT_EQ(dialog.windowTitle(), "Vexaro Download Manager");
  EXPECT_EQ(dialog.CloseButton()->text(), "Cancel");
  EXPECT_EQ(dialog.CloseButton()->property("id").toInt(), 2);
  auto* minimise = dialog.findChild<QPushButton*>("minimizeButton");
  ASSERT_NE(minimise, nullptr);
  EXPECT_EQ(minimise->text(), "Minimize");
  EXPECT_EQ(minimise->property("id").toInt(), 3);
  EXPECT_EQ(dialog.CloseWhenFinished()->text(), "Close when finished");
  EXPECT_EQ(dialog.CloseWhenFinished()->property("id").toInt(), 210);
  EXPECT_TRUE(dialog.CloseWhenFinished()->isChecked());
  EXPECT_FALSE(dialog.windowIcon().isNull());

  // Dialog units: the buttons stand where 213, 143 and 11 of 289 across and
  // 160 of 182 down put them.
  const int w = dialog.width();
  const int h = dialog.height();
  EXPECT_NEAR(dialog.CloseButton()->x(), 213.0 * w / 289, 2);
  EXPECT_NEAR(dialog.CloseButton()->width(), 68.0 * w / 289, 2);
  EXPECT_NEAR(minimise->x(), 143.0 * w / 289, 2);
  EXPECT_NEAR(dialog.CloseButton()->y(), 160.0 * h / 182, 2);
  EXPECT_NEAR(dialog.CloseWhenFinished()->x(), 11.0 * w / 289, 2);
  EXPECT_LE(dialog.CloseButton()->geometry().right(), w);
  EXPECT_LE(dialog.CloseButton()->geometry().bottom(), h);
  // Room for a row of 395 beside the bar.
  EXPECT_GE(w - 10, 400);

  manager::CScrollWindow* host = dialog.Host();
  EXPECT_EQ(host->objectName(), "dlHost");
  EXPECT_EQ(host->property("id").toInt(), 1800);
  EXPECT_EQ(host->geometry(), QRect(10, 0, w - 10, h - 50));
  EXPECT_EQ(host->TotalSize(), QSize(w - 10, h - 50));
  EXPECT_FALSE(host->VerticalBarShown());

  ASSERT_EQ(dialog.RowCount(), 1);
  CDownloadItem* row = dialog.Row(0);
  EXPECT_EQ(row->parentWidget(), host->Viewport());
  EXPECT_EQ(row->geometry(), QRect(5, 10, 395, 70));
  EXPECT_EQ(row->property("id").toInt(), 1600);
  EXPECT_EQ(row->objectName(), "dlitem");
  EXPECT_EQ(row->StopEventName(), u"stopevent0");

  minimise->click();
  EXPECT_TRUE(dialog.windowState() & Qt::WindowMinimized);
}

TEST_F(DialogTest, ClosingWhileARowRunsAsksFirst) {
  CDownloadFileDialog& dialog = Open("/hold", File("held.bin"));
  QTest::qWait(50);

  {
    Answerer no(QMessageBox::No);
    dialog.close();  // the window's close box
    EXPECT_EQ(no.asked_, 1);
    EXPECT_EQ(no.text_, "You have downloads in progress. Are you sure you want to exit?");
    EXPECT_EQ(no.title_, "");
    EXPECT_EQ(no.buttons_, QMessageBox::Yes | QMessageBox::No);
  }
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(dialog.Row(0)->WorkerRunning());
  EXPECT_FALSE(dialog.Row(0)->IsFinished());
  {
    Answerer no(QMessageBox::No);
    dialog.CloseButton()->click();
    EXPECT_EQ(no.asked_, 1);
  }
  EXPECT_TRUE(dialog.isVisible());
  {
    Answerer yes(QMessageBox::Yes);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(yes.asked_, 1);
  }
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

// Presses the key of the next message box's `button` (its accelerator, with
// modifiers), remembering the texts of its Yes and No.
class KeyAnswerer {
 public:
  KeyAnswerer(QMessageBox::StandardButton button, Qt::KeyboardModifiers modifiers) {
    QObject::connect(&timer_, &QTimer::timeout, [this, button, modifiers] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible()) continue;
        if (pressed_) {
          // A key that answers nothing would leave the question open for
          // good: say so and end it.
          if (++waited_ > 300) {
            unanswered_ = true;
            box->button(QMessageBox::No)->click();
          }
          continue;
        }
        yes_ = box->button(QMessageBox::Yes)->text();
        no_ = box->button(QMessageBox::No)->text();
        const QKeySequence accelerator = QKeySequence::mnemonic(box->button(button)->text());
        if (accelerator.isEmpty()) {
          box->button(QMessageBox::No)->click();  // nothing to press: the test fails on pressed_
          return;
        }
        pressed_ = true;
        // Where a user's key goes: the box's focused button, which passes
        // letters on to the box.
        QWidget* target = box->focusWidget() ? box->focusWidget() : box;
        // With the letter's text: QTest makes none for keys beyond ASCII.
        const Qt::Key key = accelerator[0].key();
        QTest::sendKeyEvent(QTest::Click, target, key, QString(QChar(char16_t(key))).toLower(), modifiers);
      }
    });
    timer_.start(10);
  }
  bool pressed_ = false;
  bool unanswered_ = false;
  QString yes_, no_;

 private:
  QTimer timer_;
  int waited_ = 0;
};

// The accelerators of the close question's answers: the dictionary's texts
// carry none, the question marks a letter of each, different between them.
TEST(AnswerAcceleratorsTest, MarksADifferentLetterOfEachAnswer) {
  const struct {
    const char* name;
    const char* yes;
    const char* no;
    const char* markedYes;
    const char* markedNo;
  } cases[] = {
      {"English", "Yes", "No", "&Yes", "&No"},
      {"Accented", "Sí", "No", "&Sí", "&No"},
      {"Cyrillic", "Да", "Нет", "&Да", "&Нет"},
      {"Japanese", "はい", "いいえ", "はい(&Y)", "いいえ(&N)"},
      {"Chinese", "是", "否", "是(&Y)", "否(&N)"},
      {"SameFirstLetter", "Sure", "stop", "&Sure", "s&top"},
      {"SameLettersApartFromCase", "ok", "OK", "&ok", "O&K"},
      {"LeadingSignsSkipped", "¡Sí!", "(No)", "¡&Sí!", "(&No)"},
      {"LiteralAmpersandSkipped", "&&Go", "Stay", "&&&Go", "&Stay"},
      {"MarkedByTheTranslatorKept", "J&a", "&Nein", "J&a", "&Nein"},
      {"TakenByAMarkedOne", "Nod", "&Nope", "N&od", "&Nope"},
      {"NoLetterLeft", "N", "&Nah", "N(&Y)", "&Nah"},
      {"ConventionalLetterTaken", "是", "&Y", "是(&A)", "&Y"},
      {"Empty", "", "", "(&Y)", "(&N)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [yes, no] = manager::WithAnswerAccelerators(QString::fromUtf8(c.yes), QString::fromUtf8(c.no));
    EXPECT_EQ(yes, QString::fromUtf8(c.markedYes));
    EXPECT_EQ(no, QString::fromUtf8(c.markedNo));
  }
}

// Every shipped language's close question answers to letter keys, bare and
// with Alt, as the system's own question boxes do: No keeps the window,
// Yes closes it. The two keys differ, and the words stay the dictionary's.
TEST_F(DialogTest, CloseQuestionAnswersLetterKeysInEveryLanguage) {
  settings::IniFile shipped(u"", false);
  shipped.Parse(platform::FromUtf8(localisation::ShippedDictionaryText()));
  ASSERT_GE(shipped.Sections().size(), 2u);
  // Where the keys are known: the letters users of these languages press.
  const std::map<std::u16string, std::pair<int, int>> known = {
      {u"en", {Qt::Key_Y, Qt::Key_N}}, {u"de", {Qt::Key_J, Qt::Key_N}}, {u"fr", {Qt::Key_O, Qt::Key_N}},
      {u"ru", {0x0414, 0x041D}},       {u"ja", {Qt::Key_Y, Qt::Key_N}}, {u"zh", {Qt::Key_Y, Qt::Key_N}},
  };
  int languages = 0;
  for (const auto& [language, texts] : shipped.Sections()) {
    if (!texts.count(u"GENERAL_YES") || !texts.count(u"GENERAL_NO")) continue;
    ++languages;
    SCOPED_TRACE(platform::ToUtf8(language));
    localisation::Dictionary::GetInstance()->SetLanguage(language);
    for (const Qt::KeyboardModifiers modifiers : {Qt::KeyboardModifiers(Qt::NoModifier),
                                                  Qt::KeyboardModifiers(Qt::AltModifier)}) {
      SCOPED_TRACE(modifiers == Qt::AltModifier ? "Alt" : "bare");
      CDownloadFileDialog& dialog = Open("/hold", File("held.bin"));
      for (const QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
        KeyAnswerer press(answer, modifiers);
        dialog.close();
        ASSERT_TRUE(press.pressed_) << press.yes_.toStdString() << " / " << press.no_.toStdString();
        ASSERT_FALSE(press.unanswered_) << "the key went nowhere";
        EXPECT_EQ(dialog.isVisible(), answer == QMessageBox::No);

        QString yes = press.yes_, no = press.no_;
        const int yesKey = QKeySequence::mnemonic(yes)[0].key();
        const int noKey = QKeySequence::mnemonic(no)[0].key();
        EXPECT_NE(yesKey, noKey);
        EXPECT_TRUE(yes.remove(u'&').startsWith(ToQString(texts.at(u"GENERAL_YES")))) << yes.toStdString();
        EXPECT_TRUE(no.remove(u'&').startsWith(ToQString(texts.at(u"GENERAL_NO")))) << no.toStdString();
        if (const auto it = known.find(language); it != known.end()) {
          EXPECT_EQ(yesKey, it->second.first);
          EXPECT_EQ(noKey, it->second.second);
        }
      }
      EXPECT_EQ(dialog.result(), QDialog::Rejected);
      dialog_.reset();
      manager::WaitForDetachedWorkers();
    }
  }
  EXPECT_EQ(languages, static_cast<int>(shipped.Sections().size()));
}

TEST_F(DialogTest, ClosingWhenAllFinishedAsksNothing) {
  CDownloadFileDialog& dialog = Open("/bytes/1000", File("a.bin"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.CloseButton()->text() == "Close"; }, 30000));
  EXPECT_TRUE(dialog.isVisible());  // "Close when finished" is not checked

  Answerer any(QMessageBox::No);
  dialog.CloseButton()->click();
  EXPECT_EQ(any.asked_, 0);
  EXPECT_FALSE(dialog.isVisible());
}

// Rows handed over join the rule: the dialog ends with the last of them when
// the box is checked, and only relabels its Close button otherwise.
TEST_F(DialogTest, CloseWhenFinishedWaitsForHandedOverRows) {
  for (const bool checked : {true, false}) {
    SCOPED_TRACE(checked ? "checked" : "unchecked");
    CDownloadFileDialog& dialog = Open("/bytes/2000", File("first.bin"), checked);
    Send(Url("/bytes/300000"), File("second.bin"));
    Send(Url("/bytes/600000"), File("third.bin"));
    // Many rows finishing at once: the dialog must not end on a worker's flag
    // while another row still waits to show its last word.
    for (int i = 0; i < 12; ++i) Send(Url("/bytes/3000"), File("small" + std::to_string(i) + ".bin"));
    ASSERT_EQ(dialog.RowCount(), 15);

    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.CloseButton()->text() == "Close"; }, 30000));
    EXPECT_TRUE(AllFinished());
    for (int i = 0; i < dialog.RowCount(); ++i) {
      EXPECT_TRUE(dialog.Row(i)->StatusText().startsWith("Download completed: ")) << i;
      EXPECT_FALSE(dialog.Row(i)->CancelShown()) << i;
    }
    EXPECT_EQ(dialog.isVisible(), !checked);
    if (checked) {
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_EQ(fs::file_size(work_.File("third.bin")), 600000u);

    if (!checked) {
      // A running row added later keeps the label.
      Send(Url("/hold"), File("fourth.bin"));
      QTest::qWait(50);
      EXPECT_EQ(dialog.CloseButton()->text(), "Close");
    }
    dialog_.reset();
    manager::WaitForDetachedWorkers();
  }
}

// A conversion replaces an existing file only when its user agreed to that,
// for the first download as for handed-over ones (flags record before the
// commit, never carried over to the next download).
TEST_F(DialogTest, ConversionsReplaceOnlyWhereTheUserAgreed) {
  testsupport::UseScriptConverter(work_.File("programs"), "printf new > \"$last\"");
  for (const char* name : {"first.mp3", "agreed.mp3", "unasked.mp3"}) {
    testsupport::WriteFileBytes(work_.File(name), "old");
  }
  const auto temp = [this](const char* name) {
    testsupport::WriteFileBytes(work_.File(name), "");
    return File(name);
  };
  dialog_ = std::make_unique<CDownloadFileDialog>(Url("/bytes/1000"), temp("vx_1.flv"), File("first.mp3"), u"-vn", 0,
                                                  u"", false, u"", true);
  dialog_->show();
  CDownloadFileDialog& dialog = *dialog_;
  dialog.OnCopyData(0, Utf16(Url("/bytes/1000")));
  dialog.OnCopyData(1, Utf16(File("agreed.mp3")));
  dialog.OnCopyData(2, Utf16(u"-vn"));
  dialog.OnCopyData(5, Utf16(temp("vx_2.flv")));
  dialog.OnCopyData(8, QByteArray("\x01\x00\x00\x00", 4));
  dialog.OnCopyData(6, QByteArray());
  dialog.OnCopyData(1, Utf16(File("unasked.mp3")));
  dialog.OnCopyData(5, Utf16(temp("vx_3.flv")));
  dialog.OnCopyData(6, QByteArray());
  ASSERT_EQ(dialog.RowCount(), 3);
  ASSERT_TRUE(QTest::qWaitFor([&] { return AllFinished(); }, 30000));
  EXPECT_EQ(testsupport::ReadFileBytes(work_.File("first.mp3")), "new");
  EXPECT_EQ(testsupport::ReadFileBytes(work_.File("agreed.mp3")), "new");
  EXPECT_EQ(testsupport::ReadFileBytes(work_.File("unasked.mp3")), "old");
  EXPECT_EQ(testsupport::ReadFileBytes(work_.File("unasked (2).mp3")), "new");
  EXPECT_TRUE(dialog.Row(2)->StatusText().endsWith("unasked (2).mp3")) << dialog.Row(2)->StatusText().toStdString();
}

// A failure must be seen: "Close when finished" closes the window only when
// no row failed; then the Close button closes it without a question.
TEST_F(DialogTest, CloseWhenFinishedKeepsAFailureInSight) {
  CDownloadFileDialog& dialog = Open("/bytes/2000", File("good.bin"), true);
  Send(Url("/missing"), File("missing.bin"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.CloseButton()->text() == "Close"; }, 30000));
  QTest::qWait(100);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(dialog.Row(0)->Failed());
  EXPECT_TRUE(dialog.Row(1)->Failed());

  Answerer any(QMessageBox::No);
  dialog.CloseButton()->click();
  EXPECT_EQ(any.asked_, 0);
  EXPECT_FALSE(dialog.isVisible());
}

// A cancelled row is the user's own doing, no failure: the window still
// closes by itself once the others are done.
TEST_F(DialogTest, CloseWhenFinishedIsNotHeldByACancelledRow) {
  CDownloadFileDialog& dialog = Open("/hold", File("held.bin"), true);
  Send(Url("/bytes/2000"), File("good.bin"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(1)->IsFinished(); }, 30000));
  dialog.Row(0)->findChild<QPushButton*>("Cancel")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 30000));
  EXPECT_FALSE(dialog.Row(0)->Failed());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

// Every text of the window in the user's language, also where the data
// folder's dictionary is older than these texts.
TEST_F(DialogTest, SpeaksTheUsersLanguage) {
  struct Case {
    const char* name;
    bool olderFile;  // the installed dictionary lacks the newer keys
  };
  for (const Case& c : {Case{"current file", false}, Case{"older file", true}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(testsupport::InstallShippedTexts(u"de"));
    if (c.olderFile) {
      settings::IniFile file(settings::Settings::GetDataPath(u"dictionary.ini"), false);
      ASSERT_TRUE(file.Read());
      settings::SectionMap german = file.GetSection(u"de");
      for (const char16_t* key : {u"MANAGER_CLOSE_WHEN_FINISHED", u"MANAGER_MINIMIZE", u"MANAGER_CLOSE",
                                  u"MANAGER_DOWNLOAD_COMPLETED", u"MANAGER_EXIT_QUESTION"}) {
        german.erase(key);
      }
      file.SetSection(u"de", german);
      ASSERT_TRUE(file.Write());
      localisation::Dictionary::GetInstance()->SetLanguage(u"de");
    }
    CDownloadFileDialog& dialog = Open("/bytes/2000", File("a.bin"));
    Send(Url("/hold"), File("held.bin"));
    EXPECT_EQ(dialog.findChild<QPushButton*>("minimizeButton")->text(), "Minimieren");
    EXPECT_EQ(dialog.CloseWhenFinished()->text(), QString::fromUtf8("Schließen, wenn fertig"));
    EXPECT_EQ(dialog.CloseButton()->text(), "Abbrechen");
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(0)->IsFinished(); }, 30000));
    EXPECT_TRUE(dialog.Row(0)->StatusText().startsWith("Download abgeschlossen: ")) << dialog.Row(0)->StatusText().toStdString();
    {
      QStringList buttons;
      QTimer look;
      QString text;
      QObject::connect(&look, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          auto* box = qobject_cast<QMessageBox*>(widget);
          if (!box || !box->isVisible()) continue;
          text = box->text();
          for (QAbstractButton* button : box->buttons()) buttons << button->text();
          box->button(QMessageBox::No)->click();
        }
      });
      look.start(10);
      dialog.CloseButton()->click();
      EXPECT_EQ(text, QString::fromUtf8("Es laufen noch Downloads. Möchten Sie wirklich beenden?"));
      buttons.sort();
      EXPECT_EQ(buttons, QStringList({"&Ja", "&Nein"}));
    }
    dialog.Row(1)->findChild<QPushButton*>("Cancel")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.CloseButton()->text() == QString::fromUtf8("Schließen"); }, 30000));
    dialog_.reset();
    manager::WaitForDetachedWorkers();
  }
}

TEST_F(DialogTest, CommitWithoutValueRecordsRepeatsTheFirstDownloadWithoutItsTemporaryFile) {
  const std::u16string target = File("clip.mp3");
  CDownloadFileDialog& dialog = Open("/hold", target, false, File("vx_1.flv"));
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  dialog.OnCopyData(6, QByteArray());
  // The commit brings the dialog forward.
  EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));

  ASSERT_EQ(dialog.RowCount(), 2);
  CDownloadItem* row = dialog.Row(1);
  EXPECT_EQ(row->TempPath(), u"");
  EXPECT_EQ(row->property("id").toInt(), 11001);
  EXPECT_EQ(row->geometry(), QRect(5, 80, 395, 70));
  EXPECT_EQ(row->StopEventName(), u"stopevent1");
  ASSERT_TRUE(QTest::qWaitFor([&] { return row->StatusText() == ToQString(u"Downloading: " + target); }, 5000));
}

// Each sender assembles a download of its own from the dialog's first
// pending values; records of one never reach another's, also when they
// interleave, and a sender's values go when it ends.
TEST_F(DialogTest, RecordsOfDifferentSendersNeverMix) {
  const std::u16string firstTarget = File("first.bin");
  CDownloadFileDialog& dialog = Open("/hold", firstTarget, false, File("vx_1.flv"));
  const std::u16string b = File("b.bin");
  const std::u16string c = File("c.bin");
  dialog.OnCopyData(1, 0, Utf16(Url("/bytes/1000")));
  dialog.OnCopyData(2, 0, Utf16(Url("/bytes/2000")));
  dialog.OnCopyData(1, 1, Utf16(b));
  dialog.OnCopyData(2, 1, Utf16(c));
  dialog.OnCopyData(2, 6, QByteArray());
  dialog.OnCopyData(1, 6, QByteArray());
  dialog.OnCopyData(3, 6, QByteArray());  // a sender with no values: the first download's, no temporary file
  ASSERT_EQ(dialog.RowCount(), 4);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(1)->IsFinished() && dialog.Row(2)->IsFinished(); }, 30000));
  EXPECT_EQ(fs::file_size(platform::ToUtf8(c)), 2000u);
  EXPECT_EQ(fs::file_size(platform::ToUtf8(b)), 1000u);
  EXPECT_EQ(dialog.Row(3)->TempPath(), u"");
  // It goes where the first one goes (and then fails: that file is in use).
  const auto startedOnFirst = [&](int index) {
    const std::vector<QString>& shown = dialog.Row(index)->AppliedStatusTexts();
    return std::find(shown.begin(), shown.end(), ToQString(u"Downloading: " + firstTarget)) != shown.end();
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return startedOnFirst(3); }, 5000));

  // A sender that ended starts again from the first values, and another
  // sender's values are still its own.
  dialog.OnSenderGone(1);
  dialog.OnCopyData(2, 6, QByteArray());
  dialog.OnCopyData(1, 6, QByteArray());
  ASSERT_EQ(dialog.RowCount(), 6);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Row(4)->IsFinished(); }, 30000));
  // Into c.bin again, which the first of them made meanwhile and nobody
  // agreed to replace: beside it.
  EXPECT_EQ(dialog.Row(4)->StatusText(), ToQString(u"Download completed: " + File("c (2).bin")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return startedOnFirst(5); }, 5000));
}

// Records the sender never makes: unknown kinds change nothing, a short size
// record is ignored, an odd last byte is dropped, a negative size is
// unknown; no byte string crashes the dialog.
TEST_F(DialogTest, OddRecordsAreHandledSafely) {
  CDownloadFileDialog& dialog = Open("/hold", File("first.bin"));
  QRandomGenerator random(8);
  for (int i = 0; i < 2000; ++i) {
    std::uint32_t kind = random.bounded(12u);
    if (kind == 6) kind = 8 + random.bounded(1000u);
    QByteArray bytes(static_cast<qsizetype>(random.bounded(40u)), '\0');
    for (char& byte : bytes) byte = static_cast<char>(random.bounded(256u));
    dialog.OnCopyData(kind, bytes);
  }

  const std::u16string target = File("second.bin");
  dialog.OnCopyData(0, Utf16(Url("/bytes/800")) + QByteArray(1, 'x'));  // odd count: 'x' dropped
  dialog.OnCopyData(1, Utf16(target));
  dialog.OnCopyData(2, QByteArray());
  dialog.OnCopyData(4, QByteArray());
  dialog.OnCopyData(5, QByteArray());
  dialog.OnCopyData(7, QByteArray());
  dialog.OnCopyData(3, SizeRecord(-5));
  dialog.OnCopyData(3, QByteArray("\x10\x27\x00", 3));  // 3 bytes: ignored
  dialog.OnCopyData(8, Utf16(Url("/missing")));
  dialog.OnCopyData(9, QByteArray());
  dialog.OnCopyData(0xFFFFFFFFu, Utf16(u"x"));
  dialog.OnCopyData(6, QByteArray());

  ASSERT_EQ(dialog.RowCount(), 2);
  CDownloadItem* row = dialog.Row(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return row->IsFinished(); }, 30000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return row->StatusText() == ToQString(u"Download completed: " + target); }, 5000));
  // -5 is unknown, so the response's length is the total.
  EXPECT_EQ(row->DetailText(), "800 of 800 bytes");
  EXPECT_EQ(fs::file_size(platform::ToUtf8(target)), 800u);
}

TEST_F(DialogTest, FourthRowScrollsAndLaterRowsLineUp) {
  CDownloadFileDialog& dialog = Open("/hold", File("0.bin"));
  for (int i = 1; i <= 3; ++i) Send(Url("/hold"), File(std::to_string(i) + ".bin"));
  manager::CScrollWindow* host = dialog.Host();
  ASSERT_EQ(dialog.RowCount(), 4);
  EXPECT_EQ(host->TotalSize(), QSize(400, 280));
  EXPECT_EQ(host->PageSize(), QSize(400, 210));
  EXPECT_TRUE(host->VerticalBarShown());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(dialog.Row(i)->geometry(), QRect(5, 10 + 70 * i, 395, 70)) << i;
    EXPECT_EQ(dialog.Row(i)->property("id").toInt(), i == 0 ? 1600 : 11000 + i) << i;
  }

  ASSERT_TRUE(host->ScrollByCode(manager::kNoRequest | (manager::SB_BOTTOM << 8), true));
  const int p = host->GetScrollPosition().y();
  EXPECT_EQ(p, 280 - host->Viewport()->height());
  EXPECT_EQ(dialog.Row(3)->y(), 220 - p);

  Send(Url("/hold"), File("4.bin"));
  ASSERT_EQ(dialog.RowCount(), 5);
  EXPECT_EQ(dialog.Row(4)->y(), 10 + 70 * 4 - p);
  EXPECT_EQ(dialog.Row(4)->y(), dialog.Row(3)->y() + 70);
  EXPECT_EQ(host->TotalSize(), QSize(400, 350));
  // Scrolling back brings every row to its content position.
  host->ScrollByCode(manager::kNoRequest | (manager::SB_TOP << 8), true);
  EXPECT_EQ(dialog.Row(4)->y(), 290);
}

// The dialog never deletes a row whose worker runs: finished rows go with it
// (and their temporary files), a transfer stops and a conversion runs on in
// the background until WaitForDetachedWorkers releases them.
// When the dialog ends, every row's worker stops within seconds and the
// dialog waits for its last word: a running transfer pauses and stays for
// the next start (its files and a journal entry), a running conversion stops
// with its download kept beside the target, other rows' temporary files go.
TEST_F(DialogTest, EndingPausesTransfersStopsConversionsAndClearsTheRest) {
  testsupport::UseScriptConverter(work_.File("programs"),
                                  "case \"$last\" in *slow*) sleep 30;; esac; printf done > \"$last\"");
  const std::string temps[] = {work_.File("vx_a.flv"), work_.File("vx_b.flv"), work_.File("vx_c.flv"),
                               work_.File("vx_d.flv")};
  for (const std::string& temp : temps) testsupport::WriteFileBytes(temp, "");

  CDownloadFileDialog& dialog = Open("/bytes/1000", File("a.mp3"), false, platform::FromUtf8(temps[0]));
  Send(Url("/bytes/1000"), File("b.mp3"), platform::FromUtf8(temps[1]), u"-vn");
  Send(Url("/bytes/1000"), File("slow.mp3"), platform::FromUtf8(temps[2]), u"-vn");
  Send(Url("/hold"), File("d.mp3"), platform::FromUtf8(temps[3]), u"-vn");
  ASSERT_TRUE(QTest::qWaitFor([&] {
    return dialog.Row(0)->IsFinished() && dialog.Row(1)->IsFinished() &&
           dialog.Row(2)->StatusText().startsWith("Converting: ") && fs::exists(temps[3] + ".vxpart");
  }, 30000));

  const auto start = std::chrono::steady_clock::now();
  dialog_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(fs::exists(temps[0]));
  EXPECT_FALSE(fs::exists(temps[1]));
  EXPECT_FALSE(fs::exists(temps[2]));
  EXPECT_FALSE(fs::exists(work_.File("slow.mp3")));
  EXPECT_EQ(fs::file_size(work_.File("slow.flv")), 1000u);
  EXPECT_EQ(testsupport::ReadFileBytes(work_.File("a.mp3")), "done");
  EXPECT_TRUE(fs::exists(temps[3]));
  EXPECT_TRUE(fs::exists(temps[3] + ".vxpart"));

  // Its journal now belongs to nobody: the next start takes the held one
  // over, and only that one.
  manager::DownloadJournal next;
  ASSERT_TRUE(next.Open());
  const std::vector<manager::JournalEntry> entries = next.AdoptOrphans();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].download.targetPath, File("d.mp3"));
  EXPECT_EQ(entries[0].download.tempPath, platform::FromUtf8(temps[3]));
  EXPECT_EQ(entries[0].download.conversionArgs, u"-vn");

  // Nothing left to wait for.
  const auto again = std::chrono::steady_clock::now();
  manager::WaitForDetachedWorkers();
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(100));
}

// A row whose thread cannot be created counts as running.
TEST_F(DialogTest, RowWithoutThreadCountsAsRunning) {
  const auto refuse = [](transfer::DownloadThreadParams* params) {
    delete params;
    return false;
  };
  CDownloadItem::SetWorkerStarter(refuse);
  CDownloadFileDialog& dialog = Open("/bytes/10", File("a.bin"));
  CDownloadItem::SetWorkerStarter(nullptr);
  EXPECT_EQ(dialog.Row(0)->StatusText(), ToQString(u"File: " + File("a.bin")));

  Answerer yes(QMessageBox::Yes);
  dialog.CloseButton()->click();
  EXPECT_EQ(yes.asked_, 1);
  EXPECT_FALSE(dialog.isVisible());
}

}  // namespace

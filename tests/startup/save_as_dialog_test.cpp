// The program's real Save-As dialog (Qt's own file dialog, offscreen), driven
// as a user drives it: a name typed, a format picked, Save pressed, and the
// question about replacing a file answered.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QTest>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include "platform/Text.h"
#include "startup/FileSaveAsDialog.h"
#include "startup/LaunchSequence.h"
#include "support/TempFolder.h"

namespace {

using platform::FromUtf8;

QFileDialog* VisibleFileDialog() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QFileDialog*>(widget);
    if (dialog && dialog->isVisible()) return dialog;
  }
  return nullptr;
}

QMessageBox* VisibleQuestion() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box && box->isVisible()) return box;
  }
  return nullptr;
}

// What the user does, one step per window that comes up: a file dialog step
// types a name, maybe picks a filter and presses Save or Cancel; a question
// step presses Yes or No. It remembers every question it saw.
class User {
 public:
  struct Step {
    bool question = false;
    std::string name;         // typed into the file dialog
    int filter = 0;           // 1-based filter to pick; 0 leaves it
    bool save = true;         // Save, else Cancel
    bool yes = false;         // the answer to a question
    int key = 0;              // the answer typed: this letter key, else a click
  };

  explicit User(std::deque<Step> steps) : steps_(std::move(steps)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Act(); });
    timer_.start(20);
  }

  std::vector<QString> questions;
  std::vector<QString> buttons;
  bool outOfSteps = false;
  bool unanswered = false;  // a letter key that answered nothing

 private:
  void Act() {
    if (steps_.empty()) {
      // Nothing more was planned: whatever is asked now is a surprise.
      if (QMessageBox* box = VisibleQuestion()) {
        outOfSteps = true;
        box->button(QMessageBox::No)->click();
      } else if (QFileDialog* dialog = VisibleFileDialog()) {
        outOfSteps = true;
        dialog->reject();
      }
      return;
    }
    const Step step = steps_.front();
    if (step.question) {
      QMessageBox* box = VisibleQuestion();
      if (step.key != 0 && keySent_) {
        // A key's click comes a moment later: the step is done once the
        // question has gone.
        if (!box) {
          keySent_ = false;
          steps_.pop_front();
        } else if (std::chrono::steady_clock::now() - keySentAt_ > std::chrono::seconds(3)) {
          // The key answered nothing: say so, rather than wait for ever.
          unanswered = true;
          box->button(QMessageBox::No)->click();
        }
        return;
      }
      if (!box) return;
      if (step.key == 0) steps_.pop_front();
      questions.push_back(box->text());
      for (QAbstractButton* button : box->buttons()) buttons.push_back(button->text());
      if (step.key != 0) {
        keySent_ = true;
        keySentAt_ = std::chrono::steady_clock::now();
        // Where a user's key goes: the focused button, which passes letters
        // on to the box.
        QWidget* target = box->focusWidget() ? box->focusWidget() : box;
        QTest::sendKeyEvent(QTest::Click, target, static_cast<Qt::Key>(step.key), QString(QChar(step.key)).toLower(),
                            Qt::NoModifier);
        return;
      }
      box->button(step.yes ? QMessageBox::Yes : QMessageBox::No)->click();
      return;
    }
    QFileDialog* dialog = VisibleFileDialog();
    if (!dialog || VisibleQuestion()) return;
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    // A user clicks into the name field before typing. The dialog's
    // selection in its file list follows the typed name only while the
    // field has the focus: without it, a name shown before (after a No)
    // would stay selected and be what Save takes.
    if (!name->hasFocus()) {
      dialog->activateWindow();
      name->setFocus(Qt::MouseFocusReason);
      return;
    }
    steps_.pop_front();
    if (step.filter > 0) {
      auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
      ASSERT_NE(combo, nullptr);
      combo->setCurrentIndex(step.filter - 1);
      // As a click on the list does.
      emit combo->activated(step.filter - 1);
      emit combo->textActivated(combo->currentText());
    }
    name->setText(QString::fromStdString(step.name));
    if (!step.save) {
      dialog->reject();
      return;
    }
    auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(box, nullptr);
    box->button(QDialogButtonBox::Save)->click();
  }

  std::deque<Step> steps_;
  bool keySent_ = false;
  std::chrono::steady_clock::time_point keySentAt_;
  QTimer timer_;
};

User::Step Type(const std::string& name, int filter = 0) { return {false, name, filter, true, false}; }
User::Step CancelDialog() { return {false, "", 0, false, false}; }
User::Step Answer(bool yes) { return {true, "", 0, true, yes}; }
User::Step Press(int key) { return {true, "", 0, true, false, key}; }

// The offer of a video/x-flv download: mp3, wav, asf, avi, flv (the file's
// own), mp4, mov; a conversion writes the chosen name with its extension.
class SaveAsDialogTest : public ::testing::Test {
 protected:
  SaveAsDialogTest() {
    const char* extensions[] = {"mp3", "wav", "asf", "avi", "flv", "mp4", "mov"};
    for (const char* extension : extensions) {
      const std::u16string ext = FromUtf8(extension);
      options_.filters.push_back({u"Format " + ext + u" (*." + ext + u")", u"." + ext});
    }
    options_.title = u"Save file as";
    options_.fileName = u"sample";
    options_.folder = folder_.File16("");
    options_.filterIndex = 1;  // mp3
    options_.defaultExtension = u"mp3";
    options_.targetFor = [](const std::u16string& chosen, std::int32_t k) {
      return k == 5 ? chosen : startup::ConversionTargetPath(chosen, FromUtf8(extensionsOf(k)));
    };
  }
  static std::string extensionsOf(std::int32_t k) {
    const char* extensions[] = {"mp3", "wav", "asf", "avi", "flv", "mp4", "mov"};
    return extensions[k - 1];
  }

  bool Show(User& user) {
    (void)user;
    return startup::FileSaveAsDialog().Show(options_, answer_);
  }
  std::u16string In(const std::string& name) const { return folder_.File16(name); }

  testsupport::TempFolder folder_;
  startup::SaveAsOptions options_;
  startup::SaveAsAnswer answer_;
};

TEST_F(SaveAsDialogTest, TypedNameGetsTheExtensionOfTheSelectedFormat) {
  struct Case {
    const char* name;
    int filter;  // picked by the user; 0 leaves the preselected mp3
    const char* chosen;
    std::int32_t index;
  };
  const Case cases[] = {{"preselected", 0, "sample.mp3", 1},
                        {"another format picked", 2, "sample.wav", 2},
                        {"the file's own format picked", 5, "sample.flv", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    User user({Type("sample", c.filter)});
    ASSERT_TRUE(Show(user));
    EXPECT_EQ(answer_.path, In(c.chosen));
    EXPECT_EQ(answer_.filterIndex, c.index);
    EXPECT_FALSE(answer_.replaceAgreed);
    EXPECT_TRUE(user.questions.empty());
    EXPECT_FALSE(user.outOfSteps);
  }
}

// The question names the file a conversion will write, and only when that
// one exists; a file of the typed name alone is nothing to ask about.
TEST_F(SaveAsDialogTest, AsksAboutTheFileThatWillBeWritten) {
  testsupport::WriteFileBytes(folder_.File("sample.flv"), "the user's video");
  {
    User user({Type("sample.flv")});  // MP3 selected: sample.mp3 will be written
    ASSERT_TRUE(Show(user));
    EXPECT_TRUE(user.questions.empty());
    EXPECT_EQ(options_.targetFor(answer_.path, answer_.filterIndex), In("sample.mp3"));
    EXPECT_FALSE(answer_.replaceAgreed);
  }
  testsupport::WriteFileBytes(folder_.File("sample.mp3"), "the user's song");
  {
    User user({Type("sample"), Answer(true)});
    ASSERT_TRUE(Show(user));
    ASSERT_EQ(user.questions.size(), 1u);
    EXPECT_EQ(user.questions[0], "sample.mp3 already exists. Do you want to replace it?");
    EXPECT_TRUE(answer_.replaceAgreed);
    EXPECT_FALSE(user.outOfSteps);
  }
}

// "No" goes back to the dialog; the user then picks another name, or gives up.
TEST_F(SaveAsDialogTest, NoReturnsToTheDialog) {
  testsupport::WriteFileBytes(folder_.File("sample.mp3"), "the user's song");
  {
    User user({Type("sample"), Answer(false), Type("sample 2")});
    ASSERT_TRUE(Show(user));
    EXPECT_EQ(user.questions.size(), 1u);
    EXPECT_EQ(answer_.path, In("sample 2.mp3"));
    EXPECT_FALSE(answer_.replaceAgreed);
    EXPECT_FALSE(user.outOfSteps);
  }
  {
    User user({Type("sample"), Answer(false), CancelDialog()});
    EXPECT_FALSE(Show(user));
    EXPECT_EQ(user.questions.size(), 1u);
    EXPECT_FALSE(user.outOfSteps);
  }
  EXPECT_EQ(testsupport::ReadFileBytes(folder_.File("sample.mp3")), "the user's song");
}

TEST_F(SaveAsDialogTest, QuestionSpeaksTheGivenLanguage) {
  testsupport::WriteFileBytes(folder_.File("sample.mp3"), "");
  options_.replaceQuestion = u"existiert bereits. Möchten Sie die Datei ersetzen?";
  options_.yes = u"Ja";
  options_.no = u"Nein";
  User user({Type("sample"), Answer(true)});
  ASSERT_TRUE(Show(user));
  ASSERT_EQ(user.questions.size(), 1u);
  EXPECT_EQ(user.questions[0], QString::fromUtf8("sample.mp3 existiert bereits. Möchten Sie die Datei ersetzen?"));
  EXPECT_NE(std::find(user.buttons.begin(), user.buttons.end(), "&Ja"), user.buttons.end());
  EXPECT_NE(std::find(user.buttons.begin(), user.buttons.end(), "&Nein"), user.buttons.end());
}

// A keyboard user answers with the letter keys: No goes back to the dialog,
// Yes replaces; in the language of the texts.
TEST_F(SaveAsDialogTest, QuestionAnswersItsLetterKeys) {
  testsupport::WriteFileBytes(folder_.File("sample.mp3"), "");
  for (const bool german : {false, true}) {
    SCOPED_TRACE(german ? "de" : "en");
    if (german) {
      options_.yes = u"Ja";
      options_.no = u"Nein";
    }
    User user({Type("sample"), Press(Qt::Key_N), Type("sample"), Press(german ? Qt::Key_J : Qt::Key_Y)});
    ASSERT_TRUE(Show(user));
    EXPECT_FALSE(user.unanswered) << "a letter key answered nothing";
    EXPECT_EQ(user.questions.size(), 2u);
    EXPECT_EQ(answer_.path, In("sample.mp3"));
    EXPECT_TRUE(answer_.replaceAgreed);
    EXPECT_FALSE(user.outOfSteps);
  }
}

}  // namespace

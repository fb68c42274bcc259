#include "manager/AnswerKeys.h"

#include <QChar>
#include <QKeySequence>

namespace manager {

namespace {

// A letter the keyboards of its language type without an input method, so
// that the letter key itself can answer.
bool TypedAsItIs(QChar c) {
  if (c.unicode() >= u'0' && c.unicode() <= u'9') return true;
  if (!c.isLetter()) return false;
  switch (c.script()) {
    case QChar::Script_Latin:
    case QChar::Script_Greek:
    case QChar::Script_Cyrillic:
    case QChar::Script_Armenian:
    case QChar::Script_Georgian:
    case QChar::Script_Hebrew:
    case QChar::Script_Arabic:
      return true;
    default:
      return false;
  }
}

// The key of text's accelerator, or 0.
int AcceleratorKey(const QString& text) {
  const QKeySequence mnemonic = QKeySequence::mnemonic(text);
  return mnemonic.isEmpty() ? 0 : static_cast<int>(mnemonic[0].key());
}

}  // namespace

std::pair<QString, QString> WithAnswerAccelerators(const QString& yes, const QString& no) {
  QString texts[2] = {yes, no};
  int keys[2] = {AcceleratorKey(yes), AcceleratorKey(no)};
  const char16_t conventional[2] = {u'Y', u'N'};
  for (int i = 0; i < 2; ++i) {
    if (keys[i] != 0) continue;
    const int taken = keys[1 - i];
    QString& text = texts[i];
    for (qsizetype at = 0; at < text.size(); ++at) {
      const QChar c = text.at(at);
      if (c == u'&') {
        ++at;  // "&&" is a literal '&', never followed by the accelerator
        continue;
      }
      if (!TypedAsItIs(c) || static_cast<int>(c.toUpper().unicode()) == taken) continue;
      text.insert(at, u'&');
      keys[i] = static_cast<int>(c.toUpper().unicode());
      break;
    }
    if (keys[i] != 0) continue;
    char16_t letter = conventional[i];
    for (char16_t next = u'A'; letter == taken; ++next) letter = next;
    text += QStringLiteral("(&") + QChar(letter) + u')';
    keys[i] = letter;
  }
  return {texts[0], texts[1]};
}

}  // namespace manager

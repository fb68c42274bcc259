// Accelerators for the two answers of a question box, whose texts come from
// the dictionary without them.
#pragma once

#include <QString>

#include <utility>

namespace manager {

// A question's Yes and No texts, each with an accelerator (a letter
// marked by '&'), as the system's own question boxes have them ("&Yes",
// "&No"): the dictionary's texts carry none, being shared with the add-on.
// A text that marks one already keeps it. Otherwise its first letter that a
// keyboard of its language types as it is (Latin, Greek, Cyrillic and the
// like) and that is not the other's accelerator is marked; a text without
// one (Japanese, Chinese: their letters come through an input method) gets
// "(&Y)" or "(&N)" appended, as those languages' systems write it. The two
// accelerators differ unless both texts came with the same one.
std::pair<QString, QString> WithAnswerAccelerators(const QString& yes, const QString& no);

}  // namespace manager

// The program's Save-As question: a QFileDialog in save mode. Qt is used only
// here and in the other window code of the program.
#pragma once

#include "startup/LaunchSequence.h"

namespace startup {

// One name filter per filter pair (the pair's display text, whose "(*.ext)"
// Qt reads as the pattern), the preselected one selected, the initial name,
// the initial folder (the user's download folder when the request names none
// or a missing one), the title, and as default suffix the extension of the
// filter selected at any moment. Before it accepts, it asks about replacing
// the file that will actually be written (options.targetFor), not the one
// typed; "No" shows the dialog again as the user left it.
class FileSaveAsDialog : public SaveAsDialog {
 public:
  bool Show(const SaveAsOptions& options, SaveAsAnswer& answer) override;
};

}  // namespace startup

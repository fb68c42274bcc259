// The manager dialog as the launch sequence runs it (see ManagerRunner).
#pragma once

#include "startup/LaunchSequence.h"

namespace startup {

class ManagerDialogRunner : public ManagerRunner {
 public:
  // Constructs manager::CDownloadFileDialog with first and runs it with
  // exec(). The inbox is attached from inside the dialog's event loop, so
  // records kept before the dialog existed reach a dialog that has finished
  // its start-up, in the order they came. When the dialog ends, the link
  // stops listening at once (inside finished()), before the dialog is
  // destroyed.
  void Run(const ManagedDownload& first, InstanceLink& link) override;
};

}  // namespace startup

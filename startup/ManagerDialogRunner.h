// The manager dialog as the launch sequence runs it (see ManagerRunner).
#pragma once

#include "startup/LaunchSequence.h"

namespace startup {

class ManagerDialogRunner : public ManagerRunner {
 public:
  // Constructs manager::CDownloadFileDialog with first and runs it with
  // exec(). The inbox is attached right after the construction, before the
  // event loop runs: records kept before the dialog existed are rows (in the
  // order they came) before any row's end can close the dialog. When the
  // dialog ends, the link stops listening at once (inside finished()), before
  // the dialog is destroyed.
  void Run(const ManagedDownload& first, InstanceLink& link) override;
  std::vector<std::u16string> FilesInUse() override;
  bool HasUnfinished() override;
};

}  // namespace startup

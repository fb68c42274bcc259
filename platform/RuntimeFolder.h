// The folder where the processes of one user meet: the instance marker, the
// hand-off socket and the files of the named locks live there and nowhere
// else. A name in a shared namespace (/dev/shm, /tmp) can be taken first by
// another local user, who could then block, take or impersonate them; a folder
// that only we own and only we may enter cannot.
//
// The places tried, in this order; the first that is ours is used:
//   1. $XDG_RUNTIME_DIR/Vexaro/ when XDG_RUNTIME_DIR is set and is ours;
//   2. /run/user/<uid>/Vexaro/, the runtime folder the system makes for the
//      user, when it exists and is ours (so a start whose XDG_RUNTIME_DIR is
//      foreign, as after su, or unset meets a start of the desktop session,
//      whose XDG_RUNTIME_DIR is that folder);
//   3. <home>/.cache/Vexaro/runtime-<host>/, home being $HOME or, when that is
//      not ours, the home of the password database (the host name keeps
//      machines that share a home apart: sockets and locks are per machine);
//   4. $TMPDIR/vexaro-<uid>/ ($TMPDIR or /tmp), as platform::PrivateTempDir;
//   5. a folder of this process's own below the temporary folder, made once
//      per process: then the start works alone (no hand-off, no shared locks)
//      rather than not at all.
// "Ours" means: a real folder owned by this user with no access for group and
// others, below folders that nobody else may change. Places 1 to 4 depend only
// on the user and the file system, except 1 on the environment: processes of
// one user agree as long as an XDG_RUNTIME_DIR that is theirs is the system's
// /run/user/<uid> (as desktop sessions set it) or is the same for all of them.
//
// Each place found unusable is a problem to report (see
// TakeRuntimeFolderProblems); a place that is merely missing (XDG_RUNTIME_DIR
// unset, no /run/user/<uid>) is not.
//
// Thread-safe. Every call looks again, so a folder removed meanwhile is made
// anew; only the folder of place 5 is kept for the life of the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class RuntimePlace { RuntimeDir, SystemRuntimeDir, Home, Temporary, ProcessOwn };

struct RuntimePlaceProblem {
  RuntimePlace place;
  std::string path;  // the folder that could not be used
  std::uint32_t error;
};

// The folder, absolute, ending in '/'. Empty (LastError set) only when not
// even a folder of this process's own could be made.
std::u16string RuntimeFolder();

// The place RuntimeFolder() would answer now, for tests and reports.
RuntimePlace CurrentRuntimePlace();

// Problems met by RuntimeFolder() that no caller has taken yet. Each distinct
// problem (place, path, error) is handed out once per process. A place-5
// folder is itself a problem (the start cannot meet the others), recorded with
// the error that made place 4 unusable.
std::vector<RuntimePlaceProblem> TakeRuntimeFolderProblems();

// base + "@" + $VEXARO_LOCK_SCOPE when that is set: the name under which an
// object of the runtime folder is kept. Tests set the scope so that parallel
// runs that end in one and the same folder never share an object.
std::string ScopedRuntimeName(const std::string& base);

}  // namespace platform

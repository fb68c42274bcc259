// The program's folders on Linux, following the XDG base-directory rules.
// Each returns an absolute path ending in '/', or an empty string when no
// absolute base can be found (HOME unset or relative), with LastError() set.
#pragma once

#include <string>

namespace platform {

// $XDG_DATA_HOME, else $HOME/.local/share. (Not created here.)
std::u16string DataHome();
// $XDG_CACHE_HOME, else $HOME/.cache. (Not created here.)
std::u16string CacheHome();
// $TMPDIR when absolute, else /tmp.
std::u16string TempDir();

// A folder of this user's own below TempDir(): TempDir() + "vexaro-<uid>/",
// created with mode 0700 when missing. Used only when no cache folder can be
// had: files in a shared /tmp could be raced with symbolic links, a folder
// that only we own cannot. Empty (LastError set) when the name is taken by
// anything but a real folder owned by this user with no access for others.
std::u16string PrivateTempDir();

// Creates path and its missing parents with mode 0700 (like mkdir -p).
// True when the folder exists afterwards.
bool CreateFolderTree(const std::u16string& path);

// Value of an environment variable as UTF-16; empty when unset.
std::u16string GetEnv(const char* name);

}  // namespace platform

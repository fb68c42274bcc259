// A temporary folder for one test, removed with everything in it afterwards,
// and a data home pointed at it.
#pragma once

#include <string>

namespace testsupport {

class TempFolder {
 public:
  TempFolder();   // mkdtemp under $TMPDIR or /tmp
  ~TempFolder();  // rm -r
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Absolute, without a trailing '/'.
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::u16string File16(const std::string& name) const;

 private:
  std::string path_;
};

// Points XDG_DATA_HOME, XDG_CACHE_HOME and XDG_RUNTIME_DIR into a fresh
// temporary folder for the life of the object (and restores them after), so
// Settings, Config and Dictionary use data/Vexaro/, cache/Vexaro/ in it. It
// also sets VEXARO_LOCK_SCOPE, so the named locks, the instance marker and
// the hand-off socket are this test's own even where a test sends the runtime
// folder to a place shared with other runs (helper processes started
// meanwhile inherit all of it), and removes what it left there afterwards.
// Create it before the first Settings::GetInstance of the process: the data
// root is computed once per process. gtest_discover_tests runs every test in
// a process of its own, so each TEST may create one.
class TempDataHome {
 public:
  TempDataHome();
  ~TempDataHome();
  const TempFolder& Root() const { return root_; }
  // <root>/data/Vexaro/<name>
  std::string DataFile(const std::string& name) const;
  std::string CacheFolder() const;  // <root>/cache/Vexaro

 private:
  TempFolder root_;
  std::string oldData_, oldCache_, oldRuntime_, oldScope_;
  bool hadData_, hadCache_, hadRuntime_, hadScope_;
  std::string scope_;
};

// Reads and writes whole files as bytes.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Writes beside path, then renames onto it: another process that waits for
// path to exist (WaitForFile) reads it whole, never half-written.
void PublishFile(const std::string& path, const std::string& bytes);

}  // namespace testsupport

// Helpers shared by the tests: temporary folders and loop-mounted images.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolverdine {

/// The helpers below own a folder, a mount or a variable: never copied.
struct NoCopy {
  NoCopy() = default;
  NoCopy(const NoCopy&) = delete;
  NoCopy& operator=(const NoCopy&) = delete;
};

/// A fresh folder under $TMPDIR, removed with everything in it at scope end.
struct TempDir : NoCopy {
  TempDir();
  ~TempDir();
  std::string path;
};

/// A folder that is a drive of its own (a fresh ext4 image as root, else a folder under /dev/shm,
/// which counts for no copy), so that destinations made with it are counted as separate copies.
/// In memory: a fresh tmpfs instead, quicker, whose copies count only where the test says so.
/// Removed at scope end.
class TempDrive : NoCopy {
 public:
  enum Kind { disk, memory };
  explicit TempDrive(Kind kind = disk);
  ~TempDrive();
  std::string path;

 private:
  TempDir dir_;
  std::string image_;
  bool mounted_ = false;
};

/// A file system image of the given size (MiB) mounted on a fresh folder; unmounted and removed
/// at scope end. ok() is false (with why()) where loop mounts are not allowed.
class LoopMount : NoCopy {
 public:
  LoopMount(int mib, const std::string& fstype = "ext4", const std::string& mountOptions = "");
  ~LoopMount();

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return mnt_; }
  const std::string& image() const { return img_; }
  /// Lazy unmount, as when the drive is pulled.
  void pull();
  /// Mounts the image again (after pull) at the same folder.
  bool remount(const std::string& options = "");

 private:
  TempDir dir_;
  std::string img_, mnt_;
  bool ok_ = false, mounted_ = false;
  std::string why_;
};

/// An environment variable set (nullptr: unset) for the scope and put back at its end; the time
/// zone is read again when the variable is TZ.
class ScopedEnv : NoCopy {
 public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  void set(const char* value);

 private:
  std::string name_;
  std::optional<std::string> old_;
};

/// Runs a shell command, returns its exit status.
int sh(const std::string& cmd);

/// What a shell command wrote on standard output, and its exit status (-1 when it did not exit).
struct ShellOutput {
  std::string out;
  int code = -1;
};
ShellOutput shellOutput(const std::string& cmd);

/// The whole file; a failure of the calling test (naming the file) and empty when it cannot be
/// read.
std::string slurp(const std::string& path);

/// Writes data to path (replacing a file there), making its folders first.
void putFile(const std::string& path, const std::string& data = "x");

/// Whether text holds part anywhere.
inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

/// Writes size bytes of a deterministic pattern seeded by seed.
void writePattern(const std::string& path, size_t size, unsigned seed);

}  // namespace tolverdine

#define SKIP_UNLESS_MOUNTED(m) \
  if (!(m).ok()) GTEST_SKIP() << "loop mount not available: " << (m).why()

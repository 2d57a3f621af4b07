// A zip archive built in memory and put in place whole: written under a temporary name beside
// its target and renamed onto the target only when complete, never replacing a file there.
#pragma once

#include <ctime>
#include <deque>
#include <string>

struct zip;

namespace tolverdine {

class ZipWriter {
 public:
  /// Reserves a fresh temporary name beside target. Throws WriteFail{target, errno}.
  explicit ZipWriter(std::string target);
  /// Unless committed: the archive is dropped and the temporary file removed.
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  /// name ends in "/". Throws WriteFail{target, EIO}.
  void addFolder(const std::string& name, std::time_t mtime);
  /// Throws WriteFail{target, EIO}.
  void addFile(const std::string& name, std::string data, std::time_t mtime);
  /// Writes and renames onto target (EEXIST when taken). Throws WriteFail{target, errno}.
  void commit();

 private:
  std::string target_, tmp_;
  zip* zip_ = nullptr;
  std::deque<std::string> data_;  // the archive reads entries only at commit
  bool done_ = false;
};

}  // namespace tolverdine

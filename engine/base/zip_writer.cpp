#include "engine/base/zip_writer.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <cerrno>
#include <random>

#include "engine/base/records.h"
#include "engine/base/rename.h"
#include "engine/base/text.h"
#include "os/fs.h"

namespace tolverdine {

namespace {
std::atomic<unsigned> counter{0};

int errnoOf(const zip_error_t* e) {
  int sys = zip_error_system_type(e) == ZIP_ET_SYS ? zip_error_code_system(e) : 0;
  return sys != 0 ? sys : EIO;
}
}  // namespace

ZipWriter::ZipWriter(std::string target) : target_(nfc(target)) {
  std::string dir = parentPath(target_);
  if (dir.empty() && !target_.empty() && target_[0] == '/') dir = "/";
  std::string base = lastComponent(target_);
  std::random_device rd;
  for (;;) {
    tmp_ = (dir.empty()  ? ""
            : dir == "/" ? "/"
                         : dir + "/") +
           "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(rd() % 100000);
    // The empty file holds the name; the archive replaces it when written.
    int fd = realFs().open(tmp_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    if (errno != EEXIST) throw WriteFail{target_, errno};
  }
  int err = 0;
  zip_ = zip_open(tmp_.c_str(), ZIP_TRUNCATE, &err);
  if (!zip_) {
    realFs().unlink(tmp_);
    zip_error_t e;
    zip_error_init_with_code(&e, err);
    int code = errnoOf(&e);
    zip_error_fini(&e);
    throw WriteFail{target_, code};
  }
}

ZipWriter::~ZipWriter() {
  if (zip_) zip_discard(zip_);
  if (!done_) realFs().unlink(tmp_);
}

void ZipWriter::addFolder(const std::string& name, std::time_t mtime) {
  zip_int64_t i = zip_dir_add(zip_, name.c_str(), ZIP_FL_ENC_UTF_8);
  if (i < 0) throw WriteFail{target_, EIO};
  zip_file_set_mtime(zip_, static_cast<zip_uint64_t>(i), mtime, 0);
  zip_file_set_external_attributes(zip_, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                   040755u << 16);
}

void ZipWriter::addFile(const std::string& name, std::string data, std::time_t mtime) {
  const std::string& kept = data_.emplace_back(std::move(data));
  zip_source_t* src = zip_source_buffer(zip_, kept.data(), kept.size(), 0);
  if (!src) throw WriteFail{target_, EIO};
  zip_int64_t i = zip_file_add(zip_, name.c_str(), src, ZIP_FL_ENC_UTF_8);
  if (i < 0) {
    zip_source_free(src);
    throw WriteFail{target_, EIO};
  }
  zip_file_set_mtime(zip_, static_cast<zip_uint64_t>(i), mtime, 0);
  zip_file_set_external_attributes(zip_, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                   0100644u << 16);
  // libzip's default is the slowest level, minutes on a large log of little repetition.
  zip_set_file_compression(zip_, static_cast<zip_uint64_t>(i), ZIP_CM_DEFLATE, 6);
}

void ZipWriter::commit() {
  if (zip_close(zip_) != 0)
    throw WriteFail{target_, errnoOf(zip_get_error(zip_))};  // the destructor discards
  zip_ = nullptr;
  data_.clear();
  if (int err = renameNoReplace(tmp_, target_)) throw WriteFail{target_, err};
  done_ = true;
}

}  // namespace tolverdine

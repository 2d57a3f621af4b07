// Implementation of the shared test helpers (compiled into the test binary only).
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "testing/test_util.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"

namespace tolverdine {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tolverdine-test-XXXXXX";
  if (::mkdtemp(tmpl.data())) path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

TempDrive::TempDrive(Kind kind) {
  const bool root = ::geteuid() == 0 && !dir_.path.empty();
  if (root && kind == memory)
    mounted_ = ::mount("tmpfs", dir_.path.c_str(), "tmpfs", 0, "size=2g,mode=0755") == 0;
  // As root, an ext4 image kept in memory (quick to write and flush) mounted as a disk of its own:
  // a memory file system itself holds no copy.
  char image[] = "/dev/shm/tolverdine-drive-XXXXXX";
  if (int fd = root && kind == disk ? ::mkstemp(image) : -1; fd >= 0) {
    ::close(fd);
    image_ = image;
    // No journal: a test's thousands of flushes each cost a journal commit through the loop.
    mounted_ = sh("truncate -s 2G " + image_ + " && mkfs.ext4 -q -F -O ^has_journal " + image_ +
                  " >/dev/null 2>&1 && mount -o loop,noinit_itable " + image_ + " " + dir_.path +
                  " >/dev/null 2>&1") == 0;
  }
  std::string tmpl = "/dev/shm/tolverdine-drive-XXXXXX";
  if (mounted_) path = dir_.path;
  else if (::mkdtemp(tmpl.data())) path = tmpl;
}

TempDrive::~TempDrive() {
  std::error_code ec;
  if (mounted_) ::umount2(dir_.path.c_str(), MNT_DETACH);  // the loop device goes with its mount
  else if (!path.empty()) std::filesystem::remove_all(path, ec);
  if (!image_.empty()) ::unlink(image_.c_str());
}

ShellOutput shellOutput(const std::string& cmd) {
  ShellOutput r;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, p)) r.out.append(buf, n);
  int st = ::pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string slurp(const std::string& path) {
  std::string s;
  EXPECT_TRUE(readFile(path, &s)) << path;
  return s;
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* v = std::getenv(name_.c_str())) old_ = v;
  set(value);
}

ScopedEnv::~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }

void ScopedEnv::set(const char* value) {
  if (value) ::setenv(name_.c_str(), value, 1);
  else ::unsetenv(name_.c_str());
  if (name_ == "TZ") ::tzset();
}

int sh(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

LoopMount::LoopMount(int mib, const std::string& fstype, const std::string& opts)
    : img_(dir_.path + "/disk.img"), mnt_(dir_.path + "/mnt") {
  std::filesystem::create_directory(mnt_);
  std::string mkfs = fstype == "xfs" ? "mkfs.xfs -q -m reflink=1 " : "mkfs." + fstype + " -q ";
  if (::geteuid() != 0) why_ = "not root";
  else if (sh("truncate -s " + std::to_string(mib) + "M " + img_) != 0 ||
           sh(mkfs + img_ + " >/dev/null 2>&1") != 0)
    why_ = "mkfs." + fstype + " failed";
  else if (!remount(opts)) why_ = "mount -o loop refused";
  ok_ = why_.empty();
}

bool LoopMount::remount(const std::string& opts) {
  std::string o = opts.empty() ? "loop" : "loop," + opts;
  mounted_ = sh("mount -o " + o + " " + img_ + " " + mnt_ + " >/dev/null 2>&1") == 0;
  return mounted_;
}

void LoopMount::pull() {
  if (mounted_) sh("umount -l " + mnt_ + " >/dev/null 2>&1");
  mounted_ = false;
}

LoopMount::~LoopMount() {
  if (mounted_) sh("umount " + mnt_ + " >/dev/null 2>&1 || umount -l " + mnt_ + " >/dev/null 2>&1");
}

void putFile(const std::string& path, const std::string& data) {
  mkdirs(parentPath(path));
  writeFile(path, data);
}

void writePattern(const std::string& path, size_t size, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> buf(1 << 16);
  while (size > 0) {
    for (auto& w : buf) w = rng();
    size_t n = std::min(size, buf.size() * sizeof(uint64_t));
    out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(n));
    size -= n;
  }
}

}  // namespace tolverdine

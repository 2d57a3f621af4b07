// A FUSE view of a folder that behaves as a network share seen from one client: the exclusive
// rename is refused with EINVAL, and a file that another client has just created is not seen yet
// (its name is missing from lookups and listings) while the server still refuses to create,
// link or exclusively open over it. A backing file of mode 0000 plays that other client's file.
//
//   stale_share BACKING MOUNTPOINT   (returns once mounted; `umount MOUNTPOINT` ends it)
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string backing;

std::string real(const char* path) { return backing + path; }

int fail() { return -errno; }
int rc(int r) { return r == 0 ? 0 : -errno; }
int fdOf(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }

// Another client's file, not yet in this client's view.
bool unseen(const struct stat& st) { return S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0; }

int getattrOp(const char* path, struct stat* st, fuse_file_info*) {
  if (::lstat(real(path).c_str(), st) != 0) return fail();
  return unseen(*st) ? -ENOENT : 0;
}

int readdirOp(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
  DIR* d = ::opendir(real(path).c_str());
  if (!d) return fail();
  while (dirent* e = ::readdir(d)) {
    struct stat st {};
    const std::string child = real(path) + "/" + e->d_name;
    if (::lstat(child.c_str(), &st) == 0 && unseen(st)) continue;
    fill(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  ::closedir(d);
  return 0;
}

int renameOp(const char* from, const char* to, unsigned int flags) {
  if (flags != 0) return -EINVAL;  // as SMB and NFS clients answer RENAME_NOREPLACE
  return rc(::rename(real(from).c_str(), real(to).c_str()));
}

// The server reads through its own cache; FUSE's buffers are not aligned for O_DIRECT anyway.
int openAs(const char* path, int flags, mode_t mode, fuse_file_info* fi) {
  int fd = ::open(real(path).c_str(), (flags & ~O_DIRECT), mode);
  if (fd < 0) return fail();
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}
int openOp(const char* path, fuse_file_info* fi) { return openAs(path, fi->flags, 0, fi); }
int createOp(const char* path, mode_t mode, fuse_file_info* fi) {
  return openAs(path, fi->flags | O_CREAT, mode, fi);
}

int readOp(const char*, char* buf, size_t n, off_t at, fuse_file_info* fi) {
  ssize_t r = ::pread(fdOf(fi), buf, n, at);
  return r < 0 ? fail() : static_cast<int>(r);
}
int writeOp(const char*, const char* buf, size_t n, off_t at, fuse_file_info* fi) {
  ssize_t r = ::pwrite(fdOf(fi), buf, n, at);
  return r < 0 ? fail() : static_cast<int>(r);
}
int releaseOp(const char*, fuse_file_info* fi) { return rc(::close(fdOf(fi))); }
int fsyncOp(const char*, int, fuse_file_info* fi) { return rc(::fsync(fdOf(fi))); }
int truncateOp(const char* path, off_t size, fuse_file_info* fi) {
  return rc(fi ? ::ftruncate(fdOf(fi), size) : ::truncate(real(path).c_str(), size));
}
int utimensOp(const char* path, const timespec ts[2], fuse_file_info*) {
  return rc(::utimensat(AT_FDCWD, real(path).c_str(), ts, AT_SYMLINK_NOFOLLOW));
}
int chmodOp(const char* path, mode_t mode, fuse_file_info*) {
  return rc(::chmod(real(path).c_str(), mode));
}
int mkdirOp(const char* path, mode_t mode) { return rc(::mkdir(real(path).c_str(), mode)); }
int rmdirOp(const char* path) { return rc(::rmdir(real(path).c_str())); }
int unlinkOp(const char* path) { return rc(::unlink(real(path).c_str())); }
int linkOp(const char* from, const char* to) {
  return rc(::link(real(from).c_str(), real(to).c_str()));
}
int statfsOp(const char*, struct statvfs* st) { return rc(::statvfs(backing.c_str(), st)); }

void* initOp(fuse_conn_info*, fuse_config* cfg) {
  // Every lookup asks this process, so the test decides what the client sees.
  cfg->entry_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->attr_timeout = 0;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stale_share BACKING MOUNTPOINT\n");
    return 64;
  }
  char* r = ::realpath(argv[1], nullptr);
  if (!r) {
    std::perror(argv[1]);
    return 66;
  }
  backing = r;
  std::free(r);
  fuse_operations ops{};
  ops.getattr = getattrOp;
  ops.readdir = readdirOp;
  ops.rename = renameOp;
  ops.open = openOp;
  ops.create = createOp;
  ops.read = readOp;
  ops.write = writeOp;
  ops.release = releaseOp;
  ops.fsync = fsyncOp;
  ops.truncate = truncateOp;
  ops.utimens = utimensOp;
  ops.chmod = chmodOp;
  ops.mkdir = mkdirOp;
  ops.rmdir = rmdirOp;
  ops.unlink = unlinkOp;
  ops.link = linkOp;
  ops.statfs = statfsOp;
  ops.init = initOp;
  char* args[] = {argv[0], argv[2], const_cast<char*>("-o"),
                  const_cast<char*>("fsname=stale_share"), nullptr};
  return fuse_main(4, args, &ops, nullptr);
}

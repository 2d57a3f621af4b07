// The only routines that move file bytes: one read of a source written to many destinations,
// and read-back hashing that reads the medium, not the page cache.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "os/fd.h"
#include "os/fs.h"

namespace tolverdine {

inline constexpr size_t kBlockSize = 16u << 20;  // every read and write buffer
inline constexpr size_t kBufferAlign = 4096;

struct Hashes {
  std::string xxh64;               // 16 hex digits
  std::optional<std::string> md5;  // 32 hex digits, when asked for
  bool operator==(const Hashes&) const = default;
};

/// One destination of a copy: the caller's index for it (reported in IOFail::dest) and its path.
struct Part {
  int index = 0;
  std::string path;
};

/// Last access, then last modification. Zero modification time leaves the parts' times alone.
struct SourceTimes {
  timespec atime{0, 0};
  timespec mtime{0, 0};
};

/// Reads src once and writes every block to all parts in parallel (created/truncated, 0644),
/// fsyncs them and carries the source times over. The hash covers exactly the bytes read.
/// Creates no folders and renames nothing; parts are left as they are on failure.
/// cacheSource false makes the source read bypass the page cache. Throws IOFail.
/// onRead, when given, hears the size of every block read from src (on the calling thread).
Hashes copyOnce(const std::string& src, const std::vector<Part>& parts, const SourceTimes& times,
                bool md5, bool cacheSource, const std::function<void(size_t)>& onRead = {},
                Fs& fs = realFs());

/// Creates every part (0644, never an existing file, never through a link). Throws IOFail with
/// the destination whose part could not be created; those created before stay for the caller.
std::vector<UniqueFd> openParts(const std::vector<Part>& parts, Fs& fs = realFs());

class MediumReader;

/// copyOnce's reading and writing alone: in (open on the source) read once, every block written
/// to the parts' open fds and hashed; nothing flushed, times given or closed. afterBlock hears
/// the bytes written to every part so far, after each block. Throws IOFail.
Hashes writeOnce(MediumReader& in, const std::vector<Part>& parts, const std::vector<int>& fds,
                 bool md5, const std::function<void(size_t)>& onRead,
                 const std::function<void(int64_t)>& afterBlock, Fs& fs = realFs());

/// XXH64 of a file read from the medium (cache bypassed); absent when it cannot be opened or read.
/// onRead hears the size of every block read.
std::optional<std::string> hashFile(const std::string& path,
                                    const std::function<void(size_t)>& onRead = {},
                                    Fs& fs = realFs());

/// XXH64 of what in (open) reads from where it stands to the end, cap bytes of buf at a time, on
/// this thread: for small files, where hashFile's second buffer and hashing beside the next read
/// cost more than they save. Absent when a read fails. onRead hears the size of every read.
std::optional<std::string> hashMedium(MediumReader& in, char* buf, size_t cap,
                                      const std::function<void(size_t)>& onRead = {});

/// hashFile of every path, in parallel; results in input order.
/// onRead hears (path index, block size) for every block read, from the workers' threads.
std::vector<std::optional<std::string>> hashFiles(
    const std::vector<std::string>& paths, const std::function<void(size_t, size_t)>& onRead = {},
    Fs& fs = realFs());

/// XXH64 (seed 0) of bytes in memory as 16 hex digits.
std::string xxh64(const void* data, size_t n);
inline std::string xxh64(const std::string& s) { return xxh64(s.data(), s.size()); }

/// Fills buf with up to n bytes, repeating short and interrupted reads; fewer only at end of
/// file. Throws IOFail{errno, dest}.
size_t readFull(int fd, void* buf, size_t n, std::optional<int> dest = std::nullopt,
                Fs& fs = realFs());

/// 64-bit value as 16 lower-case hex digits.
std::string hex64(unsigned long long v);

}  // namespace tolverdine

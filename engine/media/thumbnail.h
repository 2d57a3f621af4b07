// Still frames for the report window: one picture from the middle of a clip (or a photo itself),
// upright, at most 320 x 180 with the aspect kept, encoded in memory. Plus a cache, so that a
// picture is decoded once while its file stays the same.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tolverdine {

enum class ImageFormat { jpeg, png };

struct ThumbnailOptions {
  int maxWidth = 320, maxHeight = 180;
  ImageFormat format = ImageFormat::jpeg;
  /// Seconds into the clip; absent: half the duration on a 1/600 s grid, 0 when it is unknown.
  std::optional<double> at;
};

/// Absent for anything that is not a readable, decodable picture (empty files, folders, damage).
std::optional<std::vector<uint8_t>> makeThumbnail(const std::string& path,
                                                  const ThumbnailOptions& o = {});

/// Half of a duration in seconds, rounded to the 1/600 s grid; 0 for an unknown or bad duration.
double middleFrameTime(std::optional<double> durationSec);
/// Width and height that fit w x h into maxW x maxH keeping the aspect, never enlarged, at least 1.
std::pair<int, int> fitSize(int w, int h, int maxW, int maxH);

/// Thread-safe; an entry is valid while the file keeps its modification time and size.
class ThumbnailCache {
 public:
  explicit ThumbnailCache(size_t capacity = 512) : capacity_(capacity) {}
  using Image = std::shared_ptr<const std::vector<uint8_t>>;
  /// Outer absent: not cached (or the file changed); inner null: known to give no picture.
  std::optional<Image> get(const std::string& path) const;
  void put(const std::string& path, Image image);

 private:
  struct Stamp {
    int64_t mtimeNs = -1, size = -1;
    bool operator==(const Stamp&) const = default;
  };
  static std::optional<Stamp> stamp(const std::string& path);
  struct Slot {
    Stamp stamp;
    Image image;
    uint64_t used = 0;
  };
  mutable std::mutex m_;
  mutable std::map<std::string, Slot> slots_;
  mutable uint64_t clock_ = 0;
  size_t capacity_;
};

}  // namespace tolverdine

// The camera-related metadata items of a video file's container, in the container's order.
#pragma once

#include <string>
#include <vector>

namespace tolverdine {

enum class TagKey { model, make, software };

struct MediaTag {
  TagKey key;
  std::string value;
  bool operator==(const MediaTag&) const = default;
};

/// The model, make and software tags that libavformat lists for the container of path, in its
/// order (QuickTime key names and plain names alike); empty when the file cannot be opened.
std::vector<MediaTag> containerTags(const std::string& path);

}  // namespace tolverdine

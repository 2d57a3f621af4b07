#include "engine/card/card_names.h"

#include "engine/base/text.h"

namespace tolverdine {

const NameList& cameraDirs() {
  static const NameList s{"dcim", "private", "xdroot", "clip", "m4root", "avchd", "contents"};
  return s;
}
const NameList& rootVideo() {
  static const NameList s{"braw", "mov", "mxf", "r3d"};
  return s;
}
const NameList& videoExt() {
  static const NameList s{"mp4", "mov", "mxf", "avi", "mts", "m2ts", "braw", "r3d", "insv"};
  return s;
}
const NameList& audioExt() {
  static const NameList s{"wav", "aif", "aiff", "mp3", "flac"};
  return s;
}
const NameList& photoExt() {
  static const NameList s{"jpg", "jpeg", "png", "heic", "arw", "cr2",
                          "cr3", "nef",  "raf", "dng",  "tif", "tiff"};
  return s;
}
const NameList& skipDirs() {
  static const NameList s{".spotlight-v100", ".fseventsd", ".trashes", ".temporaryitems",
                          "system volume information"};
  return s;
}
const NameList& thumbDirs() {
  static const NameList s{"thmbnl", "thumbnail", "thumbnails"};
  return s;
}
const NameList& installerExt() {
  static const NameList s{"app", "pkg", "mpkg"};
  return s;
}

namespace {
size_t extDot(const std::string& name) {
  auto dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? std::string::npos : dot;
}
}  // namespace

std::string lowerExt(const std::string& path) {
  std::string name = lastComponent(path);
  auto dot = extDot(name);
  return dot == std::string::npos ? "" : lowerUnicode(name.substr(dot + 1));
}

std::string baseName(const std::string& path) {
  std::string name = lastComponent(path);
  auto dot = extDot(name);
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace tolverdine

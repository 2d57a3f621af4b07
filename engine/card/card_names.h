// The fixed vocabularies of a camera card: camera folders, extensions, folders never entered,
// thumbnail folders. Every member is lower-case and is compared with lower-cased text.
#pragma once

#include <set>
#include <string>

namespace tolverdine {

using NameList = std::set<std::string, std::less<>>;

const NameList& cameraDirs();  // a top-level entry so named marks a camera card
const NameList& rootVideo();   // a top-level entry with such an extension marks a card
const NameList& videoExt();
const NameList& audioExt();
const NameList& photoExt();
const NameList& skipDirs();      // indexing and trash folders of host systems
const NameList& thumbDirs();     // a still under such a folder is a thumbnail
const NameList& installerExt();  // a top-level entry so named marks a software volume

/// Lower-cased extension of the last path component: "" when there is none or the only dot
/// begins the name (".mov" is a hidden file, not a clip).
std::string lowerExt(const std::string& path);

/// Last path component without its extension.
std::string baseName(const std::string& path);

}  // namespace tolverdine

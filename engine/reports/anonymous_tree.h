// A card's folder structure without file names or contents: folder names and, per folder,
// how many files of each extension it holds. What a user can send in for an unknown camera.
#pragma once

#include <string>

#include "engine/card/walk.h"

namespace tolverdine {

/// Lines indented two spaces per level: first "*.EXT × N" per extension (upper-cased,
/// "(없음)" for none), then each subfolder as "NAME/" followed by its own lines. Names
/// beginning with "." are skipped; folders deeper than maxDepth are not visited.
std::string anonymousTree(const std::string& root, int maxDepth, const WalkFs& fs = realWalkFs());

/// The first line of a saved tree: "TOLVERDINE <version> · 폴더 구조 (파일 내용·이름 없음)".
std::string anonymousTreeHeader(const std::string& version);

}  // namespace tolverdine

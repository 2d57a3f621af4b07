// One text per folder: every path that names a card, a destination, a project folder or a
// second-copy target is brought to this form before it is used, stored or compared, and
// destinations are told apart by what they are on disk, not by how they are spelt.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tolverdine {

/// Absolute and canonical: a relative path is taken from the current folder; the longest
/// existing leading part is resolved by realpath (symbolic links, "." and ".."); the missing rest
/// is appended with "." and ".." worked out in text; no repeated or trailing "/"; NFC. "" stays "".
std::string canonicalPath(const std::string& path);

/// Absolute, with "." and ".." worked out in text alone (no link or mount followed): the folder as
/// it was written. A relative path is taken from the current folder; no repeated or trailing "/".
std::string lexicalPath(const std::string& path);

/// canonicalPath of each, in order, dropping repeats of an earlier entry.
std::vector<std::string> canonicalPaths(const std::vector<std::string>& paths);

/// a and b are the same folder or one lies inside the other, judged by device and inode of the
/// existing folders of both (bind mounts and symbolic links included); the parts that do not
/// exist yet are compared as text below the nearest existing folder.
bool sameOrNested(const std::string& a, const std::string& b);

/// The first pair of entries (by index, i < j) that are the same folder or nested; absent when
/// every entry is a folder of its own.
std::optional<std::pair<size_t, size_t>> overlappingPair(const std::vector<std::string>& paths);

/// The Korean refusal for two destinations that are one folder or nested.
std::string overlapText(const std::string& a, const std::string& b);

}  // namespace tolverdine

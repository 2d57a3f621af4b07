// The file hashes an ASC MHL history may record, computed over a whole file.
#pragma once

#include <optional>
#include <string>

#include "os/fs.h"

namespace tolverdine {

/// Ordered from weakest to strongest.
enum class HashType { xxh64, xxh3, xxh128, md5, sha1, c4 };

/// The element name in a hash list: "xxh64", "xxh3", "xxh128", "md5", "sha1", "c4".
const char* hashTypeName(HashType t);
std::optional<HashType> hashTypeFromName(const std::string& name);

/// The file's hash as a hash list writes it (lower-case hexadecimal; a C4 id for c4); absent
/// when the file cannot be read.
std::optional<std::string> fileDigest(const std::string& path, HashType t, Fs& fs = realFs());

/// Whether two hash texts of type t name the same value (hexadecimal compares without case).
bool sameDigest(HashType t, const std::string& a, const std::string& b);

}  // namespace tolverdine

// Copy-on-write clones: a second name for a file's storage, never a second copy of its bytes.
#pragma once

#include <string>

namespace tolverdine {

/// Clones src to dst (taken as given: callers pass the NFC name), which is created exclusively
/// (EEXIST when anything is there). On any failure the new target is removed again, so no empty or
/// partial file is left. Access and modification times and the permission bits of src are carried
/// over. Returns 0 or the error number (EOPNOTSUPP, EXDEV, ... where the file system cannot clone).
int cloneFile(const std::string& src, const std::string& dst);

}  // namespace tolverdine

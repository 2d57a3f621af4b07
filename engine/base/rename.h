// Moving a finished copy into place without ever replacing what is already there.
#pragma once

#include <string>

#include "os/fs.h"

namespace tolverdine {

/// Renames from onto to, failing with EEXIST when to exists. Where the file system has no
/// exclusive rename (NFS, SMB, FUSE) a hard link plus unlink does the same; a plain rename(),
/// which replaces, is never used. Returns 0 or the error number.
int renameNoReplace(const std::string& from, const std::string& to, Fs& fs = realFs());

/// The fallback on its own: link() to the target (EEXIST when taken), then unlink the source.
int renameByLink(const std::string& from, const std::string& to, Fs& fs = realFs());

}  // namespace tolverdine

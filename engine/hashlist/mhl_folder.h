// The "ascmhl" folder shared by every writer of generations: its listing, numbered generation
// files and the chain rebuild, all under the folder's lock.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "os/fs.h"

namespace tolverdine {

/// Names in dir ("." and ".." left out); empty when it cannot be listed.
std::vector<std::string> listFolder(const std::string& dir, Fs& fs = realFs());

/// Writes text as the next numbered generation of root's ascmhl folder and rebuilds the chain
/// from the folder's listing, all under the folder's lock. The exclusive create of the file is
/// the reservation of its number: a taken name moves on to the next number. Throws WriteFail.
std::string writeGenerationFile(const std::string& root, std::string_view text, std::time_t now,
                                Fs& fs = realFs());

/// Rewrites ascmhl_chain.xml from every ".mhl" file in dir; a generation cut short (its hash
/// list never closes) is first renamed "<name>.incomplete" and left out. Throws WriteFail.
void rewriteChain(const std::string& dir, Fs& fs = realFs());

/// Under dir's lock, when dir exists: removes the temporaries killed writers left, sets aside the
/// generations cut short as rewriteChain does,
/// and rewrites the chain when it is missing or does not name every generation left with its C4
/// id. Returns the names given to the generations set aside. Throws WriteFail.
std::vector<std::string> repairChain(const std::string& dir, Fs& fs = realFs());

}  // namespace tolverdine

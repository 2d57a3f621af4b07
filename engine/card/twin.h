// The backup card of a dual-slot camera, checked against the copies of its twin.
#pragma once

#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

class Store;

struct TwinCheck {
  int same = 0;                     // hash equals the recorded one
  std::vector<std::string> differ;  // differs, or no verified record at all
  std::vector<std::string> unread;  // could not be read from the card
  /// Matching files whose file has fewer verified copies than required: the twin is not yet a
  /// safe second copy of a card that is itself short of copies.
  std::vector<std::string> underCopied;
  bool contentOk() const { return differ.empty() && unread.empty(); }
  /// Cleared: same content and every file has its required copies.
  bool ok() const { return contentOk() && underCopied.empty(); }
};

/// Hashes every file of the inserted card (cache bypassed) and compares it with any verified hash
/// of the same file key. Never throws.
TwinCheck verifyTwin(const std::string& root, const std::vector<CardFile>& files,
                     const std::string& cam, Store& store, int copiesRequired);

}  // namespace tolverdine

// A card's storage around its ingest run: the mode decided once at start, the card mirror paths
// before copying (the views are made with the reports, see card_job.h).
#pragma once

#include <string>
#include <vector>

#include "engine/base/names.h"
#include "engine/base/records.h"
#include "engine/copy/storage.h"

namespace tolverdine {

class Store;

/// Resolves the configured mode over the roots; in mirror storage gives the rows their reel
/// (reused when the card was copied before) and mirror paths. Returns split or mirror.
StorageMode applyStorage(StorageMode configured, std::vector<Row>& rows, const std::string& cam,
                         const std::vector<std::string>& roots, const NameSet& names, Store& store);

}  // namespace tolverdine

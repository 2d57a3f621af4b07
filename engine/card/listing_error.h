// Turning folders of a card that could not be listed into Korean reasons and ingest failures.
// Such a card was planned only in part and must never come out green.
#pragma once

#include <string>
#include <vector>

#include "engine/base/records.h"
#include "engine/card/walk.h"

namespace tolverdine {

/// "폴더를 읽지 못함: DCIM/100CANON · 입출력 오류입니다 — … (Input/output error)"; the root is
/// shown as "/".
std::string listingReason(const ListingError& e);

/// Adds one failure per error (rel = the folder, dest "") and turns the colour red.
/// Does nothing for an empty list.
void addListingFailures(IngestResult& result, const std::vector<ListingError>& errors);

}  // namespace tolverdine

// The counts a card's verdict rests on: each file's verified copies, judged on their drives now.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/store/store.h"

namespace tolverdine {

/// Each key's verified copies, every copy judged on its drive as it stands now and counted once
/// per drive, none on notOn (the card's own drive). Where the store judges the real files, half
/// of the keys are counted on a second connection to its file, side by side: every copy of a long
/// card is looked at after its last copy, while the job waits.
std::vector<int> verifiedCounts(Store& store, const std::vector<std::string>& keys,
                                const std::optional<std::string>& notOn);

}  // namespace tolverdine

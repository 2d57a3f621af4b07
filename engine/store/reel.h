// Reel names of mirror storage: the same card keeps its reel across runs and destinations.
#pragma once

#include <string>
#include <vector>

#include "engine/base/names.h"
#include "engine/base/records.h"

namespace tolverdine {

class Store;

/// The reel of an earlier copy of this card, else the next free cam_NNN across the roots.
std::string reelFor(const std::vector<Row>& rows, const std::string& cam,
                    const std::vector<std::string>& roots, const NameSet& names, Store& store);

}  // namespace tolverdine

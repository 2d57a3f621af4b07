// The classified view of a mirrored card: clones of the mirror files at their classified places.
#pragma once

#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

class Store;

/// Clones every row that has a dest, a view and a verified copy on root to root/view. Existing
/// view paths are left alone, and so is a row whose view was moved since (its recorded view
/// differs and exists). A failed clone is never replaced by a copy. Returns the failed views.
std::vector<std::string> makeView(const std::vector<Row>& rows, const std::string& root,
                                  const std::string& cam, Store& store);

}  // namespace tolverdine

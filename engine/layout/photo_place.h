// Stills of two cameras that share a name (two bodies both counting IMG_0001.JPG) meet in one
// session's photo folder. A still whose place holds another camera's different file goes into a
// sub-folder named after its own camera label instead; nothing is overwritten.
#pragma once

#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

class Store;

/// Before mirror paths: moves the dest of each such photo row to <folder>/<cam>/<name>, and keeps
/// a photo there that an earlier run of this card put there. Returns the note lines for the
/// report and the log (empty when no photo moved).
std::vector<std::string> placeSameNamePhotos(std::vector<Row>& rows, const std::string& cam,
                                             const std::vector<std::string>& roots, Store& store);

}  // namespace tolverdine

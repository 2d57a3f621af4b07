// What a read of a project folder against its hash lists teaches the database: a copy whose bytes
// changed while its size and time stayed is found only by reading it, and must stop counting.
#pragma once

#include <string>

#include "engine/hashlist/mhl_verify.h"
#include "engine/store/store.h"

namespace tolverdine {

/// Every verified copy in the project folder root that report found changed or could not read is
/// recorded as failed, so no verdict counts it again until a run compares or copies it anew.
void forgetChangedCopies(Store& store, const std::string& root, const MHLVerifyReport& report);

}  // namespace tolverdine

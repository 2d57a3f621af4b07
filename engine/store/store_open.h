// Opening the state database: every failure becomes a message, so no background task or command
// can lose its result to an exception type it did not expect. The one way the database is opened
// outside tests.
#pragma once

#include <memory>
#include <string>

#include "engine/store/store.h"

namespace tolverdine {

struct OpenedStore {
  std::unique_ptr<Store> store;  // null on failure
  std::string error;  // why, when null; empty when an existing file was asked for and none is there
  explicit operator bool() const { return store != nullptr; }
  Store* operator->() const { return store.get(); }
  Store& operator*() const { return *store; }
};

enum class IfMissing { create, leave };

/// Opens the database at path. IfMissing::leave opens only a file that is there already, for
/// commands that look without creating.
OpenedStore openStoreAt(const std::string& path, IfMissing missing = IfMissing::create);

}  // namespace tolverdine

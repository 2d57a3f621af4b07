// Opening the state database from application code: every failure becomes a message, so no
// background task can lose its result to an exception type it did not expect.
#pragma once

#include <memory>
#include <string>

#include "engine/store/store.h"

namespace tolverdine {

struct OpenedStore {
  std::unique_ptr<Store> store;  // null on failure
  std::string error;             // why, when null
  explicit operator bool() const { return store != nullptr; }
  Store* operator->() const { return store.get(); }
  Store& operator*() const { return *store; }
};

OpenedStore openStoreAt(const std::string& path);

}  // namespace tolverdine

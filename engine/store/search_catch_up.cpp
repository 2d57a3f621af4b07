#include "engine/store/search_catch_up.h"

#include <chrono>
#include <system_error>

#include "engine/store/store_open.h"

namespace tolverdine {

SearchCatchUp::SearchCatchUp(const std::string& dbPath) {
  try {
    result_ = std::async(std::launch::async, [this, dbPath] { return run(dbPath); });
  } catch (const std::system_error&) {
  }
}

SearchCatchUp::~SearchCatchUp() {
  copied();
  if (result_.valid()) result_.wait();
}

void SearchCatchUp::copied() { copied_.raise(); }

bool SearchCatchUp::caughtUp() {
  copied();
  return result_.valid() && result_.get();
}

bool SearchCatchUp::run(const std::string& dbPath) {
  OpenedStore other = openStoreAt(dbPath, IfMissing::leave);
  if (!other) return false;
  while (!copied_.waitFor(std::chrono::seconds(1))) other->updateSearchIndex();
  return other->updateSearchIndex();
}

}  // namespace tolverdine

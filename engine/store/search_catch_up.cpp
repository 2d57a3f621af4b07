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

void SearchCatchUp::copied() {
  {
    std::lock_guard lk(m_);
    copied_ = true;
  }
  cv_.notify_all();
}

bool SearchCatchUp::caughtUp() {
  copied();
  return result_.valid() && result_.get();
}

bool SearchCatchUp::run(const std::string& dbPath) {
  OpenedStore other = openStoreAt(dbPath, IfMissing::leave);
  if (!other) return false;
  std::unique_lock lk(m_);
  while (!cv_.wait_for(lk, std::chrono::seconds(1), [this] { return copied_; })) {
    lk.unlock();
    other->updateSearchIndex();
    lk.lock();
  }
  lk.unlock();
  return other->updateSearchIndex();
}

}  // namespace tolverdine

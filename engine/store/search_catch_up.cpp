#include "engine/store/search_catch_up.h"

#include <chrono>
#include <optional>
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
  // Rows recorded again lately are rechecked in the first round and then every half minute; the
  // rounds between only add the new rows. Every search reads the rows not rechecked yet as they
  // are, so a short card's rows need none: they cost each round more than adding them.
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> rechecked;
  // Four rounds a second: a round that finds no new row only reads, and the rows the copy commits
  // more often over the card's last bytes are indexed before its end, not after.
  while (!copied_.waitFor(std::chrono::milliseconds(250))) {
    const bool recheck = !rechecked || Clock::now() - *rechecked >= std::chrono::seconds(30);
    if (recheck) rechecked = Clock::now();
    other->updateSearchIndex(recheck);
  }
  // The last round too: the card's end waits for it.
  return other->updateSearchIndex(/*recheck=*/false);
}

}  // namespace tolverdine

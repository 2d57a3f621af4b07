#include "engine/store/verified_counts.h"

#include <system_error>
#include <thread>

#include "engine/store/store_open.h"

namespace tolverdine {

namespace {

// Below this many keys a second connection costs more than it saves.
constexpr size_t kSplitFrom = 2048;

void countRange(Store& store, const std::vector<std::string>& keys, size_t from, size_t to,
                const std::optional<std::string>& notOn, std::vector<int>& out) {
  ReadSnapshot together(store);
  for (size_t i = from; i < to; ++i) out[i] = store.verifiedCount(keys[i], notOn);
}

}  // namespace

std::vector<int> verifiedCounts(Store& store, const std::vector<std::string>& keys,
                                const std::optional<std::string>& notOn) {
  std::vector<int> out(keys.size());
  OpenedStore other;
  if (keys.size() >= kSplitFrom && store.judgesRealFiles())
    other = openStoreAt(store.path(), IfMissing::leave);
  if (!other) {
    countRange(store, keys, 0, keys.size(), notOn, out);
    return out;
  }
  other->learnNoDrives();  // learnt by this connection's half, and the other's next time
  const size_t half = keys.size() / 2;
  std::jthread helper;  // joined on every way out: it writes into out
  try {
    helper = std::jthread([&] { countRange(*other, keys, half, keys.size(), notOn, out); });
  } catch (const std::system_error&) {  // no thread to be had: all on this one
    countRange(store, keys, 0, keys.size(), notOn, out);
    return out;
  }
  countRange(store, keys, 0, half, notOn, out);
  helper.join();
  return out;
}

}  // namespace tolverdine

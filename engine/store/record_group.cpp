#include "engine/store/record_group.h"

#include <new>

#include "engine/store/store.h"

namespace tolverdine {

RecordGroup::RecordGroup(Store& store, size_t rows, std::chrono::milliseconds age)
    : store_(store), rows_(rows), age_(age) {}

RecordGroup::~RecordGroup() { commit(); }

void RecordGroup::record(const std::string& key, const std::string& dest, const std::string& rel,
                         int64_t size, const std::optional<std::string>& hash, CopyState state,
                         int attempts, const std::optional<std::string>& md5,
                         const std::optional<std::string>& view,
                         const std::optional<DriveFile>& on) noexcept {
  // Immediate: the write lock is taken now, waiting out other writers, so no row of the group
  // can later fail on a stale snapshot. When it cannot be had, rows are written one by one.
  if (!open_ && store_.beginImmediate()) {
    open_ = true;
    openedAt_ = std::chrono::steady_clock::now();
  }
  if (!open_ && state != CopyState::failed && !durable()) return;
  store_.record(key, dest, rel, size, hash, state, attempts, md5, view, on);
  if (!open_) return;
  try {
    pending_.push_back({key, dest, rel, size, hash, state, attempts, md5, view, on});
  } catch (const std::bad_alloc&) {
    // No memory to keep the row for a replay: end the group now, while the row is still in it.
    commit();
    return;
  }
  // An error that rolled the transaction back took the earlier rows of the group with it.
  if (!store_.inTransaction()) {
    open_ = false;
    replay(durable());
    return;
  }
  if (pending_.size() >= rows_) commit();
  else commitIfDue();
}

void RecordGroup::commitIfDue() noexcept {
  if (open_ && std::chrono::steady_clock::now() - openedAt_ >= age_) commit();
}

void RecordGroup::commit() noexcept {
  if (!open_) return;
  open_ = false;
  if (!durable()) {
    store_.rollback();
    replay(false);
    return;
  }
  if (store_.commit()) {
    pending_.clear();
    return;
  }
  replay(true);  // commit rolled the group back
}

bool RecordGroup::durable() noexcept {
  if (!durable_) return true;
  try {
    return durable_();
  } catch (...) {
    return false;
  }
}

void RecordGroup::replay(bool durable) noexcept {
  std::vector<Args> rows;
  rows.swap(pending_);
  for (const Args& a : rows)
    if (durable || a.state == CopyState::failed)
      store_.record(a.key, a.dest, a.rel, a.size, a.hash, a.state, a.attempts, a.md5, a.view, a.on);
}

}  // namespace tolverdine

// Copy records written in groups: one transaction (and one flush of the log) for many rows
// instead of one for each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/store/copy_state.h"

namespace tolverdine {

class Store;

/// Collects Store::record calls into one transaction, committed after `rows` rows or once the
/// open group is older than `age` (checked on every record and by commitIfDue), and by commit()
/// and the destructor. A crash loses at most the open group. Each row is still written only when
/// record is called, so a row never runs ahead of the copy it describes. When the group cannot
/// be begun or committed, its rows are written one by one, as without a group.
class RecordGroup {
 public:
  explicit RecordGroup(Store& store, size_t rows = 64,
                       std::chrono::milliseconds age = std::chrono::milliseconds(1000));
  ~RecordGroup();
  RecordGroup(const RecordGroup&) = delete;
  RecordGroup& operator=(const RecordGroup&) = delete;

  void record(const std::string& key, const std::string& dest, const std::string& rel, int64_t size,
              const std::optional<std::string>& hash, CopyState state, int attempts,
              const std::optional<std::string>& md5 = std::nullopt,
              const std::optional<std::string>& view = std::nullopt,
              const std::optional<DriveFile>& on = std::nullopt) noexcept;
  void commitIfDue() noexcept;
  /// Groups from now on are committed after `age` at most.
  void setAge(std::chrono::milliseconds age) noexcept { age_ = age; }
  void commit() noexcept;
  /// Runs before each commit, and before a row written on its own: it makes what the rows claim
  /// durable (the names of the copies). When it returns false the rows claiming a copy are
  /// dropped, so the next run finds those files unrecorded and compares them; failed rows stay.
  void beforeCommit(std::function<bool()> durable) { durable_ = std::move(durable); }

 private:
  struct Args {
    std::string key, dest, rel;
    int64_t size;
    std::optional<std::string> hash;
    CopyState state;
    int attempts;
    std::optional<std::string> md5, view;
    std::optional<DriveFile> on;
  };
  bool durable() noexcept;
  void replay(bool durable) noexcept;

  Store& store_;
  size_t rows_;
  std::chrono::milliseconds age_;
  bool open_ = false;
  std::chrono::steady_clock::time_point openedAt_;
  std::vector<Args> pending_;  // rows of the open group, written again one by one if it is lost
  std::function<bool()> durable_;
};

}  // namespace tolverdine

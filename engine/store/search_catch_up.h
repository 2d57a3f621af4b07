// The library's search file brought up to date beside a copy: on a connection of its own, four
// times a second while the card is copied and a last time while the hash lists, reports and PDF are
// written, so that little is left to it after the copy. It reads only rows already committed and
// locks only its own file, never the state database: the copy never waits for it.
#pragma once

#include <future>
#include <string>

#include "engine/base/stop_flag.h"

namespace tolverdine {

class SearchCatchUp {
 public:
  /// Starts following the database at dbPath; without a thread it does nothing.
  explicit SearchCatchUp(const std::string& dbPath);
  ~SearchCatchUp();
  SearchCatchUp(const SearchCatchUp&) = delete;
  SearchCatchUp& operator=(const SearchCatchUp&) = delete;

  /// The copy is over: one last catch-up starts now.
  void copied();
  /// Waits for it; true when the search file holds every committed row. False when no thread or
  /// second connection could be had: the caller's own connection catches up then.
  bool caughtUp();

 private:
  bool run(const std::string& dbPath);

  StopFlag copied_;
  std::future<bool> result_;  // last: its thread is gone before the rest
};

}  // namespace tolverdine

// The state database at its default place, for a command; null after a Korean error on stderr.
#pragma once

#include <cstdio>
#include <memory>

#include "engine/store/store.h"
#include "engine/store/store_open.h"

namespace tolverdine::cli {

/// Every failure (a file that is not a database, a folder in its place, an unwritable folder)
/// is printed once; no exception of the store reaches the command.
inline std::unique_ptr<Store> openStore() {
  OpenedStore o = openStoreAt(Store::defaultPath());
  if (!o) std::fprintf(stderr, "오류 — 상태 데이터베이스를 열지 못했습니다: %s\n", o.error.c_str());
  return std::move(o.store);
}

}  // namespace tolverdine::cli

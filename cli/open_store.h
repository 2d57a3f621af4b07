// The state database at its default place, for a command; null after a Korean error on stderr.
#pragma once

#include <cstdio>
#include <exception>
#include <memory>

#include "engine/store.h"

namespace tolverdine::cli {

inline std::unique_ptr<Store> openStore() {
  try {
    return std::make_unique<Store>(Store::defaultPath());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "오류 — %s\n", e.what());
    return nullptr;
  }
}

}  // namespace tolverdine::cli

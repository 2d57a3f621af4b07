// How a card's colour reaches the shell: 0 green, 1 yellow, 2 red, 3 gray, 64 a usage error.
#pragma once

#include "engine/base/records.h"

namespace tolverdine::cli {

inline constexpr int kExitUsage = 64;

inline int exitFor(CardColor c) {
  switch (c) {
    case CardColor::green: return 0;
    case CardColor::yellow: return 1;
    case CardColor::red: return 2;
    case CardColor::gray: return 3;
  }
  return 3;
}

inline const char* colorMark(CardColor c) {
  switch (c) {
    case CardColor::green: return "🟢";
    case CardColor::yellow: return "🟡";
    default: return "🔴";
  }
}

}  // namespace tolverdine::cli

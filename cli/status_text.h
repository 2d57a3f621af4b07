// What the database knows of a card, as one Korean sentence for the terminal.
#pragma once

#include <string>

#include "engine/store/card_status.h"

namespace tolverdine::cli {

inline std::string statusSentence(const CardStatus& s) {
  if (const auto* k = std::get_if<CardStatus::Known>(&s.value))
    return k->cam + " 카드로 기록됨 (파일 " + std::to_string(k->files) + "개)";
  if (const auto* t = std::get_if<CardStatus::Twin>(&s.value))
    return t->cam + " 카드와 같은 파일 " + std::to_string(t->files) +
           "개 — 듀얼 슬롯 백업 카드로 보임";
  return "처음 보는 카드";
}

}  // namespace tolverdine::cli

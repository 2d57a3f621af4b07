// What the user can do with a card in its present phase, in the order the page offers it: the
// page and the command line show these and decide nothing themselves.
#pragma once

#include <string>
#include <vector>

#include "app/card_item.h"

namespace tolverdine {

struct CardAction {
  std::string op;     // the operation's name: "start", "hold", "report", ...
  std::string label;  // its Korean button text
  bool operator==(const CardAction&) const = default;
};

/// `hasReport`: a job of this card completed, so its report can be opened.
std::vector<CardAction> cardActions(const CardItem& card, bool hasReport);

}  // namespace tolverdine

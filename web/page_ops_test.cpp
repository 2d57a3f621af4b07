#include "web/page_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "app/card_actions.h"
#include "web/assets.h"

namespace tolverdine::web {
namespace {

// A button whose operation the table lacks answers "unknown" only when a user presses it on set.
TEST(PageOps, EveryOperationThePageOrACardCanSendIsKnown) {
  const std::string js(asset("/app.js").body);
  const std::regex call(R"(act\('([A-Za-z0-9]+)')");
  std::set<std::string> sent;
  for (auto it = std::sregex_iterator(js.begin(), js.end(), call); it != std::sregex_iterator();
       ++it)
    sent.insert((*it)[1]);
  ASSERT_GE(sent.size(), 20u) << "the page's calls are no longer written act('name', ...)";

  // A twin card counting down, shot on another day, and a red card: every action a card offers
  // but the report, which the page opens itself.
  CardItem twin, red;
  twin.phase.value = Phase::Waiting{5};
  twin.status.value = CardStatus::Twin{"A캠", 3};
  twin.dateMismatch = true;
  red.phase.value = Phase::Finished{CardColor::red, ""};
  for (const auto& c : {twin, red})
    for (const auto& a : cardActions(c, true))
      if (a.op != "report") sent.insert(a.op);
  for (const char* op : {"start", "startAnyway", "keepSlot2", "verifyTwin", "hold", "dismiss"})
    EXPECT_TRUE(sent.count(op)) << op << " is no longer offered: the cards above miss a case";

  const auto known = pageOpNames();
  for (const auto& op : sent)
    EXPECT_NE(std::find(known.begin(), known.end(), op), known.end()) << op;
}

}  // namespace
}  // namespace tolverdine::web

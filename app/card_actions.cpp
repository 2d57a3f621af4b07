#include "app/card_actions.h"

namespace tolverdine {

std::vector<CardAction> cardActions(const CardItem& c, bool hasReport) {
  std::vector<CardAction> out;
  if (auto* w = c.phase.get<Phase::Waiting>()) {
    if (w->countdown) out.push_back({"hold", "자동 시작 멈춤"});
    out.push_back(c.dateMismatch ? CardAction{"startAnyway", "그래도 시작"}
                                 : CardAction{"start", "시작"});
    if (c.status.is<CardStatus::Twin>()) {
      out.push_back({"keepSlot2", "슬롯 2 따로 받기"});
      out.push_back({"verifyTwin", "슬롯 대조"});
    }
    out.push_back({"exportTree", "폴더 구조 저장"});
  } else if (auto* f = c.phase.get<Phase::Finished>()) {
    // A card that is not cleared may be started again, for example once space was freed.
    if (f->color != CardColor::green) out.push_back({"start", "다시 시작"});
    if (hasReport) out.push_back({"report", "리포트"});
    out.push_back({"exportTree", "폴더 구조 저장"});
  }
  if (!c.phase.is<Phase::Running>() && !c.phase.is<Phase::Queued>())
    out.push_back({"dismiss", "목록에서 빼기"});
  return out;
}

}  // namespace tolverdine

#include "engine/library/report_clips.h"

#include "engine/base/text.h"
#include "engine/library/library.h"

namespace tolverdine {

std::vector<ReportClip> reportClips(const std::optional<std::string>& reportCard,
                                    const LastJobs& jobs) {
  std::vector<ReportClip> out;
  if (!reportCard) return out;
  auto it = jobs.find(*reportCard);
  if (it == jobs.end() || it->second.roots.empty()) return out;
  const std::string& root = it->second.roots.front();
  for (const auto& r : it->second.rows) {
    if (r.kind != Kind::video) continue;
    const std::optional<std::string>& rel = r.view ? r.view : r.dest;
    if (!rel || rel->empty()) continue;
    out.push_back({root + "/" + *rel, r});
  }
  return out;
}

std::vector<ClipVerdict> clipVerdicts(const std::vector<ReportClip>& clips, const std::string& cam,
                                      Store& store, int copiesRequired) {
  std::vector<ClipVerdict> out;
  for (const auto& c : clips) {
    int n = store.verifiedCount(ingestKey(cam, c.row));
    out.push_back({c.path, n, n >= copiesRequired});
  }
  return out;
}

std::set<size_t> spotCheckIndexes(size_t n) {
  if (n == 0) return {};
  return {0, n / 2, n - 1};
}

CardColor worstColor(const std::vector<std::pair<CardStanding, CardColor>>& cards) {
  bool red = false, yellow = false, gray = false, green = false;
  for (const auto& [standing, color] : cards) {
    CardColor c = standing == CardStanding::finished  ? color
                  : standing == CardStanding::running ? CardColor::red
                                                      : CardColor::gray;
    red |= c == CardColor::red;
    yellow |= c == CardColor::yellow;
    gray |= c == CardColor::gray;
    green |= c == CardColor::green;
  }
  if (red) return CardColor::red;
  if (yellow) return CardColor::yellow;
  if (gray || !green) return CardColor::gray;
  return CardColor::green;
}

std::string menuTitle(CardColor worst, size_t cards) {
  std::string t = worst == CardColor::red      ? "확인 필요"
                  : worst == CardColor::yellow ? "사본 부족"
                  : worst == CardColor::green  ? "포맷 가능"
                                               : "TOLVERDINE";
  if (cards > 0) t += " " + std::to_string(cards);
  return t;
}

std::optional<Hit> reportHit(const std::string& cam, const Row& row, const std::string& root,
                             Store& store) {
  const std::string key = ingestKey(cam, row);
  // A literal search: a file name such as C0012_01 must not turn "_" into a wildcard and crowd
  // the 300 rows with other clips.
  for (auto& h : librarySearch(store, lastComponent(row.src), kHitLimit))
    if (h.key == key && h.dest == root) return h;
  return std::nullopt;
}

bool refreshReportRow(LastJob& job, const std::string& cam, const Row& row, const std::string& cls,
                      Store& store) {
  if (job.roots.empty()) return false;
  Row* target = nullptr;
  for (auto& r : job.rows)
    if (r.rel == row.rel) {
      target = &r;
      break;
    }
  if (!target) return false;
  auto hit = reportHit(cam, row, job.roots.front(), store);
  if (!hit) return false;
  if (target->view) target->view = hit->view;
  else target->dest = hit->rel;
  target->cls = cls;
  return true;
}

}  // namespace tolverdine

// The report window of a finished card: its video clips as they lie on the first destination,
// how many verified copies each has, the spot-check picks, the menu-bar summary colour, and the
// lookups behind moving a clip to another class from the report.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/records.h"
#include "engine/store/store.h"

namespace tolverdine {

/// What a completed job leaves for its report: planned rows with final paths, project folders
/// in destination order.
struct LastJob {
  std::vector<Row> rows;
  std::vector<std::string> roots;
  bool operator==(const LastJob&) const = default;
};
using LastJobs = std::map<std::string, LastJob>;

struct ReportClip {
  std::string path;  // first root + view (else dest)
  Row row;
};

/// Video rows of the card's job with a view or dest, in row order; empty without card, entry or
/// root.
std::vector<ReportClip> reportClips(const std::optional<std::string>& reportCard,
                                    const LastJobs& jobs);

/// Verified copies of each clip in the database and whether that meets copiesRequired.
struct ClipVerdict {
  std::string path;
  int verified = 0;
  bool enough = false;
};
std::vector<ClipVerdict> clipVerdicts(const std::vector<ReportClip>& clips, const std::string& cam,
                                      Store& store, int copiesRequired);

/// First, middle and last index (each once); empty for no clips.
std::set<size_t> spotCheckIndexes(size_t n);

/// A listed card as the menu bar counts it.
enum class CardStanding { finished, running, other };
/// The first of red, yellow, gray, green among the cards; gray for none.
CardColor worstColor(const std::vector<std::pair<CardStanding, CardColor>>& cards);
/// "확인 필요", "사본 부족", "포맷 가능" or "TOLVERDINE", with " " + count when cards are listed.
std::string menuTitle(CardColor worst, size_t cards);

/// The library hit of a report row on root: the first of a search by the clip's file name (300)
/// whose key is the row's and whose dest is root.
std::optional<Hit> reportHit(const std::string& cam, const Row& row, const std::string& root,
                             Store& store);
/// After a move: the job row with the same rel takes the hit's view (mirror storage) or rel as its
/// dest (split storage) and cls. False when there is no such row or hit.
bool refreshReportRow(LastJob& job, const std::string& cam, const Row& row, const std::string& cls,
                      Store& store);

}  // namespace tolverdine

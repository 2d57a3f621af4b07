// The library and report pages: search lists, rule suggestions, moving clips between classes,
// spot check and the reports folder.
#include "app/choices.h"
#include "app/model.h"
#include "engine/store/store_open.h"

#include <utility>

#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/library/library.h"
#include "engine/library/reclassify.h"
#include "platform/app_log.h"
#include "platform/opener.h"

namespace tolverdine {

void Model::runSearch(const std::string& text) {
  searchText_ = text;
  auto lists = tolverdine::runSearch(opt_.dbPath, text);
  if (lists) {
    hits_ = std::move(lists->hits);
    history_ = std::move(lists->history);
    suggestions_ = std::move(lists->suggestions);
  }
  changed();
}

void Model::acceptRule(const Suggestion& s) {
  libraryNote_ = accept(s, presets_, s_.preset, opt_.presetsCustom);
  // The rules page edits this preset: it shows the rule at the top as well, or saving the page
  // would write the list without it.
  if (editingPreset_ == s_.preset) {
    Rule rule;
    rule.cls = s.cls;
    rule.model = s.model;
    std::erase(editingRules_, rule);
    editingRules_.insert(editingRules_.begin(), rule);
  }
  changed();
}

bool Model::reclassifyHit(const Hit& hit, const std::string& cls) {
  OpenedStore store = openStoreAt(opt_.dbPath);
  if (!store) {
    libraryNote_ = "옮기지 못했습니다 — " + store.error;
    changed();
    return false;
  }
  bool moved = false;
  try {
    const std::string to = s_.names().label(cls, {});
    std::string now = reclassify(hit, to, s_.names(), *store);
    libraryNote_ = "옮김: " + lastComponent(hit.rel) + " → " + to;
    log("재분류: " + hit.dest + "/" + hit.classPath() + " → " + now);
    moved = true;
  } catch (const ReclassifyError& e) {
    libraryNote_ = e.description();
  } catch (const std::exception& e) {
    libraryNote_ = std::string("오류 — ") + e.what();
  }
  runSearch(searchText_);
  return moved;
}

bool Model::setReportCard(const std::optional<std::string>& id) {
  reportCard_ = id;
  libraryNote_.reset();
  earlierReport_.reset();
  bool ok = true;
  if (id) {
    if (const EarlierJob* e = earlierEntry(*id)) {
      OpenedStore store = openStoreAt(opt_.dbPath);
      std::optional<LastJob> job = store ? earlierReport(*e, *store) : std::nullopt;
      if (job) {
        // The clip list names the class the clip had then; its place now names the class it has.
        for (auto& r : job->rows)
          if (auto cls = classOfPath(r.view.value_or(r.dest.value_or("")))) r.cls = *cls;
        earlierReport_ = {*id, std::move(*job)};
      } else {
        reportCard_.reset();
        ok = false;
      }
    }
  }
  changed();
  return ok;
}

const EarlierJob* Model::earlierEntry(const std::string& key) const {
  for (const auto& e : earlier_)
    if (e.key == key) return &e;
  return nullptr;
}

void Model::refreshEarlier() {
  std::vector<std::string> dests = s_.dests;
  std::string project = s_.project;
  std::vector<std::string> reports = {NameSet::ko().reports, NameSet::en().reports};
  std::time_t before = startedAtWall_;
  background([dests, project, reports, before, this]() -> std::function<void()> {
    std::vector<EarlierJob> found = earlierJobs(dests, project, reports, kEarlierLimit + 20);
    // This run's cards are in the finished list.
    std::erase_if(found, [&](const EarlierJob& e) { return e.at >= before; });
    if (found.size() > kEarlierLimit) found.resize(kEarlierLimit);
    return [this, found = std::move(found)]() mutable {
      earlier_ = std::move(found);
      changed();
    };
  });
}

// A report is opened by a finished card's key, so it stays after the card left the list; a listed
// card's own id still opens its last job.
const LastJob* Model::reportJob() const {
  if (!reportCard_) return nullptr;
  if (earlierReport_ && earlierReport_->first == *reportCard_) return &earlierReport_->second;
  for (const auto& f : finished_)
    if (f.key == *reportCard_) return f.job ? &*f.job : nullptr;
  auto it = lastJob_.find(*reportCard_);
  return it == lastJob_.end() ? nullptr : &it->second;
}

LastJob* Model::reportJobMutable() {
  return const_cast<LastJob*>(std::as_const(*this).reportJob());
}

std::string Model::reportName() const {
  if (!reportCard_) return {};
  for (const auto& f : finished_)
    if (f.key == *reportCard_) return f.name;
  if (const EarlierJob* e = earlierEntry(*reportCard_)) return e->name();
  const CardItem* c = card(*reportCard_);
  return c ? c->name : std::string();
}

std::string Model::reportCam() const {
  if (!reportCard_) return {};
  for (const auto& f : finished_)
    if (f.key == *reportCard_) return f.cam;
  if (const EarlierJob* e = earlierEntry(*reportCard_)) return e->cam;
  const CardItem* c = card(*reportCard_);
  return c ? c->cam : std::string();
}

std::vector<ReportClip> Model::reportClips() const {
  const LastJob* job = reportJob();
  if (!job) return {};
  return tolverdine::reportClips(std::string("report"), LastJobs{{"report", *job}});
}

bool Model::reclassifyClip(const Row& row, const std::string& cls) {
  const LastJob* job = reportJob();
  if (!job || job->roots.empty()) return false;
  const std::string root = job->roots.front();
  const std::string cam = reportCam();
  OpenedStore store = openStoreAt(opt_.dbPath);
  if (!store) {
    libraryNote_ = "옮기지 못했습니다 — " + store.error;
    changed();
    return false;
  }
  std::optional<Hit> hit = reportHit(cam, row, root, *store);
  if (!hit) {
    libraryNote_ =
        "옮기지 못했습니다 — 데이터베이스에서 이 카드의 사본을 하나로 찾지 못했습니다: " +
        lastComponent(row.src);
    changed();
    return false;
  }
  bool moved = reclassifyHit(*hit, cls);
  if (!moved) return false;  // the report keeps showing the class the clip still has
  LastJob* again = reportJobMutable();
  if (again && refreshReportRow(*again, cam, row, cls, *store)) changed();
  return true;
}

void Model::spotCheck() {
  auto clips = reportClips();
  for (size_t i : spotCheckIndexes(clips.size())) svc_.opener.open(clips[i].path);
}

void Model::openReportFolder() {
  const LastJob* job = reportJob();
  if (!job || job->roots.empty()) return;
  svc_.opener.open(job->roots.front() + "/" + s_.names().reports);
}

}  // namespace tolverdine

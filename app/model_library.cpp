// The library and report pages: search lists, rule suggestions, moving clips between classes,
// spot check and the reports folder.
#include "app/model.h"
#include "app/store_open.h"
#include "engine/library.h"
#include "engine/reclassify.h"
#include "engine/text.h"
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
  changed();
}

void Model::reclassifyHit(const Hit& hit, const std::string& cls) {
  OpenedStore store = openStoreAt(opt_.dbPath);
  if (!store) return;
  try {
    const std::string to = s_.names().label(cls, {});
    std::string now = reclassify(hit, to, s_.names(), *store);
    libraryNote_ = "옮김: " + lastComponent(hit.rel) + " → " + to;
    log("재분류: " + hit.dest + "/" + hit.classPath() + " → " + now);
  } catch (const ReclassifyError& e) {
    libraryNote_ = e.description();
  } catch (const std::exception& e) {
    libraryNote_ = std::string("오류 — ") + e.what();
  }
  runSearch(searchText_);
}

std::vector<ReportClip> Model::reportClips() const { return tolverdine::reportClips(reportCard_, lastJob_); }

void Model::reclassifyClip(const Row& row, const std::string& cls) {
  if (!reportCard_) return;
  auto it = lastJob_.find(*reportCard_);
  if (it == lastJob_.end() || it->second.roots.empty()) return;
  const std::string root = it->second.roots.front();
  const CardItem* c = card(*reportCard_);
  const std::string cam = c ? c->cam : std::string();
  OpenedStore store = openStoreAt(opt_.dbPath);
  if (!store) return;
  std::optional<Hit> hit = reportHit(cam, row, root, *store);
  if (!hit) return;
  reclassifyHit(*hit, cls);
  auto again = lastJob_.find(*reportCard_);
  if (again != lastJob_.end() && refreshReportRow(again->second, cam, row, cls, *store)) changed();
}

void Model::spotCheck() {
  auto clips = reportClips();
  for (size_t i : spotCheckIndexes(clips.size())) svc_.opener.open(clips[i].path);
}

void Model::openReportFolder() {
  if (!reportCard_) return;
  auto it = lastJob_.find(*reportCard_);
  if (it == lastJob_.end() || it->second.roots.empty()) return;
  svc_.opener.open(it->second.roots.front() + "/" + s_.names().reports);
}

}  // namespace tolverdine

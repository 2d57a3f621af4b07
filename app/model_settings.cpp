// Settings, destinations and their suggestion, roles, rule editing, the second copy and the
// project file, as operations of the model.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/model.h"
#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "engine/base/system_folder.h"
#include "engine/base/text.h"
#include "engine/copy/mirror.h"
#include "engine/copy/preflight.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/library/library.h"
#include "engine/project/project_file.h"
#include "engine/store/card_status.h"
#include "engine/store/store_open.h"
#include "platform/app_log.h"
#include "platform/clock.h"
#include "platform/login_item.h"
#include "platform/notifier.h"
#include "platform/preferences_store.h"

namespace tolverdine {

namespace {
bool listed(const std::vector<std::string>& v, const std::string& s) {
  for (const auto& x : v)
    if (x == s) return true;
  return false;
}
// path is folder or lies below it, on "/" boundaries: "/media/x/SSD2" is not below "/media/x/SSD".
bool inside(const std::string& path, std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (path == folder) return true;
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

// The first listed folder that is one folder with path or nested with it, of either list.
std::optional<std::string> overlapping(const Settings& s, const std::string& path) {
  for (const auto* list : {&s.dests, &s.cascadeDests})
    for (const auto& d : *list)
      if (sameOrNested(d, path)) return d;
  return std::nullopt;
}

bool isDirectory(const std::string& p) {
  std::error_code ec;
  return std::filesystem::is_directory(p, ec);
}

// Why a folder the person names now cannot be a destination; absent when it can. Checked when
// it is added, so a mistyped path is refused where it was typed, not later by a red card.
std::optional<std::string> newDestinationProblem(const std::string& raw) {
  const std::string path = canonicalPath(raw);
  if (auto why = systemFolderProblem(path, realFs(), raw)) return *why + ": " + raw;
  std::error_code ec;
  auto st = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(st)) return "폴더가 없습니다: " + raw;
  if (!std::filesystem::is_directory(st)) return "폴더가 아니라 파일입니다: " + raw;
  return std::nullopt;
}

// The logo is read by the report writer, whose working folder means nothing to the person.
std::optional<std::string> logoProblem(const nlohmann::json& v) {
  if (!v.is_string() || v.get<std::string>().empty()) return std::nullopt;
  const std::string& p = v.get_ref<const std::string&>();
  if (p[0] != '/') return "\"/\" 로 시작하는 그림 파일 경로를 적으세요: " + p;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(p, ec)) return "그림 파일이 없습니다: " + p;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Model::changeSetting(const std::string& key,
                                                const nlohmann::json& value) {
  // The consent is given through acceptEULA only.
  if (key == "eulaAccepted") return settingLabel(key) + ": 약관 화면의 동의로만 바뀝니다";
  // A preset that does not exist would classify every clip with no rules at all.
  if (key == "preset" && value.is_string() && !presets_.count(value.get<std::string>())) {
    std::string names;
    for (const auto& [name, rules] : presets_) names += (names.empty() ? "" : ", ") + name;
    return settingLabel(key) + ": 없는 프리셋입니다 (" + value.get<std::string>() +
           ") — 목록에서 고르세요: " + names;
  }
  if (key == "logo")
    if (auto why = logoProblem(value)) return settingLabel(key) + ": " + *why;
  if ((key == "dests" || key == "cascadeDests") && value.is_array()) {
    // Only what is added now: a listed drive that is unplugged stays listed.
    const auto& listed = key == "dests" ? s_.dests : s_.cascadeDests;
    for (const auto& d : value)
      if (d.is_string() &&
          std::find(listed.begin(), listed.end(), d.get<std::string>()) == listed.end())
        if (auto why = newDestinationProblem(d.get<std::string>()))
          return settingLabel(key) + ": " + *why;
  }
  if (key == "dests" || key == "cascadeDests") {
    // Two entries that are one folder would count one copy twice; the lists are taken whole or not
    // at all.
    Settings next = s_;
    if (auto refused = next.set(key, value)) return refused;
    std::vector<std::string> all = next.dests;
    all.insert(all.end(), next.cascadeDests.begin(), next.cascadeDests.end());
    if (auto pair = overlappingPair(all)) {
      cascadeNote_ = overlapText(all[pair->first], all[pair->second]);
      changed();
      return settingLabel(key) + ": " + *cascadeNote_;
    }
  }
  if (auto refused = s_.set(key, value)) return refused;
  save(key);
  changed();
  if (key == "cascadeDests") cascade();
  if (key == "project" || key == "dests") refreshEarlier();
  return std::nullopt;
}

std::optional<std::string> Model::addDest(const std::string& raw, bool cascadeList) {
  auto& list = cascadeList ? s_.cascadeDests : s_.dests;
  const std::string path = canonicalPath(raw);
  if (path.empty() || listed(list, path)) return std::nullopt;
  if (auto why = newDestinationProblem(raw))
    return settingLabel(cascadeList ? "cascadeDests" : "dests") + ": " + *why;
  if (auto other = overlapping(s_, path)) {
    cascadeNote_ = overlapText(*other, path);
    changed();
    return cascadeNote_;
  }
  list.push_back(path);
  save(cascadeList ? "cascadeDests" : "dests");
  // Kept (a second folder is a layout choice), but the person learns it is no second copy: a
  // second-copy target on a first destination's drive counts no more than a folder beside it.
  {
    std::vector<std::string> all = s_.dests;
    all.insert(all.end(), s_.cascadeDests.begin(), s_.cascadeDests.end());
    auto notes = sameDriveNotes(all, *systemDrives());
    if (!notes.empty()) cascadeNote_ = notes.front();
  }
  changed();
  if (cascadeList) cascade();
  else refreshEarlier();
  return std::nullopt;
}

void Model::removeDest(const std::string& path, bool cascadeList) {
  auto& list = cascadeList ? s_.cascadeDests : s_.dests;
  if (!std::erase(list, path) && !std::erase(list, canonicalPath(path))) return;
  save(cascadeList ? "cascadeDests" : "dests");
  changed();
  if (cascadeList) cascade();
  else refreshEarlier();
}

void Model::suggestDestination(const std::string& path, const std::optional<std::string>& name) {
  if (svc_.clock.now() - startedAt_ < std::chrono::seconds(5)) return;
  bool under = false;
  for (const auto& p : opt_.destinationPrefixes) under = under || inside(path, p);
  if (!under || ::access(path.c_str(), W_OK) != 0) return;
  for (const auto& d : s_.dests)
    if (inside(d, path)) return;
  for (const auto& d : s_.cascadeDests)
    if (inside(d, path)) return;
  std::string volName = name && !name->empty() ? *name : lastComponent(path);
  if (listed(s_.ignoredVolumes, volName)) return;
  destSuggestion_ = path;
  destSuggestionName_ = volName;
  changed();
}

void Model::acceptSuggestion(bool asCascade) {
  if (!destSuggestion_) return;
  std::string folder = *destSuggestion_ + "/TOLVERDINE";
  destSuggestion_.reset();
  destSuggestionName_.reset();
  if (!mkdirs(folder)) {
    cascadeNote_ = "폴더를 만들지 못했습니다: " + folder + " · " + std::strerror(errno);
    changed();
    return;
  }
  addDest(folder, asCascade);
  changed();
}

void Model::ignoreSuggestion() {
  if (!destSuggestion_) return;
  std::string name = destSuggestionName_.value_or(lastComponent(*destSuggestion_));
  if (!listed(s_.ignoredVolumes, name)) s_.ignoredVolumes.push_back(name);
  save("ignoredVolumes");
  destSuggestion_.reset();
  destSuggestionName_.reset();
  changed();
}

void Model::setRole(const std::string& cam, const std::string& role) {
  s_.roles[cam] = role;
  save("roles");
  changed();
}

void Model::editRules(const std::string& name) {
  editingPreset_ = name;
  auto it = presets_.find(name);
  editingRules_ = it == presets_.end() ? std::vector<Rule>{} : it->second;
  changed();
}

void Model::saveRules(const std::string& name) {
  if (trimSpace(name).empty()) return;
  // A preset without rules would sort every clip into the fallback class without a word.
  if (editingRules_.empty()) {
    libraryNote_ = "규칙이 하나도 없는 프리셋은 저장하지 않습니다";
    changed();
    return;
  }
  try {
    Presets::saveCustom(name, editingRules_, opt_.presetsCustom);
  } catch (const WriteFail& f) {
    libraryNote_ = "저장 실패: " + f.path + " · " + std::strerror(f.err);
    changed();
    return;
  } catch (const std::exception& e) {
    libraryNote_ = std::string("저장 실패: ") + e.what();
    changed();
    return;
  }
  presets_ = Presets::loadAll(opt_.presetsV0, opt_.presetsCustom);
  editingPreset_ = name;
  libraryNote_ = "저장: " + name;
  changed();
}

// ---- Cascade ----

// What a second-copy pass did over all its pairs.
struct CascadeTally {
  long long copied = 0, failed = 0;
  long long halted = 0;            // pairs whose target or database stopped the run
  long long unlisted = 0;          // targets whose hash list could not be written
  std::vector<std::string> lines;  // for the application log
};

namespace {
// Each verified folder onto its target in turn, with its hash list; shown gets the live counts,
// a few times a second at most, from this thread.
CascadeTally mirrorPairs(const std::vector<std::pair<std::string, std::string>>& pairs,
                         const NameSet& names, const std::string& db,
                         const std::function<void(const Model::CascadeLive&)>& shown) {
  CascadeTally t;
  for (const auto& [src, target] : pairs) {
    OpenedStore store = openStoreAt(db);
    if (!store) {
      t.lines.push_back("2차 복사 멈춤: " + lastComponent(src) + " → " + parentPath(target) +
                        " · " + store.error);
      ++t.halted;
      continue;
    }
    MirrorResult r;
    auto last = std::chrono::steady_clock::time_point{};
    const std::string to = parentPath(target);
    int64_t bytesDone = 0, bytesTotal = 0;  // the run reports them just before each file
    auto onBytes = [&](int64_t done, int64_t total) {
      bytesDone = done;
      bytesTotal = total;
    };
    auto onFile = [&, to](int n, int count, const std::string& name) {
      auto now = std::chrono::steady_clock::now();
      if (n < count && now - last < std::chrono::milliseconds(200)) return;
      last = now;
      shown(Model::CascadeLive{n, count, name, to, bytesDone, bytesTotal});
    };
    std::optional<std::string> stopped;
    try {
      r = mirrorAndList(src, target, *store, names, availableBytes, onFile, onBytes);
    } catch (const IngestStop& e) {  // the target is gone or full
      stopped = e.description();
    } catch (const StoreError& e) {
      stopped = e.description();
    } catch (const WriteFail& e) {
      stopped = e.path + " · " + std::strerror(e.err);
    } catch (const std::exception& e) {  // would otherwise leave the cascade marked as running
      stopped = e.what();
    }
    if (stopped) {
      t.lines.push_back("2차 복사 멈춤: " + lastComponent(src) + " → " + to + " · " + *stopped);
      ++t.halted;
      continue;  // the next pair may still work
    }
    // The copies are verified but the target holds no list of them: the user must know.
    if (r.hashListFail) {
      t.lines.push_back("해시 목록 실패: " + r.hashListFail->path + " · " +
                        std::strerror(r.hashListFail->err));
      ++t.unlisted;
    }
    if (!r.unlisted.empty()) t.lines.push_back(unlistedLine(r.unlisted));
    t.copied += r.copied;
    t.failed += static_cast<long long>(r.failed.size());
    if (r.copied > 0 || !r.failed.empty())
      t.lines.push_back("2차 복사 " + lastComponent(src) + " → " + parentPath(target) + ": " +
                        std::to_string(r.copied) + "개, 실패 " + std::to_string(r.failed.size()) +
                        (r.failed.empty() ? std::string() : " (" + r.failed.front().why + ")"));
  }
  return t;
}
}  // namespace

std::vector<std::pair<std::string, std::string>> Model::cascadePairs() {
  std::vector<std::string> targets;
  for (const auto& t : s_.cascadeDests)
    if (isDirectory(t)) targets.push_back(t);
  if (targets.empty()) return {};
  OpenedStore store = openStoreAt(opt_.dbPath);
  if (!store) return {};
  std::vector<std::string> roots = store->verifiedRoots();
  store.store.reset();
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& root : roots) {
    if (!listed(s_.dests, parentPath(root)) || !isDirectory(root)) continue;
    for (const auto& t : targets)
      if (!sameOrNested(root, t))
        pairs.push_back({root, t + "/" + lastComponent(root)});  // never into itself
  }
  return pairs;
}

void Model::cascade() {
  if (running_ > 0 || cascading_ || s_.cascadeDests.empty()) return;
  for (const auto& c : cards_)
    if (c.phase.is<Phase::Queued>()) return;
  auto pairs = cascadePairs();
  if (pairs.empty()) return;
  cascading_ = true;
  cascadeLive_ = CascadeLive{0, 0, "", parentPath(pairs.front().second)};
  changed();
  NameSet names = s_.names();
  auto db = opt_.dbPath;
  Scheduler& mainLoop = svc_.main;
  std::weak_ptr<bool> weak = alive_;
  background([=, this, &mainLoop]() -> std::function<void()> {
    // The page shows the second copy while it runs.
    auto shown = [this, weak, &mainLoop](const CascadeLive& live) {
      mainLoop.post([this, weak, live] {
        if (auto a = weak.lock(); !a || !*a || !cascading_) return;
        cascadeLive_ = live;
        changed(Change::progress);
      });
    };
    CascadeTally t = mirrorPairs(pairs, names, db, shown);
    return [this, t] { cascadeDone(t); };
  });
}

void Model::cascadeDone(const CascadeTally& t) {
  cascading_ = false;
  cascadeLive_.reset();
  for (const auto& l : t.lines) log(l);
  const bool trouble = t.failed > 0 || t.halted > 0 || t.unlisted > 0;
  if (t.copied == 0 && !trouble) {
    changed();
    pump(false);
    return;
  }
  std::string note = "2차 복사 " + std::to_string(t.copied) + "개";
  if (t.failed > 0) note += " · 실패 " + std::to_string(t.failed) + "개";
  if (t.halted > 0) note += " · 멈춤 " + std::to_string(t.halted) + "곳";
  if (t.unlisted > 0) note += " · 해시 목록 실패 " + std::to_string(t.unlisted) + "곳";
  if (trouble) note += " — 로그 확인";
  cascadeNote_ = note;
  notify(trouble ? "2차 복사 확인 필요" : "2차 복사 끝", note, trouble);
  webhook("[" + s_.project + "] " + note);
  changed();
  recheckYellow();
  pump(false);
}

void Model::recheckYellow() {
  OpenedStore store = openStoreAt(opt_.dbPath);
  if (!store) return;
  std::vector<std::string> ids;
  for (const auto& c : cards_) {
    auto* f = c.phase.get<Phase::Finished>();
    if (!f || f->color != CardColor::yellow || !isDirectory(c.path) || gone_.count(c.id)) continue;
    // Another card may now be mounted at this path: only the volume the card was read from counts.
    if (c.volume && opt_.volumeId && opt_.volumeId(c.path) != c.volume) continue;
    CardStatus st =
        cardStatus(c.files, *store, s_.copies, std::nullopt, cardDrive(c.path, store->drives()));
    if (st.alreadyBackedUp() && !c.incomplete) ids.push_back(c.id);
  }
  for (const auto& id : ids)
    finish(id, CardColor::green,
           "2차 복사로 검증 사본 " + std::to_string(s_.copies) + "곳 채움 — 카메라에서 포맷하세요");
}

// ---- Project file ----

void Model::applyProject(const ProjectFile& f) {
  s_.project = f.name;
  s_.projectDate = f.date;
  s_.dests = f.destinations;
  s_.cascadeDests = f.cascadeDestinations;
  s_.copies = f.copiesRequired;
  s_.verifyMode = verifyModeText(f.verify);
  s_.md5 = f.md5;
  s_.storageMode = storageText(f.storage);
  s_.english = f.nameSet == "en";
  for (const char* k : {"project", "projectDate", "dests", "cascadeDests", "copies", "verify",
                        "md5", "storage", "names"})
    save(k);
  refreshEarlier();
  auto it = presets_.find(f.preset);
  if (it == presets_.end() || it->second != f.rules) {
    try {
      Presets::saveCustom(f.preset, f.rules, opt_.presetsCustom);
    } catch (const WriteFail& e) {
      cascadeNote_ = "불러오기 실패: " + e.path + " · " + std::strerror(e.err);
    } catch (const std::exception& e) {
      cascadeNote_ = std::string("불러오기 실패: ") + e.what();
    }
    presets_ = Presets::loadAll(opt_.presetsV0, opt_.presetsCustom);
  }
  s_.preset = f.preset;
  save("preset");
  if (OpenedStore store = openStoreAt(opt_.dbPath)) store->importCameras(f.cameras);
  log("프로젝트 파일 불러옴: " + f.name);
  changed();
  cascade();
}

bool Model::exportProject(const std::string& path) {
  ProjectFile f;
  f.name = s_.project;
  f.date = s_.projectDate;
  f.preset = s_.preset;
  f.rules = Presets::rulesFor(presets_, s_.preset);
  f.nameSet = s_.english ? "en" : "ko";
  f.destinations = s_.dests;
  f.cascadeDestinations = s_.cascadeDests;
  f.copiesRequired = s_.copies;
  f.verify = s_.verify();
  f.md5 = s_.md5;
  f.storage = s_.storage();
  if (OpenedStore store = openStoreAt(opt_.dbPath)) f.cameras = store->allCameras();
  try {
    writeProjectFile(path, f);
  } catch (const ProjectFileError& e) {
    cascadeNote_ = "내보내기 실패: " + e.message;
    changed();
    return false;
  } catch (const WriteFail& e) {
    cascadeNote_ = "내보내기 실패: " + e.path + " · " + std::strerror(e.err);
    changed();
    return false;
  } catch (const std::exception& e) {
    cascadeNote_ = std::string("내보내기 실패: ") + e.what();
    changed();
    return false;
  }
  log("프로젝트 파일 내보냄: " + path);
  return true;
}

bool Model::importProject(const std::string& path) {
  auto d = ProjectFile::read(path);
  if (!d) {
    cascadeNote_ = "불러오기 실패: " + d.error.message;
    changed();
    return false;
  }
  applyProject(*d.file);
  return true;
}

// ---- Terms, folder checks, login item ----

void Model::acceptEULA() {
  s_.eulaAccepted = opt_.terms.fingerprint;
  save("eulaAccepted");
  showOnboarding_ = false;
  log(acceptanceLogLine(opt_.terms));
  changed();
  checkPermissions();
}

void Model::checkPermissions() {
  std::vector<std::string> cardPaths;
  for (const auto& c : cards_) cardPaths.push_back(c.path);
  permChecks_ = permissionList(s_.dests, s_.cascadeDests, cardPaths);
  changed();
  for (const auto& check : permChecks_) {
    std::string path = check.path;
    bool write = check.write;
    background([=, this]() -> std::function<void()> {
      int err = write ? probeWrite(path) : probeRead(path);
      return [=, this] {
        if (applyPermResult(permChecks_, path, write, err)) changed();
        log(permLogLine(path, write, err));
      };
    });
  }
  svc_.main.after(std::chrono::milliseconds(5000), [this, alive = alive_] {
    if (!*alive) return;
    markUnanswered(permChecks_);
    changed();
  });
}

bool Model::loginItem() const {
  if (!loginItemOn_) loginItemOn_ = LoginItem(opt_.loginItem).enabled();
  return *loginItemOn_;
}

void Model::setLoginItem(bool on) {
  LoginItem item(opt_.loginItem);
  auto err = item.set(on);
  if (err) loginItemNote_ = loginItemFailureNote(*err);
  else loginItemNote_.reset();
  loginItemOn_ = item.enabled();
  log(loginItemLogLine(on, *loginItemOn_ ? 1 : 0, loginItemNote_));
  changed();
}

}  // namespace tolverdine

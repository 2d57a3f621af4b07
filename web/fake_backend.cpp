#include "web/fake_backend.h"

#include <algorithm>

#include "app/card_actions.h"
#include "app/choices.h"
#include "app/settings.h"
#include "web/setting_labels.h"

namespace tolverdine::web {

using nlohmann::json;

namespace {

bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\n") - b + 1);
}

}  // namespace

FakeBackend::FakeBackend() {
  // What the application shows for unset settings; the demo starts cards on its own.
  const Settings defaults;
  for (const auto& key : settingKeys())
    if (auto v = defaults.shown(key); v && key != "dests" && key != "cascadeDests")
      settings_[key] = *v;
  settings_["autoStart"] = true;
  // The library that the demo's search runs over.
  for (const auto& [name, cls] : std::vector<std::pair<std::string, std::string>>{
           {"C0012.MP4", "인터뷰"}, {"C0013.MP4", "풀샷"}, {"C0014.MP4", "인서트"}}) {
    std::string rel = "A캠/1_0930-1015/" + cls + "/" + name;
    hits_.push_back({{"id", "A캠|PRIVATE/M4ROOT/CLIP/" + name + "|/dest1/20261207_데모"},
                     {"name", name},
                     {"cam", "A캠"},
                     {"classPath", rel},
                     {"dest", "/dest1/20261207_데모"},
                     {"online", true},
                     {"cls", cls}});
  }
}

void FakeBackend::subscribe(std::function<void(Change)> onChange) {
  std::lock_guard lk(mu_);
  onChange_ = std::move(onChange);
}

void FakeBackend::changed(Change c) {
  std::function<void(Change)> f;
  {
    std::lock_guard lk(mu_);
    f = onChange_;
  }
  if (f) f(c);
}

json* FakeBackend::findCard(const std::string& id) {
  for (auto& c : cards_)
    if (c["id"] == id) return &c;
  return nullptr;
}

json FakeBackend::cardJson(const json& card) const {
  json c = card;
  const std::string phase = c["phase"];
  // The buttons are the application's, as the real page gets them.
  CardItem item;
  if (phase == "waiting")
    item.phase.value = Phase::Waiting{
        c["countdown"].is_number() ? std::optional<int>(c["countdown"].get<int>()) : std::nullopt};
  else if (phase == "finished")
    item.phase.value =
        Phase::Finished{c["color"] == "green" ? CardColor::green : CardColor::red, ""};
  else if (phase == "running") item.phase.value = Phase::Running{};
  else if (phase == "queued") item.phase.value = Phase::Queued{};
  item.dateMismatch = c.value("dateMismatch", false);
  if (c.value("twin", false)) item.status = CardStatus::twin(c.value("cam", ""), 0);
  json actions = json::array();
  for (const auto& a : cardActions(item, phase == "finished"))
    actions.push_back({{"op", a.op}, {"label", a.label}});
  c["actions"] = actions;
  c["report"] = phase == "finished" ? json("job-" + c["name"].get<std::string>()) : json(nullptr);
  if (!c.contains("outcomes")) c["outcomes"] = json::array();
  return c;
}

json FakeBackend::state() {
  std::lock_guard lk(mu_);
  ++snapshots_;
  json s;
  std::string worst = cards_.empty() ? "gray" : "green";
  for (const auto& c : cards_) {
    std::string col = c["phase"] == "finished"  ? c["color"].get<std::string>()
                      : c["phase"] == "running" ? "red"
                                                : "gray";
    for (const char* w : {"red", "yellow", "gray"})
      if (col == w || worst == w) {
        worst = w;
        break;
      }
  }
  static const std::map<std::string, std::string> titles = {{"red", "확인 필요"},
                                                            {"yellow", "사본 부족"},
                                                            {"green", "포맷 가능"},
                                                            {"gray", "TOLVERDINE"}};
  std::string title = titles.at(worst);
  if (!cards_.empty()) title += " " + std::to_string(cards_.size());
  s["menu"] = {{"color", worst}, {"title", title}};
  s["ready"] = !trim(settings_.value("project", "")).empty() && !dests_.empty();
  s["running"] = 0;
  s["cascading"] = false;
  s["cards"] = json::array();
  for (const auto& c : cards_) s["cards"].push_back(cardJson(c));
  auto destList = [](const json& paths) {
    json out = json::array();
    for (const auto& p : paths) out.push_back({{"path", p}, {"state", "쓰기 됨"}, {"ok", true}});
    return out;
  };
  s["dests"] = destList(dests_);
  s["cascadeDests"] = destList(cascadeDests_);
  s["suggestion"] = nullptr;
  s["cascadeNote"] = nullptr;
  s["cascadeLive"] = nullptr;
  s["finished"] = finished_;
  s["earlier"] = nlohmann::json::array();
  json fields = json::array();
  for (auto f : settingFields()) {
    std::string key = f["key"];
    if (key == "eulaAccepted") continue;
    if (key == "dests") f["value"] = dests_;
    else if (key == "cascadeDests") f["value"] = cascadeDests_;
    else f["value"] = settings_.contains(key) ? settings_[key] : json(nullptr);
    fields.push_back(f);
  }
  s["settings"] = fields;
  s["onboarding"] = {{"show", showOnboarding_},
                     {"accepted", accepted_},
                     {"terms",
                      "# 사용 약관\n\n이 프로그램은 복사본을 검증하지만, 카드를 포맷하기 전 "
                      "판단은 사용자의 몫입니다."}};
  s["permChecks"] = json::array();
  s["loginItemNote"] = nullptr;
  json hits = json::array();
  if (!trim(searchText_).empty())
    for (const auto& h : hits_)
      if (contains(h["name"], trim(searchText_)) || contains(h["classPath"], trim(searchText_)) ||
          contains(h["cam"], trim(searchText_)))
        hits.push_back(h);
  s["library"] = {{"searchText", searchText_},
                  {"hits", hits},
                  {"history", json::array({{{"fingerprint", "9f2c4e1a7b3d5c60"},
                                            {"cam", "A캠"},
                                            {"files", 3},
                                            {"bytes", 3000000000LL},
                                            {"firstSeen", "2026-12-07 18:30"},
                                            {"lastSeen", "2026-12-07 18:30"}}})},
                  {"suggestions", json::array({{{"model", "FX3"}, {"cls", "풀샷"}, {"count", 5}}})},
                  {"preset", settings_["preset"]},
                  {"classes", classNames()},
                  {"note", nullptr}};
  json roleChoicesJson = json::array();
  for (const auto& [value, label] : roleChoices())
    roleChoicesJson.push_back({{"value", value}, {"label", label}});
  s["rules"] = {
      {"preset", settings_["preset"]},
      {"presets", {"default", "행사", "실황", "인터뷰"}},
      {"editingPreset", "default"},
      {"editingRules", json::array({{{"class", "슬레이트"}, {"max_sec", 2}},
                                    {{"class", "풀샷"}, {"min_sec", 600}},
                                    {{"class", "인터뷰"}, {"min_sec", 300}, {"min_ch", 2}},
                                    {{"class", "인서트"}, {"max_sec", 120}}})},
      {"roles", json::array({{{"cam", "A캠"}, {"role", "none"}}})},
      {"roleChoices", roleChoicesJson},
      {"classes", classNames()},
      {"note", nullptr}};
  std::string reportName;
  json verdict = nullptr;
  for (const auto& f : finished_)
    if (f["key"] == reportCard_) {
      reportName = f["name"];
      verdict = {
          {"color", f["color"]}, {"text", f["text"]}, {"at", f["at"]}, {"outcomes", f["outcomes"]}};
    }
  json clips = json::array();
  for (const auto& h : hits_)
    clips.push_back(
        {{"rel", h["classPath"]},
         {"path", h["dest"].get<std::string>() + "/" + h["classPath"].get<std::string>()},
         {"name", h["name"]},
         {"cls", h["cls"]},
         {"thumb", nullptr}});
  s["report"] = {{"card", reportCard_.empty() ? json(nullptr) : json(reportCard_)},
                 {"name", reportName},
                 {"cam", "A캠"},
                 {"verdict", verdict},
                 {"clips", reportCard_.empty() ? json::array() : clips},
                 {"classes", classNames()},
                 {"note", reportNote_.empty() ? json(nullptr) : json(reportNote_)}};
  return s;
}

ActionResult FakeBackend::act(const std::string& op, const json& args) {
  ActionResult r;
  Change kind = Change::state;
  {
    std::lock_guard lk(mu_);
    calls_.push_back({op, args});
    std::string id = args.value("id", "");
    json* card = findCard(id);
    if (op == "start" || op == "startAnyway" || op == "keepSlot2") {
      if (!card) return {false, "카드가 없습니다"};
      if (!accepted_) {
        (*card)["note"] = "먼저 사용 약관에 동의하세요";
        (*card)["phase"] = "waiting";
        (*card)["countdown"] = nullptr;
        showOnboarding_ = true;
      } else {
        (*card)["note"] = nullptr;
        (*card)["phase"] = "queued";
      }
    } else if (op == "hold") {
      if (card && (*card)["phase"] == "waiting") (*card)["countdown"] = nullptr;
    } else if (op == "dismiss") {
      cards_.erase(std::remove_if(cards_.begin(), cards_.end(),
                                  [&](const json& c) { return c["id"] == id; }),
                   cards_.end());
    } else if (op == "addDestination" || op == "removeDestination") {
      json& list = args.value("cascade", false) ? cascadeDests_ : dests_;
      std::string path = args.value("path", "");
      auto it = std::find(list.begin(), list.end(), json(path));
      if (op == "removeDestination") {
        if (it != list.end()) list.erase(it);
      } else if (path.empty() || path[0] != '/') {
        r = {false, "절대 경로를 적으세요: " + path};
      } else if (it == list.end()) {
        list.push_back(path);
      }
    } else if (op == "acceptTerms") {
      accepted_ = true;
      showOnboarding_ = false;
      settings_["eulaAccepted"] = "3b1f0c";
    } else if (op == "setSetting") {
      settings_[args.value("key", "")] = args.value("value", json(nullptr));
    } else if (op == "search") {
      searchText_ = args.value("text", "");
    } else if (op == "openReport") {
      reportCard_ = args.value("key", "");
      reportNote_.clear();
    } else if (op == "reclassifyHit" || op == "reclassifyClip") {
      std::string key = op == "reclassifyHit" ? "id" : "classPath";
      std::string want = args.value(op == "reclassifyHit" ? "id" : "rel", "");
      for (auto& h : hits_)
        if (h[key] == want) {
          std::string cls = args.value("cls", "");
          std::string cp = h["classPath"];
          auto slash = cp.rfind('/', cp.rfind('/') - 1);
          h["classPath"] = cp.substr(0, slash + 1) + cls + "/" + h["name"].get<std::string>();
          h["cls"] = cls;
          reportNote_ = "옮김: " + h["name"].get<std::string>() + " → " + cls;
          r.message = reportNote_;
        }
    } else if (op == "exportTree" || op == "spotCheck" || op == "openReportFolder" ||
               op == "verifyTwin" || op == "setRole" || op == "editRules" || op == "setRules" ||
               op == "saveRules" || op == "checkPermissions" || op == "acceptSuggestion" ||
               op == "ignoreSuggestion" || op == "acceptSuggestionRule" || op == "setLoginItem" ||
               op == "exportProject" || op == "importProject") {
      // Recorded only.
    } else {
      return {false, "알 수 없는 동작: " + op};
    }
  }
  changed(kind);
  return r;
}

std::optional<Image> FakeBackend::thumbnail(const std::string&) { return std::nullopt; }

void FakeBackend::mount(const std::string& name, int files, long long bytes,
                        std::optional<int> countdown) {
  {
    std::lock_guard lk(mu_);
    std::string id = "/media/demo/" + name;
    cards_.push_back({{"id", id},
                      {"name", name},
                      {"cam", "A캠"},
                      {"camera", "Sony FX3"},
                      {"phase", "waiting"},
                      {"countdown", countdown ? json(*countdown) : json(nullptr)},
                      {"note", nullptr},
                      {"link", "리더가 5Gbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다"},
                      {"files", files},
                      {"total", bytes},
                      {"done", 0}});
  }
  changed(Change::state);
}

void FakeBackend::tick(long long step) {
  bool any = false, phaseChanged = false;
  {
    std::lock_guard lk(mu_);
    for (auto& c : cards_) {
      std::string phase = c["phase"];
      if (phase == "waiting" && c["countdown"].is_number()) {
        any = true;
        int n = c["countdown"];
        if (n < 1) {
          c["phase"] = accepted_ ? "queued" : "waiting";
          if (!accepted_) {
            c["countdown"] = nullptr;
            c["note"] = "먼저 사용 약관에 동의하세요";
            showOnboarding_ = true;
          }
          phaseChanged = true;
        } else {
          c["countdown"] = n - 1;
        }
      } else if (phase == "queued") {
        c["phase"] = "running";
        c["done"] = 0;
        c["file"] = "준비 중";
        phaseChanged = true;
      } else if (phase == "running") {
        any = true;
        long long total = c["total"], done = std::min(total, c["done"].get<long long>() + step);
        c["done"] = done;
        c["file"] = "PRIVATE/M4ROOT/CLIP/C0012.MP4";
        c["copied"] = done;
        c["verified"] = std::max(0LL, done - step);
        c["stage"] = "복사";
        c["rate"] = step;
        c["eta"] = step > 0 ? (total - done + step - 1) / step : 0;
        if (done >= total) {
          int n = c["files"];
          c["phase"] = "finished";
          c["color"] = "green";
          c["text"] = "복사 " + std::to_string(n) + " · 기존 0 — 검증 사본 " +
                      std::to_string(settings_.value("copies", 2)) +
                      "곳 이상, 카메라에서 포맷하세요";
          json outcomes = json::array();
          for (const auto& d : dests_)
            outcomes.push_back({{"root", d.get<std::string>() + "/20261207_데모"},
                                {"verified", n},
                                {"failed", 0},
                                {"why", nullptr},
                                {"lost", false}});
          c["outcomes"] = outcomes;
          finished_.insert(finished_.begin(), json{{"key", "job-" + c["name"].get<std::string>()},
                                                   {"id", c["id"]},
                                                   {"name", c["name"]},
                                                   {"cam", c["cam"]},
                                                   {"camera", c["camera"]},
                                                   {"color", "green"},
                                                   {"text", c["text"]},
                                                   {"at", "2026-12-07 18:30"},
                                                   {"outcomes", outcomes},
                                                   {"report", true},
                                                   {"listed", true}});
          phaseChanged = true;
        }
      }
    }
  }
  if (phaseChanged) changed(Change::state);
  else if (any) changed(Change::progress);
}

std::vector<FakeBackend::Call> FakeBackend::calls() {
  std::lock_guard lk(mu_);
  return calls_;
}

int FakeBackend::snapshots() {
  std::lock_guard lk(mu_);
  return snapshots_;
}

}  // namespace tolverdine::web

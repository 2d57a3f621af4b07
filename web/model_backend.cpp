#include "web/model_backend.h"

#include <cctype>
#include <ctime>
#include <future>
#include <thread>

#include "app/card_actions.h"
#include "app/choices.h"
#include "engine/base/text.h"
#include "engine/layout/rule_json.h"
#include "web/page_ops.h"
#include "web/setting_labels.h"

namespace tolverdine::web {

using nlohmann::json;

namespace {
json opt(const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); }

// The clip's path as a query value: everything but unreserved characters percent-encoded.
std::string queryEscape(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}
}  // namespace

ModelBackend::ModelBackend(Model& model, Scheduler& main)
    : model_(model), main_(main), mainThread_(std::this_thread::get_id()) {
  model_.observe([this](Model::Change c) {
    std::function<void(Change)> f;
    {
      std::lock_guard<std::mutex> l(m_);
      f = onChange_;
    }
    if (f) f(c == Model::Change::progress ? Change::progress : Change::state);
  });
}

ModelBackend::~ModelBackend() {
  *alive_ = false;
  model_.observe({});
}

template <class T> std::optional<T> ModelBackend::onMain(std::function<T()> fn) {
  // The server may ask from the main thread itself (its first snapshot at start).
  if (std::this_thread::get_id() == mainThread_) return fn();
  auto done = std::make_shared<std::promise<T>>();
  auto result = done->get_future();
  main_.post([fn = std::move(fn), done, alive = alive_] {
    if (*alive) done->set_value(fn());
  });
  // A main loop that no longer runs must not hang the page's request for ever.
  if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return std::nullopt;
  return result.get();
}

json ModelBackend::state() {
  auto s = onMain<json>([this] { return snapshot(); });
  return s ? *s : json::object();
}

ActionResult ModelBackend::act(const std::string& op, const json& args) {
  auto r = onMain<ActionResult>([this, op, args] { return perform(op, args); });
  return r ? *r : ActionResult{false, "응답이 없습니다"};
}

void ModelBackend::subscribe(std::function<void(Change)> onChange) {
  std::lock_guard<std::mutex> l(m_);
  onChange_ = std::move(onChange);
}

std::optional<Image> ModelBackend::thumbnail(const std::string& clipPath) {
  auto listed = onMain<bool>([this, clipPath] {
    for (const auto& c : model_.reportClips())
      if (c.path == clipPath) return true;
    return false;
  });
  if (!listed || !*listed) return std::nullopt;
  // Decoded on the request's own thread, never on the main thread; made once per file version.
  auto cached = thumbs_.get(clipPath);
  ThumbnailCache::Image img;
  if (cached) {
    img = *cached;
  } else {
    auto bytes = makeThumbnail(clipPath);
    if (bytes) img = std::make_shared<const std::vector<uint8_t>>(std::move(*bytes));
    thumbs_.put(clipPath, img);
  }
  if (!img) return std::nullopt;
  return Image{"image/jpeg", std::string(img->begin(), img->end())};
}

namespace {
json outcomesJson(const std::vector<DestOutcome>& outcomes) {
  json out = json::array();
  for (const auto& d : outcomes)
    out.push_back({{"root", d.root},
                   {"verified", d.verified},
                   {"failed", d.failed},
                   {"existing", d.existing},
                   {"why", d.why.empty() ? json(nullptr) : json(d.why)},
                   {"lost", d.lost}});
  return out;
}

// Local wall-clock time "yyyy-MM-dd HH:mm" of a moment.
std::string localTime(std::chrono::system_clock::time_point t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

// The database's UTC text "2026-03-05T09:38:22Z" in local time; unparsable text as it is.
std::string localFromUtc(const std::string& iso) {
  std::tm tm{};
  if (!strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return iso;
  return localTime(std::chrono::system_clock::from_time_t(timegm(&tm)));
}
// An earlier run's colour in the menu bar's words; its job summary keeps no verdict text.
std::string earlierText(const EarlierJob& e) {
  auto color = colorFromText(e.color);
  if (!color || *color == CardColor::gray) return "판정 없음";
  return menuTitle(*color, 0);
}
}  // namespace

json ModelBackend::cardJson(const CardItem& c) {
  json j = {{"id", c.id},
            {"name", c.name},
            {"cam", c.cam},
            {"camera", c.camera.label()},
            {"note", opt(c.note)},
            {"link", opt(readerLinkNotice(c.link))},
            {"files", c.files.size()},
            {"outcomes", outcomesJson(c.outcomes)}};
  if (auto* w = c.phase.get<Phase::Waiting>()) {
    j["phase"] = "waiting";
    j["countdown"] = w->countdown ? json(*w->countdown) : json(nullptr);
  } else if (auto* r = c.phase.get<Phase::Running>()) {
    j["phase"] = "running";
    j["done"] = r->done;
    j["total"] = r->total;
    j["file"] = r->file;
    j["filesDone"] = r->files;
    j["fileCount"] = r->fileCount;
    if (c.live) {
      const LiveBytes& l = *c.live;
      j["copied"] = l.copied;
      j["verified"] = l.readBack ? json(l.verified) : json(nullptr);
      j["stage"] = l.stage;
      j["rate"] = l.rate ? json(*l.rate) : json(nullptr);
      j["eta"] = l.secondsLeft ? json(*l.secondsLeft) : json(nullptr);
    }
  } else if (auto* f = c.phase.get<Phase::Finished>()) {
    j["phase"] = "finished";
    j["color"] = colorText(f->color);
    j["text"] = f->text;
  } else if (c.phase.is<Phase::Queued>()) {
    j["phase"] = "queued";
    // Never two cards of one label at once; else the number of cards copied at once is reached.
    std::string wait = "앞 카드가 끝나기를 기다리는 중 (동시 복사 " +
                       std::to_string(model_.settings().maxParallel()) + "장)";
    for (const auto& other : model_.cards())
      if (other.id != c.id && other.cam == c.cam && other.phase.is<Phase::Running>())
        wait = c.cam + " 카드가 끝나기를 기다리는 중";
    j["wait"] = wait;
  } else {
    j["phase"] = "reading";
  }
  bool hasReport = false;
  if (c.finishedKey)
    for (const auto& f : model_.finishedCards())
      if (f.key == *c.finishedKey) hasReport = f.job.has_value();
  j["report"] = hasReport ? json(*c.finishedKey) : json(nullptr);
  json actions = json::array();
  for (const auto& a : cardActions(c, hasReport))
    actions.push_back({{"op", a.op}, {"label", a.label}});
  j["actions"] = actions;
  return j;
}

namespace {
// A destination list with each folder's last check, so the page can mark the unwritable ones.
json destsJson(const Model& m, const std::vector<std::string>& paths) {
  json out = json::array();
  for (const auto& p : paths) {
    json d = {{"path", p}, {"state", nullptr}, {"ok", nullptr}};
    for (const auto& pc : m.permChecks())
      if (pc.write && pc.path == p) d["state"] = pc.state, d["ok"] = pc.ok;
    out.push_back(d);
  }
  return out;
}

// The settings the page can edit, with their present values.
json settingsJson(const Model& m) {
  json fields = json::array();
  for (auto& f : settingFields()) {
    const std::string key = f["key"];
    // The consent is the onboarding's, not a value to edit or read.
    if (key == "eulaAccepted") continue;
    auto v = m.settings().shown(key);
    f["value"] = v ? *v : json(nullptr);
    // The active preset is picked from the presets that exist, never typed.
    if (key == "preset") {
      f["type"] = "choice";
      f["choices"] = json::array();
      for (const auto& [name, rules] : m.presets())
        f["choices"].push_back({{"value", name}, {"label", name}});
    }
    fields.push_back(f);
  }
  return fields;
}

json finishedJson(const Model& m) {
  json finished = json::array();
  for (const auto& f : m.finishedCards())
    finished.push_back({{"key", f.key},
                        {"id", f.id},
                        {"name", f.name},
                        {"cam", f.cam},
                        {"camera", f.camera},
                        {"color", colorText(f.color)},
                        {"text", f.text},
                        {"at", localTime(f.at)},
                        {"outcomes", outcomesJson(f.outcomes)},
                        {"report", f.job.has_value()},
                        {"listed", m.card(f.id) != nullptr}});
  return finished;
}

json earlierJson(const Model& m) {
  json earlier = json::array();
  for (const auto& e : m.earlierCards()) {
    json dests = json::array();
    for (const auto& r : e.roots) dests.push_back(parentPath(r));
    earlier.push_back({{"key", e.key},
                       {"name", e.name()},
                       {"cam", e.cam},
                       {"color", e.color},
                       {"text", earlierText(e)},
                       {"files", e.files},
                       {"at", localTime(std::chrono::system_clock::from_time_t(e.at))},
                       {"dests", dests},
                       {"failed", e.failed}});
  }
  return earlier;
}

// The library page: search hits, the card history and the rule suggestions.
json libraryJson(const Model& m) {
  json hits = json::array();
  for (const auto& h : m.hits()) {
    auto cls = classOfPath(h.classPath());
    hits.push_back({{"id", h.id()},
                    {"name", h.name()},
                    {"cam", h.cam()},
                    {"classPath", h.classPath()},
                    {"dest", h.dest},
                    {"online", h.online()},
                    {"cls", cls ? json(*cls) : json(nullptr)}});
  }
  json history = json::array();
  for (const auto& r : m.history())
    history.push_back({{"fingerprint", r.fingerprint},
                       {"cam", r.cam},
                       {"files", r.files},
                       {"bytes", r.bytes},
                       {"firstSeen", localFromUtc(r.firstSeen)},
                       {"lastSeen", localFromUtc(r.lastSeen)}});
  json sugg = json::array();
  for (const auto& g : m.suggestions())
    sugg.push_back({{"model", g.model}, {"cls", g.cls}, {"count", g.count}});
  return {{"searchText", m.searchText()},
          {"hits", hits},
          {"history", history},
          {"suggestions", sugg},
          {"preset", m.settings().preset},
          {"classes", classNames()},
          {"note", opt(m.libraryNote())}};
}

// The rules page: presets, the rules being edited, and the role of every camera label known.
json rulesJson(const Model& m) {
  const Settings& st = m.settings();
  json presets = json::array();
  for (const auto& [name, rules] : m.presets()) presets.push_back(name);
  json editing = json::array();
  for (const auto& r : m.editingRules()) editing.push_back(encodeRule(r));
  std::set<std::string> cams;
  for (const auto& c : m.cards())
    if (!c.cam.empty()) cams.insert(c.cam);
  for (const auto& [cam, role] : st.roles) cams.insert(cam);
  json roles = json::array();
  for (const auto& cam : cams) {
    auto it = st.roles.find(cam);
    roles.push_back({{"cam", cam}, {"role", it == st.roles.end() ? "none" : it->second}});
  }
  json roleNames = json::array();
  for (const auto& [value, label] : roleChoices())
    roleNames.push_back({{"value", value}, {"label", label}});
  return {{"preset", st.preset},
          {"presets", presets},
          {"editingPreset", m.editingPreset()},
          {"editingRules", editing},
          {"roles", roles},
          {"roleChoices", roleNames},
          {"classes", classNames()},
          {"note", opt(m.libraryNote())}};
}

// The open report: its clips with their classes and the card's verdict, finished or earlier.
json reportJson(const Model& m) {
  json clips = json::array();
  for (const auto& c : m.reportClips())
    clips.push_back({{"rel", c.row.rel},
                     {"path", c.path},
                     {"name", lastComponent(c.path)},
                     {"cls", c.row.cls},
                     {"thumb", "/thumb?path=" + queryEscape(c.path)}});
  json report = {{"card", opt(m.reportCard())}, {"name", m.reportName()},
                 {"cam", m.reportCam()},        {"clips", clips},
                 {"classes", classNames()},     {"note", opt(m.libraryNote())},
                 {"verdict", nullptr}};
  for (const auto& e : m.earlierCards())
    if (m.reportCard() && e.key == *m.reportCard())
      report["verdict"] = {{"color", e.color},
                           {"text", earlierText(e)},
                           {"at", localTime(std::chrono::system_clock::from_time_t(e.at))},
                           {"outcomes", json::array()}};
  for (const auto& f : m.finishedCards())
    if (m.reportCard() && f.key == *m.reportCard())
      report["verdict"] = {{"color", colorText(f.color)},
                           {"text", f.text},
                           {"at", localTime(f.at)},
                           {"outcomes", outcomesJson(f.outcomes)}};
  return report;
}
}  // namespace

json ModelBackend::snapshot() {
  const Model& m = model_;
  const Settings& st = m.settings();
  json s;
  CardColor worst = m.worst();
  s["menu"] = {{"color", colorText(worst)}, {"title", menuTitle(worst, m.cards().size())}};
  s["ready"] = st.ready();
  s["running"] = m.running();
  s["cascading"] = m.cascading();
  s["cards"] = json::array();
  for (const auto& c : m.cards()) s["cards"].push_back(cardJson(c));
  s["dests"] = destsJson(m, st.dests);
  s["cascadeDests"] = destsJson(m, st.cascadeDests);
  if (m.destSuggestion()) {
    s["suggestion"] = {{"path", *m.destSuggestion()},
                       {"name", m.destSuggestionName().value_or("")}};
  } else {
    s["suggestion"] = nullptr;
  }
  s["cascadeNote"] = opt(m.cascadeNote());
  s["settings"] = settingsJson(m);
  if (auto& live = m.cascadeLive()) {
    s["cascadeLive"] = {{"done", live->done},           {"count", live->count},
                        {"name", live->name},           {"target", live->target},
                        {"bytesDone", live->bytesDone}, {"bytesTotal", live->bytesTotal}};
  } else {
    s["cascadeLive"] = nullptr;
  }
  s["finished"] = finishedJson(m);
  s["earlier"] = earlierJson(m);
  s["onboarding"] = {
      {"show", m.showOnboarding()}, {"accepted", m.eulaAccepted()}, {"terms", m.terms().text}};
  s["permChecks"] = json::array();
  for (const auto& pc : m.permChecks())
    s["permChecks"].push_back(
        {{"path", pc.path}, {"write", pc.write}, {"state", pc.state}, {"ok", pc.ok}});
  s["loginItem"] = m.loginItem();
  s["loginItemNote"] = opt(m.loginItemNote());
  s["library"] = libraryJson(m);
  s["rules"] = rulesJson(m);
  s["report"] = reportJson(m);
  return s;
}

ActionResult ModelBackend::perform(const std::string& op, const json& args) {
  auto r = runPageOp(model_, op, args);
  return r ? *r : ActionResult{false, "알 수 없는 동작: " + op};
}

}  // namespace tolverdine::web

#include "web/page_ops.h"

#include <map>
#include <string>
#include <vector>

#include "app/choices.h"
#include "engine/layout/rule_json.h"

namespace tolverdine::web {

using nlohmann::json;

namespace {

std::string str(const json& args, const char* key) {
  auto it = args.find(key);
  return it != args.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool flag(const json& args, const char* key) { return args.is_object() && args.value(key, false); }

// Files the page names are written or read by the server, whose working folder means nothing
// to the user: only absolute paths.
std::optional<ActionResult> notAbsolute(const std::string& path) {
  if (path.empty() || path[0] != '/') return ActionResult{false, "절대 경로를 적으세요: " + path};
  return std::nullopt;
}

// ---- Cards ----

// An operation on a listed card, by its "id".
template <class F> ActionResult onCard(Model& m, const json& args, F&& f) {
  const std::string id = str(args, "id");
  if (m.card(id) == nullptr) return {false, "카드가 없습니다"};
  f(id);
  return {};
}

ActionResult start(Model& m, const json& a) {
  return onCard(m, a, [&](const std::string& id) { m.start(id, false); });
}
ActionResult startAnyway(Model& m, const json& a) {
  return onCard(m, a, [&](const std::string& id) { m.start(id, true); });
}
ActionResult hold(Model& m, const json& a) {
  return onCard(m, a, [&](const std::string& id) { m.hold(id); });
}
ActionResult dismiss(Model& m, const json& a) {
  return onCard(m, a, [&](const std::string& id) { m.dismiss(id); });
}
ActionResult keepSlot2(Model& m, const json& a) {
  return onCard(m, a, [&](const std::string& id) { m.keepSlot2(id); });
}
ActionResult verifyTwin(Model& m, const json& a) {
  return onCard(m, a, [&](const std::string& id) { m.verifyTwinCard(id); });
}

ActionResult exportTree(Model& m, const json& a) {
  std::string path = str(a, "path");
  if (auto refused = notAbsolute(path)) return *refused;
  auto err = m.exportTree(str(a, "id"), path, a.value("replace", false));
  if (err) return {false, err->text, err->exists};
  return {};
}

ActionResult openReport(Model& m, const json& a) {
  const std::string key = str(a, "key");
  // A finished card's key, so the report opens after the card was ejected.
  for (const auto& f : m.finishedCards())
    if (f.key == key && f.job) return m.setReportCard(f.key), ActionResult{};
  // An earlier card's report is read from its destination's clip list and the database.
  for (const auto& e : m.earlierCards())
    if (e.key == key) {
      if (m.setReportCard(e.key)) return {};
      return {false, "이 카드의 리포트를 읽지 못했습니다: " + e.csv};
    }
  return {false, "이 카드의 리포트가 없습니다"};
}

// ---- Destinations and settings ----

ActionResult addDestination(Model& m, const json& a) {
  std::string path = str(a, "path");
  if (auto refused = notAbsolute(path)) return *refused;
  if (auto refused = m.addDest(path, flag(a, "cascade"))) return {false, *refused};
  return {};
}
ActionResult removeDestination(Model& m, const json& a) {
  return m.removeDest(str(a, "path"), flag(a, "cascade")), ActionResult{};
}
ActionResult acceptSuggestion(Model& m, const json& a) {
  return m.acceptSuggestion(flag(a, "cascade")), ActionResult{};
}
ActionResult ignoreSuggestion(Model& m, const json&) {
  return m.ignoreSuggestion(), ActionResult{};
}

ActionResult setSetting(Model& m, const json& a) {
  if (!a.is_object()) return {false, "이 값은 쓸 수 없습니다"};
  if (auto refused = m.changeSetting(str(a, "key"), a.value("value", json(nullptr))))
    return {false, *refused};
  return {};
}

ActionResult setRole(Model& m, const json& a) {
  std::string role = str(a, "role");
  if (!isRoleChoice(role)) return {false, "알 수 없는 역할: " + role};
  m.setRole(str(a, "cam"), role);
  return {};
}

ActionResult acceptTerms(Model& m, const json&) { return m.acceptEULA(), ActionResult{}; }
ActionResult checkPermissions(Model& m, const json&) {
  return m.checkPermissions(), ActionResult{};
}
ActionResult setLoginItem(Model& m, const json& a) {
  return m.setLoginItem(flag(a, "on")), ActionResult{};
}

// ---- Library and report ----

ActionResult search(Model& m, const json& a) { return m.runSearch(str(a, "text")), ActionResult{}; }

ActionResult acceptSuggestionRule(Model& m, const json& a) {
  for (const auto& s : m.suggestions())
    if (s.model == str(a, "model") && s.cls == str(a, "cls"))
      return m.acceptRule(s), ActionResult{};
  return {false, "제안이 없습니다"};
}

ActionResult reclassifyHit(Model& m, const json& a) {
  const std::string id = str(a, "id");
  for (const auto& h : m.hits())
    if (h.id() == id) {
      Hit hit = h;  // the move refreshes the hits
      bool moved = m.reclassifyHit(hit, str(a, "cls"));
      return {moved, m.libraryNote().value_or("")};
    }
  return {false, "검색 결과에 없는 클립입니다"};
}

ActionResult reclassifyClip(Model& m, const json& a) {
  for (const auto& c : m.reportClips())
    if (c.row.rel == str(a, "rel")) {
      // The move's own message (success or why not) is shown where it was made.
      bool moved = m.reclassifyClip(c.row, str(a, "cls"));
      return {moved, m.libraryNote().value_or("")};
    }
  return {false, "리포트에 없는 클립입니다"};
}

ActionResult spotCheck(Model& m, const json&) { return m.spotCheck(), ActionResult{}; }
ActionResult openReportFolder(Model& m, const json&) {
  return m.openReportFolder(), ActionResult{};
}

// ---- Rules and project ----

ActionResult editRules(Model& m, const json& a) {
  return m.editRules(str(a, "name")), ActionResult{};
}

ActionResult setRules(Model& m, const json& a) {
  std::vector<Rule> rules;
  if (a.is_object() && a.contains("rules") && a["rules"].is_array())
    for (const auto& r : a["rules"]) {
      auto rule = decodeRule(r);
      if (!rule) return {false, "규칙을 읽지 못했습니다"};
      rules.push_back(*rule);
    }
  m.setEditingRules(std::move(rules));
  return {};
}

ActionResult saveRules(Model& m, const json& a) {
  return m.saveRules(str(a, "name")), ActionResult{};
}

// The project file's errors are the model's note.
template <bool (Model::*Step)(const std::string&)>
ActionResult projectFile(Model& m, const json& a) {
  std::string path = str(a, "path");
  if (auto refused = notAbsolute(path)) return *refused;
  if (!(m.*Step)(path)) return {false, m.cascadeNote().value_or("")};
  return {};
}

// What each argument must be when the page sends it: a request is refused whole when one is of
// another type, before any step runs (a number where a flag belongs once ended the server).
enum class Arg { text, flag, list, any };

struct Entry {
  PageOp step;
  std::vector<std::pair<std::string_view, Arg>> args;
};

const std::map<std::string_view, Entry>& table() {
  static const std::map<std::string_view, Entry> ops = {
      {"start", {start, {{"id", Arg::text}}}},
      {"startAnyway", {startAnyway, {{"id", Arg::text}}}},
      {"hold", {hold, {{"id", Arg::text}}}},
      {"dismiss", {dismiss, {{"id", Arg::text}}}},
      {"keepSlot2", {keepSlot2, {{"id", Arg::text}}}},
      {"verifyTwin", {verifyTwin, {{"id", Arg::text}}}},
      {"exportTree",
       {exportTree, {{"id", Arg::text}, {"path", Arg::text}, {"replace", Arg::flag}}}},
      {"openReport", {openReport, {{"key", Arg::text}}}},
      {"addDestination", {addDestination, {{"path", Arg::text}, {"cascade", Arg::flag}}}},
      {"removeDestination", {removeDestination, {{"path", Arg::text}, {"cascade", Arg::flag}}}},
      {"acceptSuggestion", {acceptSuggestion, {{"cascade", Arg::flag}}}},
      {"ignoreSuggestion", {ignoreSuggestion, {}}},
      {"setSetting", {setSetting, {{"key", Arg::text}, {"value", Arg::any}}}},
      {"setRole", {setRole, {{"cam", Arg::text}, {"role", Arg::text}}}},
      {"acceptTerms", {acceptTerms, {}}},
      {"checkPermissions", {checkPermissions, {}}},
      {"setLoginItem", {setLoginItem, {{"on", Arg::flag}}}},
      {"search", {search, {{"text", Arg::text}}}},
      {"acceptSuggestionRule", {acceptSuggestionRule, {{"model", Arg::text}, {"cls", Arg::text}}}},
      {"reclassifyHit", {reclassifyHit, {{"id", Arg::text}, {"cls", Arg::text}}}},
      {"reclassifyClip", {reclassifyClip, {{"rel", Arg::text}, {"cls", Arg::text}}}},
      {"spotCheck", {spotCheck, {}}},
      {"openReportFolder", {openReportFolder, {}}},
      {"editRules", {editRules, {{"name", Arg::text}}}},
      {"setRules", {setRules, {{"rules", Arg::list}}}},
      {"saveRules", {saveRules, {{"name", Arg::text}}}},
      {"exportProject", {projectFile<&Model::exportProject>, {{"path", Arg::text}}}},
      {"importProject", {projectFile<&Model::importProject>, {{"path", Arg::text}}}},
  };
  return ops;
}

std::optional<std::string> wrongArgument(const Entry& e, const json& args) {
  if (!args.is_object()) return "요청의 인수를 읽지 못했습니다";
  for (const auto& [key, type] : e.args) {
    auto it = args.find(key);
    if (it == args.end()) continue;
    const char* want = type == Arg::text   ? (it->is_string() ? nullptr : "글자여야")
                       : type == Arg::flag ? (it->is_boolean() ? nullptr : "참/거짓이어야")
                       : type == Arg::list ? (it->is_array() ? nullptr : "목록이어야")
                                           : nullptr;
    if (want) return "요청의 값이 맞지 않습니다: " + std::string(key) + " 값은 " + want + " 합니다";
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string_view> pageOpNames() {
  std::vector<std::string_view> names;
  for (const auto& [name, e] : table()) names.push_back(name);
  return names;
}

std::optional<ActionResult> runPageOp(Model& m, std::string_view op, const json& args) {
  auto it = table().find(op);
  if (it == table().end()) return std::nullopt;
  if (auto wrong = wrongArgument(it->second, args)) return ActionResult{false, *wrong};
  // The steps run on the main loop, which carries every copy: whatever one throws is the
  // page's answer, never the end of the server.
  try {
    return it->second.step(m, args);
  } catch (const std::exception& e) {
    return ActionResult{false, std::string("이 동작을 하지 못했습니다 (") + e.what() + ")"};
  }
}

}  // namespace tolverdine::web

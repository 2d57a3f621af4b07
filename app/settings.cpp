#include "app/settings.h"

#include <type_traits>

#include "engine/base/canonical_path.h"
#include "engine/base/path_name.h"
#include "engine/library/library.h"
#include "platform/preferences_store.h"

namespace tolverdine {

namespace {
using nlohmann::json;

template <class T> std::optional<T> typed(const std::optional<json>& v);

template <> std::optional<std::string> typed(const std::optional<json>& v) {
  if (v && v->is_string()) return v->get<std::string>();
  return std::nullopt;
}
template <> std::optional<bool> typed(const std::optional<json>& v) {
  if (v && v->is_boolean()) return v->get<bool>();
  return std::nullopt;
}
template <> std::optional<int> typed(const std::optional<json>& v) {
  if (v && v->is_number_integer()) {
    auto n = v->get<int64_t>();
    if (n >= INT32_MIN && n <= INT32_MAX) return static_cast<int>(n);
  }
  return std::nullopt;
}
template <> std::optional<std::vector<std::string>> typed(const std::optional<json>& v) {
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& e : *v)
    if (e.is_string()) out.push_back(e.get<std::string>());
  return out;
}
template <> std::optional<std::map<std::string, std::string>> typed(const std::optional<json>& v) {
  if (!v || !v->is_object()) return std::nullopt;
  std::map<std::string, std::string> out;
  for (const auto& [k, e] : v->items())
    if (e.is_string()) out[k] = e.get<std::string>();
  return out;
}

template <class T> bool take(T& field, const json& v) {
  // A cleared text field arrives as null: the text is then empty.
  if constexpr (std::is_same_v<T, std::string>)
    if (v.is_null()) {
      field.clear();
      return true;
    }
  auto t = typed<T>(std::optional<json>(v));
  if (!t) return false;
  field = *t;
  return true;
}
// Folder lists are kept in one spelling per folder, whatever the page or an older file sent.
bool takeFolders(std::vector<std::string>& field, const json& v) {
  auto t = typed<std::vector<std::string>>(std::optional<json>(v));
  if (!t) return false;
  field = canonicalPaths(*t);
  return true;
}
template <class T> bool takeOptional(std::optional<T>& field, const json& v) {
  if (v.is_null()) {
    field.reset();
    return true;
  }
  auto t = typed<T>(std::optional<json>(v));
  if (!t) return false;
  field = *t;
  return true;
}
}  // namespace

const std::vector<std::string>& settingKeys() {
  static const std::vector<std::string> keys = {
      "project",     "projectDate",    "dests",        "preset",      "copies",
      "names",       "autoStart",      "cascadeDests", "storage",     "verify",
      "md5",         "operator",       "logo",         "webhook",     "recapCommand",
      "roles",       "ignoredVolumes", "parallel",     "autoSeconds", "ejectOnGreen",
      "eulaAccepted"};
  return keys;
}

Settings Settings::load(const PreferencesStore& prefs) {
  Settings s;
  for (const auto& key : settingKeys()) {
    auto v = prefs.get(key);
    if (v) s.assign(key, *v);
  }
  return s;
}

std::string settingLabel(const std::string& key) {
  static const std::map<std::string, std::string> labels = {
      {"project", "프로젝트 이름"},
      {"projectDate", "프로젝트 날짜"},
      {"dests", "목적지"},
      {"preset", "분류 프리셋"},
      {"copies", "필요한 검증 사본 수"},
      {"names", "폴더 이름"},
      {"autoStart", "카드를 꽂으면 카운트다운 뒤 자동 시작"},
      {"cascadeDests", "2차 목적지"},
      {"storage", "보관 방식"},
      {"verify", "검증"},
      {"md5", "MD5 도 계산"},
      {"operator", "작업자 이름"},
      {"logo", "리포트 로고"},
      {"webhook", "웹훅 주소"},
      {"recapCommand", "리캡 명령"},
      {"roles", "카메라 역할"},
      {"ignoredVolumes", "목적지로 제안하지 않을 볼륨"},
      {"parallel", "동시에 복사할 카드 수"},
      {"autoSeconds", "자동 시작까지 기다릴 초"},
      {"ejectOnGreen", "초록이면 카드 꺼내기"},
      {"eulaAccepted", "사용 약관 동의"}};
  auto it = labels.find(key);
  return it == labels.end() ? std::string() : it->second;
}

const std::vector<std::pair<std::string, std::string>>& settingChoices(const std::string& key) {
  using Choices = std::vector<std::pair<std::string, std::string>>;
  static const std::map<std::string, Choices> choices = {
      {"names", {{"ko", "한국어"}, {"en", "영어"}}},
      {"storage",
       {{"auto", "자동"},
        {"split", "분류 폴더로 복사"},
        {"mirror", "카드 그대로 복사 + 분류 보기"}}},
      {"verify",
       {{"fast", "빠름 (되읽기 없음)"},
        {"standard", "표준 (되읽기)"},
        {"paranoid", "철저 (두 번 되읽기)"}}}};
  static const Choices none;
  auto it = choices.find(key);
  return it == choices.end() ? none : it->second;
}

bool validShootDate(const std::string& s) {
  if (s.size() != 8) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  int y = std::stoi(s.substr(0, 4)), m = std::stoi(s.substr(4, 2)), d = std::stoi(s.substr(6, 2));
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1900 || m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::optional<std::string> Settings::set(const std::string& key, const json& v) {
  const std::string label = settingLabel(key);
  if (label.empty()) return std::string("알 수 없는 설정입니다");
  auto refuse = [&](const std::string& why) {
    return std::optional<std::string>(label + ": " + why);
  };
  auto oneOf = [&](std::string& field) -> std::optional<std::string> {
    std::string list;
    for (const auto& [value, text] : settingChoices(key))
      list += (list.empty() ? "" : "·") + value + "(" + text + ")";
    if (!v.is_string()) return refuse(list + " 중 하나를 고르세요");
    for (const auto& [value, text] : settingChoices(key))
      if (v.get<std::string>() == value) return field = value, std::nullopt;
    return refuse("알 수 없는 값입니다 (" + v.get<std::string>() + ") — " + list +
                  " 중 하나를 고르세요");
  };
  auto count = [&](std::optional<int>& field, int min) -> std::optional<std::string> {
    if (v.is_null()) return field.reset(), std::nullopt;
    auto n = typed<int>(std::optional<json>(v));
    if (!n || *n < min) return refuse(std::to_string(min) + " 이상의 정수를 적으세요");
    field = *n;
    return std::nullopt;
  };
  auto typeOk = [&](bool ok) { return ok ? std::nullopt : refuse("이 값은 쓸 수 없습니다"); };

  if (key == "projectDate") {
    // An empty field clears the date: the first finished card then sets it.
    if (v.is_null() || (v.is_string() && v.get<std::string>().empty()))
      return projectDate.reset(), std::nullopt;
    // Every card of another shoot date stops on a mismatch, so only a real day is taken.
    if (!v.is_string() || !validShootDate(v.get<std::string>()))
      return refuse("yyyyMMdd 형식의 날짜를 적으세요 (예: 20250314)");
    projectDate = v.get<std::string>();
    return std::nullopt;
  }
  if (key == "copies") {
    // A requirement below one copy would clear a card that has none.
    auto n = typed<int>(std::optional<json>(v));
    if (!n || *n < 1) return refuse("1 이상의 정수를 적으세요");
    copies = *n;
    return std::nullopt;
  }
  if (key == "names") {
    std::string text = english ? "en" : "ko";
    auto err = oneOf(text);
    if (!err) english = text == "en";
    return err;
  }
  if (key == "storage") return oneOf(storageMode);
  if (key == "verify") return oneOf(verifyMode);
  if (key == "webhook") {
    if (v.is_null() || (v.is_string() && v.get<std::string>().empty()))
      return webhookURL.clear(), std::nullopt;
    // Verdicts are posted over https only; any other address would never be posted.
    if (!v.is_string() || v.get<std::string>().rfind("https://", 0) != 0 ||
        v.get<std::string>().size() <= 8 ||
        v.get<std::string>().find_first_of(" \t\r\n") != std::string::npos)
      return refuse("https:// 로 시작하는 주소만 씁니다");
    webhookURL = v.get<std::string>();
    return std::nullopt;
  }
  // 0 and 1 both mean one card at a time; below that is no number of cards.
  if (key == "parallel") return count(parallel, 0);
  if (key == "autoSeconds") return count(autoSeconds, 0);
  if (key == "project") {
    // The name becomes a folder on every destination; a blank one only means "not set yet".
    if (v.is_string() && !trimSpace(v.get<std::string>()).empty())
      if (auto why = pathNameProblem(v.get<std::string>())) return refuse(*why);
    return typeOk(take(project, v));
  }
  if (key == "dests") return typeOk(takeFolders(dests, v));
  if (key == "preset") return typeOk(take(preset, v));
  if (key == "autoStart") return typeOk(take(autoStart, v));
  if (key == "cascadeDests") return typeOk(takeFolders(cascadeDests, v));
  if (key == "md5") return typeOk(take(md5, v));
  if (key == "operator") return typeOk(take(operatorName, v));
  if (key == "logo") return typeOk(takeOptional(logoPath, v));
  if (key == "recapCommand") return typeOk(take(recapCommand, v));
  // An unknown role reads as none (roleFor), and the page sets roles one by one (setRole).
  if (key == "roles") return typeOk(take(roles, v));
  if (key == "ignoredVolumes") return typeOk(take(ignoredVolumes, v));
  if (key == "ejectOnGreen") return typeOk(takeOptional(ejectOnGreen, v));
  if (key == "eulaAccepted") return typeOk(takeOptional(eulaAccepted, v));
  return refuse("이 값은 쓸 수 없습니다");
}

std::optional<json> Settings::value(const std::string& key) const {
  auto opt = [](const auto& o) -> std::optional<json> {
    if (!o) return std::nullopt;
    return json(*o);
  };
  if (key == "project") return project;
  if (key == "projectDate") return opt(projectDate);
  if (key == "dests") return dests;
  if (key == "preset") return preset;
  if (key == "copies") return copies;
  if (key == "names") return english ? "en" : "ko";
  if (key == "autoStart") return autoStart;
  if (key == "cascadeDests") return cascadeDests;
  if (key == "storage") return storageMode;
  if (key == "verify") return verifyMode;
  if (key == "md5") return md5;
  if (key == "operator") return operatorName;
  if (key == "logo") return opt(logoPath);
  if (key == "webhook") return webhookURL;
  if (key == "recapCommand") return recapCommand;
  if (key == "roles") return json(roles);
  if (key == "ignoredVolumes") return ignoredVolumes;
  if (key == "parallel") return opt(parallel);
  if (key == "autoSeconds") return opt(autoSeconds);
  if (key == "ejectOnGreen") return opt(ejectOnGreen);
  if (key == "eulaAccepted") return opt(eulaAccepted);
  return std::nullopt;
}

bool Settings::ready() const { return !trimSpace(project).empty() && !dests.empty(); }

CameraRole Settings::roleFor(const std::string& cam) const {
  auto it = roles.find(cam);
  if (it == roles.end()) return CameraRole::none;
  if (it->second == "fixed") return CameraRole::fixed;
  if (it->second == "interview") return CameraRole::interview;
  return CameraRole::none;
}

StorageMode Settings::storage() const {
  return storageFromText(storageMode).value_or(StorageMode::automatic);
}

VerifyMode Settings::verify() const {
  return verifyModeFromText(verifyMode).value_or(VerifyMode::standard);
}

std::optional<json> Settings::shown(const std::string& key) const {
  auto v = value(key);
  if (v) return v;
  if (key == "parallel") return maxParallel();
  if (key == "autoSeconds") return countdownSeconds();
  if (key == "ejectOnGreen") return ejectsGreenCards();
  return std::nullopt;
}

}  // namespace tolverdine

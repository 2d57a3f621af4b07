#include "web/setting_labels.h"

#include "app/settings.h"

namespace tolverdine::web {

namespace {

// The setting's own name, with a hint on how to fill it in where the name alone is not enough.
nlohmann::json field(const char* key, const char* type, const char* hint = nullptr) {
  std::string label = settingLabel(key);
  if (hint) label += std::string(" (") + hint + ")";
  return {{"key", key}, {"label", label}, {"type", type}};
}

// The values the application accepts for key, with their Korean texts.
nlohmann::json choices(const char* key) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& [value, label] : settingChoices(key))
    out.push_back({{"value", value}, {"label", label}});
  return out;
}

}  // namespace

nlohmann::json settingFields() {
  nlohmann::json f = nlohmann::json::array();
  f.push_back(field("project", "text"));
  f.push_back(field("projectDate", "text", "yyyyMMdd, 비우면 첫 카드의 촬영일"));
  f.push_back(field("dests", "list"));
  f.push_back(field("cascadeDests", "list"));
  f.push_back(field("preset", "text"));
  f.push_back(field("copies", "number"));
  auto names = field("names", "choice");
  names["choices"] = choices("names");
  f.push_back(names);
  f.push_back(field("autoStart", "bool"));
  auto storage = field("storage", "choice");
  storage["choices"] = choices("storage");
  f.push_back(storage);
  auto verify = field("verify", "choice");
  verify["choices"] = choices("verify");
  f.push_back(verify);
  f.push_back(field("md5", "bool"));
  f.push_back(field("operator", "text"));
  f.push_back(field("logo", "text", "PNG·JPEG 파일 경로"));
  f.push_back(field("webhook", "text", "https"));
  auto recap = field("recapCommand", "text", "초록 뒤 실행, 비우면 꺼짐");
  recap["example"] = "/usr/local/bin/tolv-recap";
  f.push_back(recap);
  f.push_back(field("roles", "list"));
  f.push_back(field("ignoredVolumes", "list"));
  f.push_back(field("parallel", "number"));
  f.push_back(field("autoSeconds", "number"));
  f.push_back(field("ejectOnGreen", "bool"));
  f.push_back(field("eulaAccepted", "text"));
  for (auto& e : f)
    if (e["type"] == "list" || e["key"] == "eulaAccepted") e["readonly"] = true;
  return f;
}

}  // namespace tolverdine::web

#include "web/setting_labels.h"

#include "app/settings.h"

namespace tolverdine::web {

namespace {

nlohmann::json field(const char* key, const char* label, const char* type) {
  return {{"key", key}, {"label", label}, {"type", type}};
}

// The values the application accepts for key, with their Korean texts.
nlohmann::json choices(const char* key) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& [value, label] : settingChoices(key)) out.push_back({{"value", value}, {"label", label}});
  return out;
}

}  // namespace

nlohmann::json settingFields() {
  nlohmann::json f = nlohmann::json::array();
  f.push_back(field("project", "프로젝트 이름", "text"));
  f.push_back(field("projectDate", "프로젝트 날짜 (yyyyMMdd, 비우면 첫 카드의 촬영일)", "text"));
  f.push_back(field("dests", "목적지", "list"));
  f.push_back(field("cascadeDests", "2차 목적지", "list"));
  f.push_back(field("preset", "분류 프리셋", "text"));
  f.push_back(field("copies", "필요한 검증 사본 수", "number"));
  auto names = field("names", "폴더 이름", "choice");
  names["choices"] = choices("names");
  f.push_back(names);
  f.push_back(field("autoStart", "카드를 꽂으면 카운트다운 뒤 자동 시작", "bool"));
  auto storage = field("storage", "보관 방식", "choice");
  storage["choices"] = choices("storage");
  f.push_back(storage);
  auto verify = field("verify", "검증", "choice");
  verify["choices"] = choices("verify");
  f.push_back(verify);
  f.push_back(field("md5", "MD5 도 계산", "bool"));
  f.push_back(field("operator", "작업자 이름", "text"));
  f.push_back(field("logo", "리포트 로고 (PNG·JPEG 파일 경로)", "text"));
  f.push_back(field("webhook", "웹훅 주소 (https)", "text"));
  auto recap = field("recapCommand", "리캡 명령 (초록 뒤 실행, 비우면 꺼짐)", "text");
  recap["example"] = "/usr/local/bin/tolv-recap";
  f.push_back(recap);
  f.push_back(field("roles", "카메라 역할", "list"));
  f.push_back(field("ignoredVolumes", "목적지로 제안하지 않을 볼륨", "list"));
  f.push_back(field("parallel", "동시에 복사할 카드 수", "number"));
  f.push_back(field("autoSeconds", "자동 시작까지 기다릴 초", "number"));
  f.push_back(field("ejectOnGreen", "초록이면 카드 꺼내기", "bool"));
  f.push_back(field("eulaAccepted", "사용 약관 동의", "text"));
  for (auto& e : f)
    if (e["type"] == "list" || e["key"] == "eulaAccepted") e["readonly"] = true;
  return f;
}

}  // namespace tolverdine::web

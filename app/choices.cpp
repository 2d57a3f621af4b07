#include "app/choices.h"

#include "engine/base/names.h"

namespace tolverdine {

const std::vector<std::string>& classNames() {
  static const std::vector<std::string> v = {"슬레이트", "풀샷", "인터뷰", "인서트", "기타"};
  return v;
}

const std::vector<std::pair<std::string, std::string>>& roleChoices() {
  static const std::vector<std::pair<std::string, std::string>> v = {
      {"none", "역할 없음 (길이로 분류)"},
      {"fixed", "고정캠 — 전부 풀샷"},
      {"interview", "인터뷰캠 — 전부 인터뷰"}};
  return v;
}

bool isRoleChoice(const std::string& role) {
  for (const auto& [value, label] : roleChoices())
    if (value == role) return true;
  return false;
}

std::optional<std::string> classOfPath(const std::string& classPath) {
  auto slash = classPath.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::nullopt;
  auto before = classPath.rfind('/', slash - 1);
  std::string folder = classPath.substr(before == std::string::npos ? 0 : before + 1,
                                        slash - (before == std::string::npos ? 0 : before + 1));
  for (const auto& cls : classNames())
    if (folder == NameSet::ko().label(cls) || folder == NameSet::en().label(cls)) return cls;
  return std::nullopt;
}

}  // namespace tolverdine

#include "engine/base/path_name.h"

#include <utf8proc.h>

#include <vector>

#include "engine/base/text.h"

namespace tolverdine {

namespace {
bool isBlank(utf8proc_int32_t cp) {
  return cp == ' ' || cp == 0xFEFF || utf8proc_category(cp) == UTF8PROC_CATEGORY_ZS;
}
}  // namespace

bool staysInside(std::string_view rel) {
  if (rel.empty() || rel.front() == '/') return false;
  size_t start = 0;
  for (size_t i = 0; i <= rel.size(); ++i)
    if (i == rel.size() || rel[i] == '/') {
      if (rel.substr(start, i - start) == "..") return false;
      start = i + 1;
    }
  return true;
}

std::optional<std::string> pathNameProblem(std::string_view name) {
  if (!validUtf8(std::string(name))) return "UTF-8 텍스트가 아닙니다";
  std::vector<utf8proc_int32_t> cps;
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(name.size());
  while (left > 0) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) return "UTF-8 텍스트가 아닙니다";
    cps.push_back(cp);
    p += n;
    left -= n;
  }
  for (auto cp : cps) {
    if (cp == 0) return "NUL 문자를 쓸 수 없습니다";
    if (cp == '/') return "\"/\" 를 쓸 수 없습니다";
    // Line breaks and other controls would split log lines and report rows.
    if (utf8proc_category(cp) == UTF8PROC_CATEGORY_CC) return "제어 문자를 쓸 수 없습니다";
  }
  size_t b = 0, e = cps.size();
  while (b < e && isBlank(cps[b])) ++b;
  while (e > b && isBlank(cps[e - 1])) --e;
  if (b == e) return "비어 있습니다";
  bool dots = e - b <= 2;
  for (size_t i = b; i < e && dots; ++i) dots = cps[i] == '.';
  if (dots) return "\".\" 나 \"..\" 는 이름으로 쓸 수 없습니다";
  if (name.size() > kMaxPathNameBytes) return "너무 깁니다 (200바이트 초과)";
  return std::nullopt;
}

}  // namespace tolverdine

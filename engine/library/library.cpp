#include "engine/library/library.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <utf8proc.h>
#include "engine/base/records.h"
#include "engine/base/text.h"

namespace tolverdine {

const char* const kSearchPlaceholder = "파일 이름·카메라·폴더로 찾기 (예: C0012, A캠, 인터뷰)";
const char* const kSuggestionHeading = "규칙 제안 — 같은 방향으로 5번 이상 옮겼습니다";

namespace {
// Every character of the text literally, wildcards included.
const char* const kLiteralTest =
    "rel LIKE ?1 ESCAPE '\\' OR view LIKE ?1 ESCAPE '\\' OR key LIKE ?1 ESCAPE '\\'";
}  // namespace

std::string trimSpace(const std::string& s) {
  // Split into code points; an invalid byte counts as a non-space character of its own.
  struct Cp {
    size_t at, len;
    bool space;
  };
  std::vector<Cp> cps;
  auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  size_t i = 0;
  while (i < s.size()) {
    utf8proc_int32_t c = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p + i, static_cast<utf8proc_ssize_t>(s.size() - i), &c);
    if (n <= 0) {
      cps.push_back({i, 1, false});
      ++i;
      continue;
    }
    bool space = (c >= 0x09 && c <= 0x0d) || c == 0x85 || c == 0x2028 || c == 0x2029 ||
                 utf8proc_category(c) == UTF8PROC_CATEGORY_ZS;
    cps.push_back({i, static_cast<size_t>(n), space});
    i += static_cast<size_t>(n);
  }
  size_t b = 0, e = cps.size();
  while (b < e && cps[b].space) ++b;
  while (e > b && cps[e - 1].space) --e;
  if (b == e) return {};
  return s.substr(cps[b].at, cps[e - 1].at + cps[e - 1].len - cps[b].at);
}

std::string likeEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::vector<Hit> librarySearch(Store& store, const std::string& text, int limit) {
  std::vector<Hit> out;
  if (text.empty() || limit <= 0) return out;
  const std::string composed = nfc(text);
  return store.searchWhere(kLiteralTest, "%" + likeEscape(composed) + "%", composed, limit);
}

LibraryLists runSearch(Store& store, const std::string& searchText) {
  LibraryLists l;
  const std::string text = trimSpace(searchText);
  if (!text.empty()) l.hits = librarySearch(store, text, kHitLimit);
  l.history = store.cardHistory(kHistoryLimit);
  l.suggestions = store.suggestions(kSuggestThreshold);
  return l;
}

std::optional<LibraryLists> runSearch(const std::string& dbPath, const std::string& searchText) {
  try {
    Store store(dbPath);
    return runSearch(store, searchText);
  } catch (const StoreError&) {
    return std::nullopt;
  } catch (const std::system_error&) {  // its folder could not be made
    return std::nullopt;
  }
}

std::string suggestionText(const Suggestion& s) {
  return s.model + " 은(는) 항상 " + s.cls + " (" + std::to_string(s.count) + "번 옮김)";
}

std::string accept(const Suggestion& s, PresetMap& presets, const std::string& presetName,
                   const std::string& customPath) {
  Rule rule;
  rule.cls = s.cls;
  rule.model = s.model;
  std::vector<Rule> rules = Presets::rulesFor(presets, presetName);
  // Accepting the same suggestion again moves the rule to the top instead of stacking copies.
  std::erase(rules, rule);
  rules.insert(rules.begin(), rule);
  presets[presetName] = rules;
  try {
    Presets::saveCustom(presetName, rules, customPath);
  } catch (const WriteFail& f) {
    char buf[256];
    const char* e = strerror_r(f.err, buf, sizeof buf);
    return "규칙 저장 실패: " + f.path + ": " + e;
  } catch (const std::exception& e) {
    return std::string("규칙 저장 실패: ") + e.what();
  }
  return "규칙 추가: " + s.model + " → " + s.cls + " (" + presetName + ")";
}

}  // namespace tolverdine

// The library lists drawn from the state database (search hits, recent cards, rule suggestions)
// and the turning of a suggestion into a classification rule.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/layout/presets.h"
#include "engine/store/store.h"

namespace tolverdine {

inline constexpr int kHitLimit = 300;
inline constexpr int kHistoryLimit = 200;
inline constexpr int kSuggestThreshold = 5;
extern const char* const kSearchPlaceholder;
extern const char* const kSuggestionHeading;

/// Text without white space (ASCII and Unicode spaces) at either end.
std::string trimSpace(const std::string& s);
/// "%", "_" and "\" preceded by "\" so that LIKE ... ESCAPE '\' matches them literally.
std::string likeEscape(const std::string& s);
/// Copies whose path, view path or key contains text literally (ASCII case ignored), newest
/// first, at most limit; empty on error or for empty text.
std::vector<Hit> librarySearch(Store& store, const std::string& text, int limit = kHitLimit);

struct LibraryLists {
  std::vector<Hit> hits;
  std::vector<CardRecord> history;
  std::vector<Suggestion> suggestions;
};
/// The three lists; a search text of only white space gives no hits without a query.
LibraryLists runSearch(Store& store, const std::string& searchText);
/// Opens its own Store at path; absent when the database cannot be opened (lists stay as they are).
std::optional<LibraryLists> runSearch(const std::string& dbPath, const std::string& searchText);

/// model + " 은(는) 항상 " + class + " (" + count + "번 옮김)"
std::string suggestionText(const Suggestion& s);

/// Puts the suggestion's rule (class and model only) at the top of the preset in presets and
/// saves that preset into the custom file. Returns the library note: "규칙 추가: …" or
/// "규칙 저장 실패: …" (the in-memory preset keeps the rule then).
std::string accept(const Suggestion& s, PresetMap& presets, const std::string& presetName,
                   const std::string& customPath = Presets::customPath());

}  // namespace tolverdine

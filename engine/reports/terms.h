// The terms of use: which text is shown, its fingerprint, and whether the stored consent still
// covers it (any change of the text asks again).
#pragma once

#include <optional>
#include <string>

namespace tolverdine {

struct Terms {
  std::string text;
  std::string fingerprint;  // SHA-256 of the UTF-8 bytes, 64 lower-case hex digits
};

/// "en" when the first preferred localisation is exactly "en", otherwise "ko".
std::string termsLanguage(const std::optional<std::string>& firstLocalisation);
/// "EULA." + language + ".md".
std::string termsFileName(const std::string& language);
/// SHA-256 of text as lower-case hex.
std::string sha256Hex(const std::string& text);
/// Reads dir/EULA.<lang>.md; a missing or unreadable file gives a one-line placeholder naming it.
Terms loadTerms(const std::string& resourceDir, const std::string& language);
/// True only when the stored value is exactly the current fingerprint.
bool eulaAccepted(const std::optional<std::string>& stored, const Terms& terms);
/// The application-log message of an acceptance.
std::string acceptanceLogLine(const Terms& terms);

}  // namespace tolverdine

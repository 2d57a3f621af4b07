// The secret that proves a request comes from the page this process served.
#pragma once

#include <string>
#include <string_view>

namespace tolverdine::web {

/// 32 random bytes from the system's generator as 64 lower-case hex digits. Throws
/// std::runtime_error when the generator fails (never a weak token).
std::string newToken();

/// Compares in time independent of where the texts differ; different lengths are unequal.
bool tokensEqual(std::string_view a, std::string_view b);

/// Writes the token to path, readable by the owner only (0600), through a private temporary file
/// and a rename, so no other user ever sees it. False with *err on failure.
bool writeTokenFile(const std::string& path, const std::string& token, std::string* err);

/// "$HOME/Library/Application Support/TOLVERDINE/web.token".
std::string defaultTokenPath();

}  // namespace tolverdine::web

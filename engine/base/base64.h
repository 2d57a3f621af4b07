// Standard base64 (RFC 4648 alphabet, "=" padding), as signature and key texts use it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolverdine {

std::string base64Encode(std::string_view bytes);
/// Strict: a length that is a multiple of four, only alphabet characters, padding only at the
/// end. Absent for anything else (white space included; callers trim first).
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace tolverdine

// C4 identifiers (SMPTE ST 2114): the content name of a generation file in the chain.
#pragma once

#include <string>
#include <string_view>

namespace tolverdine {

/// "c4" + SHA-512 of bytes in base 58, left-padded with "1" to 88 digits: 90 characters.
std::string c4Id(std::string_view bytes);

}  // namespace tolverdine

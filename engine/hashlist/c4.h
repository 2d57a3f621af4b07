// C4 identifiers (SMPTE ST 2114): the content name of a generation file in the chain.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tolverdine {

/// "c4" + SHA-512 of bytes in base 58, left-padded with "1" to 88 digits: 90 characters.
std::string c4Id(std::string_view bytes);
/// The same id from a SHA-512 digest already computed (of a file read in blocks, say).
std::string c4FromSha512(std::array<unsigned char, 64> digest);

}  // namespace tolverdine

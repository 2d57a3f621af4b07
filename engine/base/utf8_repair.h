// Text from outside (a child program's output, a log torn by a crash) made into valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tolverdine {

/// s with every byte that does not belong to a well-formed UTF-8 sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view s);

}  // namespace tolverdine

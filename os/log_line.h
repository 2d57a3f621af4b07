// Appends whole lines to a log file from any thread.
#pragma once

#include <string>

namespace tolverdine {

/// Appends line + "\n" with O_APPEND under one process-wide lock; never truncates. A failed open
/// or write drops the line. Returns whether the line was written.
bool appendLogLine(const std::string& path, const std::string& line) noexcept;

}  // namespace tolverdine

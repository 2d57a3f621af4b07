// Grouping the clips of one card into shooting sessions, and the card's shooting dates.
#pragma once

#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

/// A clip starting this many seconds or more after the session's end so far opens a new one.
inline constexpr double sessionGap = 1800;
/// Shooting days run from 04:00 local time to 04:00 of the next day.
inline constexpr double dayBoundaryHours = 4;

/// Sets session ("2_1830-2110": number, local start and end "HHmm") on video and photo rows,
/// each kind numbered on its own; continuation files (span) follow the clip they continue.
/// Audio and other files are left alone.
void sessions(std::vector<Row>& rows, double gap);

/// The distinct local dates "yyyyMMdd", ascending, of the video and photo rows with a real
/// recording time (a video time taken from the file's modification time never decides a date),
/// each shifted back by boundary hours.
std::vector<std::string> shootDates(const std::vector<Row>& rows, double boundary);

/// t formatted in the machine's current time zone with a date pattern of the letters yyyy, MM,
/// dd, HH, mm, ss; other characters are copied, text in single quotes literally. Digits are
/// always ASCII, whatever the user's locale.
std::string localFormat(double t, const std::string& pattern);

}  // namespace tolverdine

// The per-camera lock file of a running ingest: its text and whether it still holds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace tolverdine {

/// A lock of another computer cannot be tested for a live process; it holds this long after
/// its "at" time (or the file's modification time when "at" cannot be read).
constexpr std::time_t kForeignLockSeconds = 12 * 3600;

/// {"pid": N, "at": "...", "by": "tolverdine-mac", "host": "NAME"} on one line, no line end.
std::string lockContent(pid_t pid, const std::string& at, const std::string& host);

/// What a lock file says: a usable pid (1 to 2^31-1), and "at" and "host" when they are texts
/// ("" otherwise; a lock written before the host member existed has none).
struct LockRecord {
  int32_t pid = 0;
  std::string at, host;
  bool operator==(const LockRecord&) const = default;
};
/// Absent for text that is not a JSON object with such a pid.
std::optional<LockRecord> parseLock(std::string_view text);

/// This computer's host name; "" when it cannot be read.
std::string thisHost();

/// True when the lock file at path belongs to a live ingest: a live other process of this
/// computer, or a lock of another computer younger than kForeignLockSeconds at now (and not
/// dated more than that ahead of now). Unreadable,
/// malformed, pid-less, own-pid and dead-pid locks do not hold.
bool lockHeld(const std::string& path, std::time_t now);

/// Seconds since the epoch of "yyyy-MM-ddTHH:mm:ss[.fff]Z"; -1 when it is not such a text.
std::time_t parseIsoUtc(const std::string& s);

}  // namespace tolverdine

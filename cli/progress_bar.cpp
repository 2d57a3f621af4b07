#include "cli/progress_bar.h"

#include <unistd.h>

#include <cmath>

namespace tolverdine::cli {

namespace {
std::string bytesText(int64_t b) {
  char buf[32];
  if (b >= 1'000'000'000) std::snprintf(buf, sizeof buf, "%.1fGB", static_cast<double>(b) / 1e9);
  else std::snprintf(buf, sizeof buf, "%.1fMB", static_cast<double>(b) / 1e6);
  return buf;
}
}  // namespace

std::string progressLine(int n, int count, const std::string& file, int64_t done, int64_t total,
                         double seconds) {
  constexpr int kWidth = 20;
  double frac =
      total > 0 ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total)) : 1.0;
  int filled = static_cast<int>(frac * kWidth);
  std::string bar(filled, '#');
  bar.append(kWidth - filled, '.');
  double rate = seconds > 0 ? static_cast<double>(done) / 1e6 / seconds : 0;
  char buf[160];
  std::snprintf(buf, sizeof buf, "[%s] %d/%d  %s/%s  %.1fMB/s", bar.c_str(), n, count,
                bytesText(done).c_str(), bytesText(total).c_str(), rate);
  std::string line = buf;
  if (rate > 0 && done < total) {
    auto left = static_cast<long long>(std::ceil(static_cast<double>(total - done) / 1e6 / rate));
    std::snprintf(buf, sizeof buf, "  남은 시간 %lld:%02lld", left / 60, left % 60);
    line += buf;
  }
  if (!file.empty()) line += "  " + file;
  return line;
}

ProgressBar::ProgressBar(std::FILE* out) : out_(out), tty_(::isatty(::fileno(out)) == 1) {}

void ProgressBar::update(int n, int count, const std::string& file, int64_t done, int64_t total) {
  if (!tty_) return;
  auto now = std::chrono::steady_clock::now();
  // A few redraws a second are enough; the last one (n == count) always shows.
  if (drawn_ && n < count && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  double secs = std::chrono::duration<double>(now - start_).count();
  std::fprintf(out_, "\r\033[K%s", progressLine(n, count, file, done, total, secs).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::finish() {
  if (tty_ && drawn_) std::fputc('\n', out_);
  drawn_ = false;
}

}  // namespace tolverdine::cli

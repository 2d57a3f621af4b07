#include "engine/store/sessions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>

namespace tolverdine {

namespace {
double startOf(const Row& r) { return r.meta.t.value_or(0); }
double endOf(const Row& r) { return startOf(r) + r.meta.dur.value_or(0); }

void groupKind(std::vector<Row>& rows, Kind kind, double gap) {
  std::vector<size_t> idx;
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].kind == kind) idx.push_back(i);

  std::vector<size_t> sorted;
  for (size_t i : idx)
    if (!rows[i].span) sorted.push_back(i);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](size_t a, size_t b) { return startOf(rows[a]) < startOf(rows[b]); });

  std::vector<int> sessionOf(rows.size(), 0);  // 0: none
  int current = 0;
  double runningEnd = 0;
  for (size_t i : sorted) {
    const Row& r = rows[i];
    if (current > 0 && startOf(r) - runningEnd < gap) {
      runningEnd = std::max(runningEnd, endOf(r));
    } else {
      ++current;
      runningEnd = endOf(r);
    }
    sessionOf[i] = current;
  }
  for (size_t k = 1; k < idx.size(); ++k)
    if (rows[idx[k]].span && sessionOf[idx[k - 1]] > 0) sessionOf[idx[k]] = sessionOf[idx[k - 1]];

  for (int s = 1; s <= current; ++s) {
    double start = 0, end = 0;
    bool first = true;
    for (size_t i : idx) {
      if (sessionOf[i] != s) continue;
      start = first ? startOf(rows[i]) : std::min(start, startOf(rows[i]));
      end = first ? endOf(rows[i]) : std::max(end, endOf(rows[i]));
      first = false;
    }
    std::string label =
        std::to_string(s) + "_" + localFormat(start, "HHmm") + "-" + localFormat(end, "HHmm");
    for (size_t i : idx)
      if (sessionOf[i] == s) rows[i].session = label;
  }
}
// t in the zone last read by tzset.
std::string formatInZone(double t, const std::string& pattern) {
  std::time_t secs = static_cast<std::time_t>(std::floor(t));
  std::tm tm{};
  localtime_r(&secs, &tm);
  std::string out;
  auto num = [&](int v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, v);
    out += buf;
  };
  for (size_t i = 0; i < pattern.size();) {
    char c = pattern[i];
    if (c == '\'') {
      size_t close = pattern.find('\'', i + 1);
      if (close == std::string::npos) close = pattern.size();
      if (close == i + 1) out += '\'';  // '' is a quote
      else out.append(pattern, i + 1, close - i - 1);
      i = close + 1;
      continue;
    }
    size_t n = 1;
    while (i + n < pattern.size() && pattern[i + n] == c) ++n;
    switch (c) {
      case 'y':
        if (n == 2) num((tm.tm_year + 1900) % 100, 2);
        else num(tm.tm_year + 1900, static_cast<int>(n));
        break;
      case 'M': num(tm.tm_mon + 1, static_cast<int>(n)); break;
      case 'd': num(tm.tm_mday, static_cast<int>(n)); break;
      case 'H': num(tm.tm_hour, static_cast<int>(n)); break;
      case 'm': num(tm.tm_min, static_cast<int>(n)); break;
      case 's': num(tm.tm_sec, static_cast<int>(n)); break;
      default: out.append(n, c); break;
    }
    i += n;
  }
  return out;
}

}  // namespace

void sessions(std::vector<Row>& rows, double gap) {
  groupKind(rows, Kind::video, gap);
  groupKind(rows, Kind::photo, gap);
}

std::vector<std::string> shootDates(const std::vector<Row>& rows, double boundary) {
  std::set<std::string> dates;
  ::tzset();  // once for the card: read again for each of ten thousand stills, it was most of this
  for (const Row& r : rows) {
    if ((r.kind != Kind::video && r.kind != Kind::photo) || r.tFromMtime || !r.meta.t) continue;
    dates.insert(formatInZone(*r.meta.t - boundary * 3600, "yyyyMMdd"));
  }
  return {dates.begin(), dates.end()};
}

std::string localFormat(double t, const std::string& pattern) {
  // Re-read the zone on every call: localtime_r alone keeps the zone of the first call.
  ::tzset();
  return formatInZone(t, pattern);
}

}  // namespace tolverdine

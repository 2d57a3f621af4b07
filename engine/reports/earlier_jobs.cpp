#include "engine/reports/earlier_jobs.h"

#include <sys/stat.h>
#include <algorithm>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/store/store.h"
#include "os/fs.h"

namespace tolverdine {

namespace {

std::optional<std::time_t> fromIso(const std::string& s) {
  std::tm tm{};
  if (s.size() != 20 || !strptime(s.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm)) return std::nullopt;
  return timegm(&tm);
}

std::string text(const nlohmann::json& j, const char* k) {
  auto it = j.find(k);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool isProjectFolder(const std::string& name, const std::string& project) {
  const std::string tail = "_" + nfc(project);
  if (name.size() != 8 + tail.size() || name.compare(8, std::string::npos, tail) != 0) return false;
  return std::all_of(name.begin(), name.begin() + 8, [](char c) { return c >= '0' && c <= '9'; });
}

// One run on one destination.
std::optional<EarlierJob> readJob(const std::string& root, const std::string& jsonPath,
                                  const std::string& project) {
  std::string body;
  if (!readFile(jsonPath, &body)) return std::nullopt;
  nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  if (!j.is_object() || text(j, "project") != project) return std::nullopt;
  auto at = fromIso(text(j, "at"));
  if (!at) return std::nullopt;
  EarlierJob e;
  e.cam = text(j, "cam");
  e.src = text(j, "src");
  e.color = text(j, "color");
  e.project = project;
  e.at = *at;
  if (auto f = j.find("files"); f != j.end() && f->is_number_integer()) e.files = f->get<int>();
  if (auto f = j.find("failed");
      f != j.end() && f->is_array() && !f->empty() && (*f)[0].is_object())
    e.failed.push_back(lastComponent(parentPath(root)) + ": " + text((*f)[0], "why"));
  e.roots = {root};
  const std::string suffix = "_job.json";
  e.csv = jsonPath.substr(0, jsonPath.size() - suffix.size()) + "_clips.csv";
  if (!exists(e.csv)) return std::nullopt;
  e.key = "earlier:" + e.csv;
  return e;
}

Row rowOf(const std::vector<std::string>& f, const std::string& src) {
  Row r;
  r.rel = f[0];
  r.src = src + "/" + f[0];
  if (!f[1].empty()) r.dest = f[1];
  if (!f[2].empty()) r.view = f[2];
  r.kind = kindFromText(f[3]).value_or(Kind::etc);
  r.cls = f[4];
  if (!f[5].empty()) r.session = f[5];
  if (!f[7].empty()) r.meta.res = f[7];
  r.size = std::strtoll(f[11].c_str(), nullptr, 10);
  return r;
}

}  // namespace

std::string EarlierJob::name() const { return lastComponent(src); }

std::vector<std::vector<std::string>> parseCsv(const std::string& in) {
  std::vector<std::vector<std::string>> out;
  size_t i = in.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  std::vector<std::string> rec;
  std::string field;
  bool quoted = false, any = false;
  for (; i < in.size(); ++i) {
    char c = in[i];
    if (quoted) {
      if (c != '"') field += c;
      else if (i + 1 < in.size() && in[i + 1] == '"') field += '"', ++i;
      else quoted = false;
    } else if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      rec.push_back(std::move(field));
      field.clear();
      any = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < in.size() && in[i + 1] == '\n') ++i;
      if (any || !field.empty()) rec.push_back(std::move(field));
      if (!rec.empty()) out.push_back(std::move(rec));
      rec.clear();
      field.clear();
      any = false;
    } else {
      field += c;
      any = true;
    }
  }
  if (any || !field.empty()) rec.push_back(std::move(field));
  if (!rec.empty()) out.push_back(std::move(rec));
  return out;
}

std::vector<EarlierJob> earlierJobs(const std::vector<std::string>& dests,
                                    const std::string& project,
                                    const std::vector<std::string>& reportsNames, size_t limit) {
  std::vector<std::pair<EarlierJob, size_t>> runs;  // with the index of its destination
  if (project.empty()) return {};
  for (size_t di = 0; di < dests.size(); ++di) {
    Fs& fs = realFs();
    const std::string base = canonicalPath(dests[di]);
    std::vector<DirEntry> folders;
    if (fs.list(base, &folders) != 0) continue;
    for (const auto& folder : folders) {
      const std::string root = base + "/" + folder.name;
      struct stat st;
      if (!isProjectFolder(folder.name, project) || fs.stat(root, &st) != 0 || !S_ISDIR(st.st_mode))
        continue;
      for (const auto& reportsName : reportsNames) {
        const std::string dir = root + "/" + reportsName;
        std::vector<DirEntry> files;
        if (fs.list(dir, &files) != 0) continue;
        for (const auto& f : files)
          if (f.name.size() > 9 && f.name.compare(f.name.size() - 9, 9, "_job.json") == 0)
            if (auto job = readJob(root, dir + "/" + f.name, project))
              runs.push_back({std::move(*job), di});
      }
    }
  }
  std::stable_sort(runs.begin(), runs.end(),
                   [](const auto& a, const auto& b) { return a.first.at > b.first.at; });
  // Newest first; a run's other destinations merged in, in the order of dests, so that its report
  // reads the first destination's clip list as the finished card's does.
  std::vector<EarlierJob> out;
  std::vector<std::vector<size_t>> order;  // destination indexes of each listed run's roots
  for (auto& [r, di] : runs) {
    size_t g = 0;
    for (; g < out.size(); ++g) {
      const EarlierJob& o = out[g];
      if (o.cam == r.cam && o.src == r.src && std::abs(static_cast<double>(o.at - r.at)) <= 60 &&
          std::find(order[g].begin(), order[g].end(), di) == order[g].end())
        break;
    }
    if (g < out.size()) {
      EarlierJob& o = out[g];
      size_t pos = std::upper_bound(order[g].begin(), order[g].end(), di) - order[g].begin();
      order[g].insert(order[g].begin() + pos, di);
      o.roots.insert(o.roots.begin() + pos, r.roots.front());
      o.failed.insert(o.failed.end(), r.failed.begin(), r.failed.end());
      if (pos == 0) {
        o.csv = r.csv;
        o.key = r.key;
      }
      continue;
    }
    if (out.size() == limit) continue;
    out.push_back(std::move(r));
    order.push_back({di});
  }
  return out;
}

std::optional<LastJob> earlierReport(const EarlierJob& job, Store& store) {
  std::string body;
  if (job.roots.empty() || !readFile(job.csv, &body)) return std::nullopt;
  auto records = parseCsv(body);
  LastJob out;
  out.roots = job.roots;
  const std::string& root = job.roots.front();
  for (size_t i = 1; i < records.size(); ++i) {
    if (records[i].size() < 14) continue;
    Row r = rowOf(records[i], job.src);
    // The list does not carry the file time that completes the key; the database row of this
    // clip on the first root does, with the place and class it has now. Another card of the
    // camera may have held a clip of the same card path and size: this run's own is the one
    // with the hash the list names, or else at the place the list names. One that cannot be
    // told apart keeps no time, so no move can take another card's clip for it.
    const std::string prefix = job.cam + "|" + r.rel + "|" + std::to_string(r.size) + "|";
    std::vector<Entry> rows = store.copiesByKeyPrefix(root, prefix);
    auto only = [&](auto&& same) -> const Entry* {
      const Entry* found = nullptr;
      for (const auto& e : rows)
        if (same(e)) {
          if (found) return nullptr;
          found = &e;
        }
      return found;
    };
    const std::string listedHash = records[i][12];
    const Entry* row = rows.size() == 1 ? &rows[0] : nullptr;
    if (!row && !listedHash.empty())
      row = only([&](const Entry& e) { return e.hash == listedHash; });
    if (!row)
      row = only(
          [&](const Entry& e) { return r.view ? e.view == r.view : r.dest && e.rel == *r.dest; });
    if (row) {
      r.mtimeNs = std::strtoll(row->key.c_str() + prefix.size(), nullptr, 10);
      if (r.view) r.view = row->view;
      else r.dest = row->rel;
    }
    out.rows.push_back(std::move(r));
  }
  return out;
}

}  // namespace tolverdine

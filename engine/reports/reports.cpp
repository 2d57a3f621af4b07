#include "engine/reports/reports.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>

#include "engine/base/files.h"
#include "engine/base/folder_lock.h"
#include "engine/base/names.h"
#include "engine/base/term_text.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/store/store.h"
#include "os/host.h"

namespace tolverdine {

namespace {
constexpr const char* kCsvHeader =
    "파일,목적지경로,분류뷰경로,종류,분류,세션,길이(초),해상도,fps,촬영시각,촬영시각출처,크기(바이트),xxh64,검증사본수";

std::string fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}
}  // namespace

std::string shortestDecimal(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (std::isfinite(v) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::string csvField(const std::string& v) {
  // A carriage return splits a record for most readers too, so it is quoted like a line feed.
  if (v.find_first_of(",\"\n\r") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::vector<std::optional<std::string>> hashesOn(const std::string& dest,
                                                 const std::vector<Row>& rows,
                                                 const IngestResult& result, const std::string& cam,
                                                 Store& store) {
  // The run's own copies answer without the database: tens of thousands of lookups on a long card.
  // They come in row order, so each is met in step; the first out of step has them all looked up
  // by name instead.
  const std::vector<Verified>& mine = verifiedOn(result, dest);
  std::unordered_map<std::string_view, const std::string*> byRel;
  size_t next = 0;
  std::vector<std::optional<std::string>> out;
  out.reserve(rows.size());
  for (const auto& r : rows) {
    const std::string* hash = nullptr;
    if (byRel.empty() && next < mine.size() && mine[next].row.rel == r.rel) {
      hash = &mine[next++].hash;
    } else if (!mine.empty()) {
      if (byRel.empty())
        for (const auto& v : mine) byRel[v.row.rel] = &v.hash;
      if (auto v = byRel.find(r.rel); v != byRel.end()) hash = v->second;
    }
    out.push_back(hash ? std::optional(*hash) : store.verifiedHash(ingestKey(cam, r), dest));
  }
  return out;
}

std::string clipsCsv(const std::string& root, const std::vector<Row>& rows,
                     const IngestResult& result, const std::string& cam, Store& store,
                     const std::vector<int>* counted) {
  const std::vector<std::optional<std::string>> hashes = hashesOn(root, rows, result, cam, store);
  const bool known = counted && counted->size() == rows.size();

  std::string out = "\xEF\xBB\xBF";
  out += kCsvHeader;
  out += "\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const int copies = known ? (*counted)[i] : store.verifiedCount(ingestKey(cam, r));
    std::string tSource;
    if (r.kind != Kind::etc) tSource = r.tFromMtime ? "수정시각" : "촬영시각";
    std::vector<std::string> f = {
        r.rel,
        r.dest.value_or(""),
        r.view.value_or(""),
        kindText(r.kind),
        r.cls,
        r.session.value_or(""),
        r.meta.dur ? fixed2(*r.meta.dur) : "",
        r.meta.res.value_or(""),
        r.meta.fps ? shortestDecimal(*r.meta.fps) : "",
        r.meta.t ? localTime(static_cast<std::time_t>(std::floor(*r.meta.t)), "%Y-%m-%d %H:%M:%S")
                 : "",
        tSource,
        std::to_string(r.size),
        hashes[i].value_or(""),
        std::to_string(copies),
    };
    for (size_t i = 0; i < f.size(); ++i) {
      if (i) out += ",";
      out += csvField(f[i]);
    }
    out += "\n";
  }
  return out;
}

std::string jobJson(const std::string& root, const std::vector<Row>& rows,
                    const IngestResult& result, const std::string& cam, const std::string& src,
                    const std::map<std::string, std::string>& info, std::time_t now) {
  nlohmann::json j = nlohmann::json::object();
  for (const auto& [k, v] : info) j[k] = v;
  j["tool"] = std::string("TOLVERDINE ") + toolVersion();
  j["host"] = hostName();
  j["at"] = isoTime(now);
  j["cam"] = cam;
  j["src"] = src;
  j["dest"] = root;
  j["files"] = rows.size();
  j["copied"] = result.copied;
  j["skipped"] = result.skipped;
  j["color"] = colorText(result.color);
  j["underCopied"] = result.underCopied;
  if (result.stopped) j["stopped"] = result.stopped->description();
  j["lostDests"] = result.lostDests;
  nlohmann::json failed = nlohmann::json::array();
  for (const auto& f : result.failed)
    failed.push_back({{"file", f.rel}, {"dest", f.dest}, {"why", f.why}});
  j["failed"] = failed;
  nlohmann::json noTime = nlohmann::json::array();
  for (const auto& r : rows)
    if (r.tFromMtime) noTime.push_back(r.rel);
  j["noCaptureTime"] = noTime;
  std::vector<std::string> unlisted = unlistableNames(rows);
  if (!unlisted.empty()) {
    nlohmann::json names = nlohmann::json::array();
    // JSON carries any UTF-8 name as it is (a control character as \u0001); only bytes that are
    // no UTF-8 at all are written as the escaped text.
    for (const auto& n : unlisted) names.push_back(validUtf8(n) ? n : printableName(n));
    j["notInHashList"] = names;
  }
  // A card name that is not valid UTF-8 must not cost the whole report: such bytes become U+FFFD.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string freeReportStem(const std::string& dir, const std::string& stem,
                           std::initializer_list<const char*> tails, Fs& fs) {
  struct stat st;
  for (int n = 1;; ++n) {
    std::string candidate = n == 1 ? stem : stem + "-" + std::to_string(n);
    bool free = true;
    for (const char* tail : tails) free = free && fs.lstat(dir + "/" + candidate + tail, &st) != 0;
    if (free) return candidate;
  }
}

void writeReports(const std::string& root, const std::vector<Row>& rows, const IngestResult& result,
                  const std::string& cam, const std::string& src, Store& store,
                  const NameSet& names, const std::map<std::string, std::string>& info,
                  std::time_t now, Fs& fs, const std::vector<int>* counted) {
  std::string dir = root + "/" + names.reports;
  mkdirs(dir, fs);
  // Two runs of one drive name their reports one at a time: a free name is free until written.
  FolderLock lock(nfc(dir), fs);
  std::string base = freeReportStem(dir, nfc(cam + "_" + localTime(now, "%Y%m%d-%H%M%S")),
                                    {"_clips.csv", "_job.json"}, fs);
  writeFileAtomic(dir + "/" + base + "_clips.csv",
                  clipsCsv(root, rows, result, cam, store, counted), fs);
  writeFileAtomic(dir + "/" + base + "_job.json", jobJson(root, rows, result, cam, src, info, now),
                  fs);
}

}  // namespace tolverdine

#include "engine/card/scan.h"

#include <utf8proc.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/base/text.h"
#include "engine/base/worker_pool.h"

namespace tolverdine {

namespace {
constexpr int64_t kSpanSize = 4'290'000'000;  // FAT cameras split recordings just under 4 GiB
constexpr size_t kProbeThreads = 4;

bool underThumbDir(const std::string& rel) {
  size_t start = 0;
  for (;;) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) return false;  // the last component is the file itself
    if (thumbDirs().count(lowerUnicode(rel.substr(start, end - start)))) return true;
    start = end + 1;
  }
}

bool isNumeric(utf8proc_int32_t cp) {
  auto c = utf8proc_category(cp);
  return c == UTF8PROC_CATEGORY_ND || c == UTF8PROC_CATEGORY_NL || c == UTF8PROC_CATEGORY_NO;
}
}  // namespace

CardList quickList(const std::string& root, const WalkFs& fs) {
  WalkResult w = walk(root, fs);
  CardList out;
  out.files.reserve(w.files.size());
  for (auto& f : w.files) out.files.push_back({std::move(f.rel), f.size, f.mtimeNs});
  out.errors = std::move(w.errors);
  return out;
}

CardList settledList(const std::string& root, double interval, int tries, const Sleeper& sleep,
                     const WalkFs& fs) {
  CardList prev = quickList(root, fs);
  for (int i = 0; i < tries; ++i) {
    if (sleep) sleep(interval);
    else std::this_thread::sleep_for(std::chrono::duration<double>(interval));
    CardList next = quickList(root, fs);
    if (next == prev) return next;
    prev = std::move(next);
  }
  return prev;
}

std::optional<Kind> kindOf(const std::string& path) {
  std::string ext = lowerExt(path);
  if (videoExt().count(ext)) return Kind::video;
  if (audioExt().count(ext)) return Kind::audio;
  if (photoExt().count(ext)) return Kind::photo;
  return std::nullopt;
}

ScanResult scan(const std::string& root, CameraRole role, const Probe& probe,
                const Classify& classify, const WalkFs& fs) {
  WalkResult w = walk(root, fs);
  ScanResult out;
  out.errors = std::move(w.errors);
  out.rows.reserve(w.files.size());
  // The clips are probed side by side: each probe waits mostly on the card or on a program
  // starting, and the copy cannot begin before every clip's time and class are known. On threads
  // of the scan's own, so that a card that stops answering holds its own job, never the shared
  // workers that copy other cards.
  std::vector<size_t> media;
  for (size_t i = 0; i < w.files.size(); ++i) {
    std::optional<Kind> kind = kindOf(w.files[i].rel);
    if (kind == Kind::video || kind == Kind::audio) media.push_back(i);
  }
  std::vector<Meta> metas(w.files.size());
  if (media.size() > 1) {
    WorkerPool probers(std::min(kProbeThreads, media.size()));
    TaskGroup group(probers);
    for (size_t i : media) group.run([&, i] { metas[i] = probe(w.files[i].path); });
    group.wait();
  } else {
    for (size_t i : media) metas[i] = probe(w.files[i].path);
  }
  for (size_t i = 0; i < w.files.size(); ++i) {
    auto& f = w.files[i];
    Row row;
    row.src = std::move(f.path);
    row.rel = std::move(f.rel);
    row.size = f.size;
    row.mtimeNs = f.mtimeNs;
    double mtime = static_cast<double>(f.mtimeNs) / 1e9;
    std::optional<Kind> kind = kindOf(row.rel);
    if (kind == Kind::photo && underThumbDir(row.rel)) kind.reset();

    if (!kind) {
      row.kind = Kind::etc;
      row.cls = "부속";
    } else if (*kind == Kind::photo) {
      row.kind = Kind::photo;
      row.cls = "사진";
      row.meta.t = mtime;
    } else if (*kind == Kind::audio) {
      row.kind = Kind::audio;
      row.meta = std::move(metas[i]);
      if (!row.meta.t) row.meta.t = mtime;
      row.cls = "오디오";
    } else {
      row.kind = Kind::video;
      row.meta = std::move(metas[i]);
      if (!row.meta.t) {
        row.meta.t = mtime;
        row.tFromMtime = true;
      }
      const Row* prev = out.rows.empty() ? nullptr : &out.rows.back();
      if (prev && prev->kind == Kind::video && prev->size >= kSpanSize &&
          parentPath(prev->rel) == parentPath(row.rel)) {
        row.cls = prev->cls;
        row.span = true;
      } else {
        row.cls = classify(row.meta);
        if (row.cls != "슬레이트" && row.meta.dur) {
          if (role == CameraRole::fixed) row.cls = "풀샷";
          else if (role == CameraRole::interview) row.cls = "인터뷰";
        }
      }
    }
    out.rows.push_back(std::move(row));
  }
  return out;
}

bool isSidecar(const std::string& file, const std::string& clip) {
  if (parentPath(file) != parentPath(clip)) return false;
  std::string fb = baseName(file), cb = baseName(clip);
  if (fb.compare(0, cb.size(), cb) != 0) return false;
  if (fb.size() == cb.size()) return true;
  utf8proc_int32_t cp = 0;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(fb.data() + cb.size()),
                            static_cast<utf8proc_ssize_t>(fb.size() - cb.size()), &cp);
  if (n <= 0) return true;  // not a character at all, so not a digit
  return !isNumeric(cp);
}

}  // namespace tolverdine

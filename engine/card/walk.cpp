#include "engine/card/walk.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/base/text.h"
#include "engine/card/card_names.h"

namespace tolverdine {

int WalkFs::list(const std::string& path, std::vector<std::string>& names) const {
  std::vector<DirEntry> entries;
  // A read error in the middle of a folder fails the whole listing, never passes for its end.
  if (fs_->list(path, &entries) != 0) return errno;
  for (auto& e : entries) names.push_back(std::move(e.name));
  return 0;
}

int WalkFs::lstat(const std::string& path, struct ::stat& st) const {
  return fs_->lstat(path, &st) == 0 ? 0 : errno;
}

int WalkFs::stat(const std::string& path, struct ::stat& st) const {
  return fs_->stat(path, &st) == 0 ? 0 : errno;
}

const WalkFs& realWalkFs() {
  static const WalkFs fs;
  return fs;
}

std::string standardPath(const std::string& root) {
  if (root.empty()) return root;
  // In text only: "." and empty components dropped, "x/.." folded; ".." above "/" stays at "/".
  const bool absolute = root[0] == '/';
  std::vector<std::string> parts;
  for (size_t i = 0; i <= root.size();) {
    size_t j = root.find('/', i);
    if (j == std::string::npos) j = root.size();
    std::string c = root.substr(i, j - i);
    i = j + 1;
    if (c.empty() || c == ".") continue;
    if (c == ".." && !parts.empty() && parts.back() != "..") {
      parts.pop_back();
      continue;
    }
    if (c == ".." && absolute) continue;
    parts.push_back(std::move(c));
  }
  std::string s = absolute ? "/" : "";
  for (size_t k = 0; k < parts.size(); ++k) s += (k ? "/" : "") + parts[k];
  return s.empty() ? "." : s;
}

namespace {

int64_t mtimeNs(const struct ::stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// From this many names a folder's lookups are split with a second thread: each is a search of
// the card's folder, and a time-lapse card holds ten thousand names in one, the most of the scan.
constexpr size_t kSplitLookups = 1024;

struct Looked {
  int err = 0;
  struct ::stat st {};
};

class Walker {
 public:
  Walker(const WalkFs& fs, WalkResult& out) : fs_(fs), out_(out) {}

  void run(const std::string& root) {
    struct ::stat st {};
    if (int err = fs_.stat(root, st)) return fail("", err);
    if (!S_ISDIR(st.st_mode)) return fail("", ENOTDIR);
    dev_ = st.st_dev;
    visited_.insert({st.st_dev, st.st_ino});
    folder(root, "");
  }

 private:
  void fail(const std::string& rel, int err) { out_.errors.push_back({rel, err}); }

  void folder(const std::string& path, const std::string& rel) {
    std::vector<std::string> names;
    if (int err = fs_.list(path, names)) return fail(rel, err);
    std::sort(names.begin(), names.end());

    std::vector<Looked> looked = lookUp(path, names);
    std::vector<std::pair<std::string, std::string>> subs;  // path, rel
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string& name = names[i];
      std::string p = inFolder(path, name);
      std::string r = rel.empty() ? nfc(name) : rel + "/" + nfc(name);
      bool hidden = name[0] == '.';
      struct ::stat st = looked[i].st;
      if (int err = looked[i].err) {
        if (err == ENOENT) continue;  // vanished since the listing
        // Unknown type: a hidden one may be a folder to enter, so the listing is incomplete;
        // any other is kept as a file whose copy will then fail on its own.
        if (hidden) fail(r, err);
        else out_.files.push_back({p, r, 0, 0});
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        if (skipDirs().count(lowerUnicode(name))) continue;
        // The file system's own recovery folder (ext4 and kin), unreadable to a normal user.
        if (rel.empty() && name == "lost+found") continue;
        // Another file system mounted inside the card is not the card; a folder seen before
        // (a bind mount of a parent) would loop.
        if (st.st_dev != dev_ || !visited_.insert({st.st_dev, st.st_ino}).second) continue;
        subs.emplace_back(std::move(p), std::move(r));
        continue;
      }
      if (hidden) continue;
      if (S_ISLNK(st.st_mode)) {
        // Folders behind links are never entered (a -> .. would recurse, x -> / would list the
        // machine); a linked file counts only when it lives on the card itself.
        struct ::stat target {};
        if (fs_.stat(p, target) != 0 || !S_ISREG(target.st_mode) || target.st_dev != dev_) continue;
        st = target;
      }
      if (!S_ISREG(st.st_mode)) continue;  // FIFOs, sockets and device nodes
      out_.files.push_back(
          {std::move(p), std::move(r), static_cast<int64_t>(st.st_size), mtimeNs(st)});
    }
    for (const auto& [p, r] : subs) folder(p, r);
  }

  static std::string inFolder(const std::string& path, const std::string& name) {
    return path == "/" ? "/" + name : path + "/" + name;
  }

  std::vector<Looked> lookUp(const std::string& path, const std::vector<std::string>& names) {
    std::vector<Looked> out(names.size());
    auto range = [&](size_t from, size_t to) {
      for (size_t i = from; i < to; ++i)
        out[i].err = fs_.lstat(inFolder(path, names[i]), out[i].st);
    };
    const size_t half = names.size() >= kSplitLookups ? names.size() / 2 : names.size();
    std::jthread other;
    try {
      if (half < names.size()) other = std::jthread(range, half, names.size());
    } catch (const std::system_error&) {  // no thread to be had: all on this one
      range(half, names.size());
    }
    range(0, half);
    if (other.joinable()) other.join();  // before out leaves: the thread writes into it
    return out;
  }

  const WalkFs& fs_;
  WalkResult& out_;
  dev_t dev_ = 0;
  std::set<std::pair<dev_t, ino_t>> visited_;
};

}  // namespace

WalkResult walk(const std::string& root, const WalkFs& fs) {
  WalkResult out;
  Walker(fs, out).run(standardPath(root));
  return out;
}

}  // namespace tolverdine

#include "engine/base/names.h"

#include <utf8proc.h>

#include "engine/base/text.h"

namespace tolverdine {

namespace {
// File name without its extension; a leading dot starts a name, not an extension.
std::string stem(const std::string& name) {
  auto dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Unicode numbers of every kind, so a clip's C0031 does not claim C0031٣.XML either.
bool startsNumeric(const std::string& s) {
  if (s.empty()) return false;
  utf8proc_int32_t cp;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                            static_cast<utf8proc_ssize_t>(s.size()), &cp);
  if (n <= 0) return false;
  auto cat = utf8proc_category(cp);
  return cat == UTF8PROC_CATEGORY_ND || cat == UTF8PROC_CATEGORY_NL || cat == UTF8PROC_CATEGORY_NO;
}

bool isSidecarOf(const Row& clip, const Row& row) {
  if (nfc(parentPath(clip.src)) != nfc(parentPath(row.src))) return false;
  std::string clipStem = stem(nfc(lastComponent(clip.src)));
  std::string rowStem = stem(nfc(lastComponent(row.src)));
  if (rowStem.compare(0, clipStem.size(), clipStem) != 0 || rowStem.size() < clipStem.size())
    return false;
  return !startsNumeric(rowStem.substr(clipStem.size()));
}
}  // namespace

const NameSet& NameSet::ko() {
  static const NameSet n{"01_원본", "02_오디오", "03_사진",   "04_편집", "05_출고",
                         "_리포트", "_카드기타", "_카드원본", {}};
  return n;
}

const NameSet& NameSet::en() {
  static const NameSet n{"01_FOOTAGE",
                         "02_AUDIO",
                         "03_STILLS",
                         "04_EDIT",
                         "05_DELIVERY",
                         "_REPORTS",
                         "_CARD_EXTRA",
                         "_CARD_MIRROR",
                         {{"슬레이트", "SLATE"},
                          {"풀샷", "WIDE"},
                          {"인터뷰", "INTERVIEW"},
                          {"인서트", "INSERT"},
                          {"기타", "CHECK"}}};
  return n;
}

std::vector<std::string> NameSet::topFolders() const {
  return {footage, audio, photo, edit, delivery, reports};
}

std::string NameSet::label(const std::string& cls,
                           const std::map<std::string, std::string>& labels) const {
  // Class names are looked up composed, whichever form the caller typed them in.
  auto find = [](const std::map<std::string, std::string>& m, const std::string& key) {
    auto it = m.find(key);
    if (it == m.end()) it = m.find(nfc(key));
    return it;
  };
  if (auto it = find(labels, cls); it != labels.end()) return it->second;
  if (auto it = find(classLabels, cls); it != classLabels.end()) return it->second;
  return cls;
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) {
    if (p.empty()) continue;
    if (!out.empty()) out += '/';
    out += p;
  }
  return nfc(out);
}

std::string projectFolder(const std::string& date, const std::string& project) {
  return nfc(date + "_" + project);
}

void destPaths(std::vector<Row>& rows, const std::string& cam, const NameSet& names,
               const std::map<std::string, std::string>& labels) {
  std::vector<size_t> videos;
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].kind == Kind::video) videos.push_back(i);

  for (auto& r : rows) {
    std::string name = lastComponent(r.src);
    switch (r.kind) {
      case Kind::video:
        r.dest = join(names.footage, cam, r.session.value_or(""), names.label(r.cls, labels), name);
        break;
      case Kind::audio: r.dest = join(names.audio, name); break;
      case Kind::photo: r.dest = join(names.photo, r.session.value_or(""), name); break;
      case Kind::etc: break;
    }
  }

  for (auto& r : rows) {
    if (r.kind != Kind::etc) continue;
    const Row* clip = nullptr;
    for (size_t v : videos)
      if (isSidecarOf(rows[v], r)) {
        clip = &rows[v];
        break;
      }
    if (clip) {
      r.dest = join(parentPath(clip->dest.value_or("")), lastComponent(r.src));
      r.owner = nfc(lastComponent(clip->src));
    } else {
      r.dest = join(names.footage, cam, names.extra, r.rel);
    }
  }
}

void mirrorPaths(std::vector<Row>& rows, const std::string& reel, const NameSet& names) {
  std::string extraDir = nfc(names.extra) + "/";
  for (auto& r : rows) {
    std::string d = r.dest.value_or("");
    if (d.find(extraDir) != std::string::npos) r.view.reset();
    else r.view = r.dest;
    r.dest = join(names.mirror, reel, r.rel);
  }
}

}  // namespace tolverdine

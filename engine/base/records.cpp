#include "engine/base/records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/base/canonical_path.h"

namespace tolverdine {

namespace {
template <class E, size_t N>
std::optional<E> fromText(const char* const (&names)[N], const std::string& s) {
  for (size_t i = 0; i < N; ++i)
    if (s == names[i]) return static_cast<E>(i);
  return std::nullopt;
}
const char* const kKinds[] = {"video", "audio", "photo", "etc"};
const char* const kModes[] = {"fast", "standard", "paranoid"};
const char* const kColors[] = {"gray", "red", "yellow", "green"};
}  // namespace

const char* kindText(Kind k) { return kKinds[static_cast<int>(k)]; }
std::optional<Kind> kindFromText(const std::string& s) { return fromText<Kind>(kKinds, s); }
const char* verifyModeText(VerifyMode m) { return kModes[static_cast<int>(m)]; }
std::optional<VerifyMode> verifyModeFromText(const std::string& s) {
  return fromText<VerifyMode>(kModes, s);
}
const char* colorText(CardColor c) { return kColors[static_cast<int>(c)]; }
std::optional<CardColor> colorFromText(const std::string& s) {
  return fromText<CardColor>(kColors, s);
}

std::string IngestStop::description() const {
  struct Visitor {
    std::string operator()(const DestMissing& d) const { return "목적지가 없습니다: " + d.path; }
    std::string operator()(const NoSpace& n) const {
      char buf[64];
      std::snprintf(buf, sizeof buf, " 필요 %.1fGB / 남음 %.1fGB", n.need / 1e9, n.free / 1e9);
      return "공간 부족 — " + n.dest + buf;
    }
    std::string operator()(const Conflicts& c) const {
      std::string s = "덮어쓰지 않고 멈춥니다:\n";
      for (size_t i = 0; i < c.lines.size() && i < 10; ++i) {
        if (i) s += "\n";
        s += c.lines[i];
      }
      return s;
    }
    std::string operator()(const Locked& l) const {
      return l.cam + " 카메라를 다른 곳에서 받는 중입니다";
    }
    std::string operator()(const CardRemoved&) const {
      return "카드가 분리됐습니다. 같은 카드를 다시 꽂고 다시 실행하면 이어서 받습니다.";
    }
    std::string operator()(const SameFolder& s) const { return overlapText(s.first, s.second); }
    std::string operator()(const Unwritable& u) const {
      std::string why;
      switch (u.err) {
        case EROFS: why = "읽기 전용으로 연결되어 있습니다"; break;
        case EACCES:
        case EPERM: why = "쓰기 권한이 없습니다"; break;
        case ENOSPC: why = "공간이 없습니다"; break;
        default: {
          char buf[256];
          // GNU strerror_r may return a static text instead of filling buf.
          why = std::string("쓰기 시험 실패 (") + strerror_r(u.err, buf, sizeof buf) + ")";
        }
      }
      return "목적지에 쓸 수 없습니다: " + u.path + " — " + why;
    }
    std::string operator()(const OnCard& c) const {
      if (c.sameDrive)
        return "목적지가 카드와 같은 드라이브에 있습니다: " + c.path +
               " — 카드를 포맷하면 그 사본도 지워집니다";
      return "목적지가 카드 폴더 안에 있거나 카드를 품고 있습니다: " + c.path +
             " — 카드는 자기 자신의 사본이 될 수 없습니다";
    }
  };
  return std::visit(Visitor{}, value);
}

std::string ingestKey(const std::string& cam, const Row& row) {
  return cam + "|" + row.rel + "|" + std::to_string(row.size) + "|" + std::to_string(row.mtimeNs);
}

std::string ingestKey(const std::string& cam, const CardFile& f) {
  return cam + "|" + f.rel + "|" + std::to_string(f.size) + "|" + std::to_string(f.mtimeNs);
}

const std::vector<Verified>& verifiedOn(const IngestResult& r, const std::string& dest) {
  static const std::vector<Verified> kNone;
  auto it = r.verified.find(dest);
  return it == r.verified.end() ? kNone : it->second;
}

}  // namespace tolverdine

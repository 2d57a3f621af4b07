// The records that flow through one ingest: planned card files, options, outcome, stop reasons,
// and the two I/O error values. Plain values, copied freely between threads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tolverdine {

class Fs;

/// One file as found on a card.
struct CardFile {
  std::string rel;  // relative to the card root, "/" separators
  int64_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const CardFile&) const = default;
};

enum class Kind { video, audio, photo, etc };
const char* kindText(Kind k);
std::optional<Kind> kindFromText(const std::string& s);

/// Media metadata of a clip.
struct Meta {
  std::optional<double> t;         // recording time, seconds since the epoch
  std::optional<double> dur;       // seconds
  int ch = 0;                      // audio channels
  std::optional<std::string> res;  // "WxH"
  std::optional<double> fps;
  bool operator==(const Meta&) const = default;
};

/// One card file planned for ingest.
struct Row {
  std::string src;  // absolute path on the mounted card
  std::string rel;  // relative to the card root
  Kind kind = Kind::etc;
  std::string cls;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  Meta meta;
  bool tFromMtime = false;
  bool span = false;
  std::optional<std::string> session;
  std::optional<std::string> dest;   // relative to every destination root; absent: not copied
  std::optional<std::string> owner;  // sidecar: file name of its clip
  std::optional<std::string> view;   // place in the classified view
  bool operator==(const Row&) const = default;
};

enum class VerifyMode { fast, standard, paranoid };
const char* verifyModeText(VerifyMode m);
/// Exact raw text only: "Standard" gives no value.
std::optional<VerifyMode> verifyModeFromText(const std::string& s);

struct IngestOptions {
  VerifyMode verify = VerifyMode::standard;
  bool md5 = false;
  Fs* fs = nullptr;  // the file system every call of the run goes to; null: the real one
};

enum class CardColor { gray, red, yellow, green };
const char* colorText(CardColor c);
std::optional<CardColor> colorFromText(const std::string& s);

/// One file verified on one destination.
struct Verified {
  Row row;
  std::string hash;  // XXH64, 16 hex digits
  std::optional<std::string> md5;
  bool operator==(const Verified&) const = default;
};

/// Why an ingest stopped. Thrown by the checks before copying; carried in IngestResult after.
struct IngestStop {
  struct DestMissing {
    std::string path;
    bool operator==(const DestMissing&) const = default;
  };
  struct NoSpace {
    std::string dest;
    int64_t need = 0;
    int64_t free = 0;
    bool operator==(const NoSpace&) const = default;
  };
  struct Conflicts {
    std::vector<std::string> lines;
    bool operator==(const Conflicts&) const = default;
  };
  struct Locked {
    std::string cam;
    bool operator==(const Locked&) const = default;
  };
  struct CardRemoved {
    bool operator==(const CardRemoved&) const = default;
  };
  /// Two destinations are one folder, or one lies inside the other: one copy would count twice.
  struct SameFolder {
    std::string first, second;
    bool operator==(const SameFolder&) const = default;
  };
  /// The write probe failed on a destination (read-only mount, no permission): err is its errno.
  struct Unwritable {
    std::string path;
    int err = 0;
    bool operator==(const Unwritable&) const = default;
  };
  /// A destination in the card folder, around it, or on the card's own drive (sameDrive).
  struct OnCard {
    std::string path;
    bool sameDrive = false;
    bool operator==(const OnCard&) const = default;
  };
  using Case = std::variant<DestMissing, NoSpace, Conflicts, Locked, CardRemoved, SameFolder,
                            Unwritable, OnCard>;

  Case value;

  static IngestStop destMissing(std::string path) { return {DestMissing{std::move(path)}}; }
  static IngestStop noSpace(std::string dest, int64_t need, int64_t free) {
    return {NoSpace{std::move(dest), need, free}};
  }
  static IngestStop conflicts(std::vector<std::string> lines) {
    return {Conflicts{std::move(lines)}};
  }
  static IngestStop locked(std::string cam) { return {Locked{std::move(cam)}}; }
  static IngestStop cardRemoved() { return {CardRemoved{}}; }
  static IngestStop sameFolder(std::string first, std::string second) {
    return {SameFolder{std::move(first), std::move(second)}};
  }
  static IngestStop unwritable(std::string path, int err) {
    return {Unwritable{std::move(path), err}};
  }

  static IngestStop onCard(std::string path, bool sameDrive) {
    return {OnCard{std::move(path), sameDrive}};
  }

  template <class T> bool is() const { return std::holds_alternative<T>(value); }
  std::string description() const;
  bool operator==(const IngestStop&) const = default;
};

struct Failure {
  std::string rel;   // the row's dest path
  std::string dest;  // destination root path
  std::string why;
  bool operator==(const Failure&) const = default;
};

struct IngestResult {
  int copied = 0;
  int skipped = 0;
  std::vector<Failure> failed;
  std::vector<std::string> lostDests;
  std::optional<IngestStop> stopped;
  CardColor color = CardColor::gray;
  int underCopied = 0;
  std::vector<int> copiesCounted;  // per row, the verified copies the colour rests on
  std::map<std::string, std::vector<Verified>> verified;  // by destination root path, row order
};

/// The copies r verified on dest (a root path), in row order; empty when none.
const std::vector<Verified>& verifiedOn(const IngestResult& r, const std::string& dest);

/// An I/O failure inside the copy and hash primitives; dest is absent when the source failed.
struct IOFail {
  int32_t err = 0;
  std::optional<int> dest;
  bool operator==(const IOFail&) const = default;
};

/// A failed write of a whole file.
struct WriteFail {
  std::string path;
  int32_t err = 0;
  bool operator==(const WriteFail&) const = default;
};

/// cam|rel|size|mtimeNs: the key of a card file in the copy table.
std::string ingestKey(const std::string& cam, const Row& row);
std::string ingestKey(const std::string& cam, const CardFile& f);

}  // namespace tolverdine

// What a mounted card is to us: seen before (and how well backed up), a twin of a card seen
// before on another file system, or new. Computed afresh at every mount, never stored.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

class Store;

struct CardStatus {
  /// Ingested before under cam; under: files with some but too few verified copies;
  /// added: files with no verified copy at all.
  struct Known {
    std::string cam;
    int files = 0, under = 0, added = 0;
    /// Verified copies left out of the counts: file gone from a connected drive, or changed.
    int missing = 0, changed = 0;
    /// Drives holding a counted copy of some file: two folders of one drive are one.
    int drives = 0;
    bool operator==(const Known&) const = default;
  };
  /// Same file list as a recorded card, but another volume UUID: the second slot of one camera.
  struct Twin {
    std::string cam;
    int files = 0;
    bool operator==(const Twin&) const = default;
  };
  struct New {
    bool operator==(const New&) const = default;
  };
  using Case = std::variant<Known, Twin, New>;

  Case value = New{};

  static CardStatus known(std::string cam, int files, int under, int added, int drives = 0) {
    Known k{std::move(cam), files, under, added};
    k.drives = drives;
    return {std::move(k)};
  }
  static CardStatus twin(std::string cam, int files) { return {Twin{std::move(cam), files}}; }
  static CardStatus newCard() { return {New{}}; }

  template <class T> bool is() const { return std::holds_alternative<T>(value); }
  /// True only for a known card whose every file has enough verified copies.
  bool alreadyBackedUp() const;
  bool operator==(const CardStatus&) const = default;
};

/// The status as the log writes it: known(cam: "A캠", files: 120, under: 0, added: 3), or new.
std::string statusText(const CardStatus& s);

/// "사본 2개 제외 — 파일 없음 1 · 바뀜 1" for a known card with discounted copies, else "".
std::string discountNote(const CardStatus& s);

/// 16 lower-case hex digits of XXH3-64 over the sorted lines "rel|size|mtimeNs", rel lower-cased
/// and composed. Depends only on the file list, never on the volume's name or mount point.
std::string cardFingerprint(const std::vector<CardFile>& files);

/// Reads only (but for the drives learnt by rows of older builds). A failing database makes the
/// card look less backed up, never more. Copies on cardDrive, the card's own drive, never count.
CardStatus cardStatus(const std::vector<CardFile>& files, Store& store, int copiesRequired,
                      const std::optional<std::string>& volume,
                      const std::optional<std::string>& cardDrive = std::nullopt);

}  // namespace tolverdine

// One inserted card as the application lists it, and the phase it is in.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/base/records.h"
#include "engine/card/camera_id.h"
#include "engine/library/report_clips.h"
#include "engine/store/card_status.h"
#include "platform/reader_link.h"

namespace tolverdine {

struct Phase {
  struct Waiting {
    std::optional<int> countdown;  // seconds to an automatic start; absent: waits for the user
    bool operator==(const Waiting&) const = default;
  };
  struct Running {
    int64_t done = 0, total = 0;
    std::string file;              // current file or stage text
    int files = 0, fileCount = 0;  // files through the copy, of all
    bool operator==(const Running&) const = default;
  };
  struct Finished {
    CardColor color = CardColor::gray;
    std::string text;
    bool operator==(const Finished&) const = default;
  };
  struct Reading {
    bool operator==(const Reading&) const = default;
  };
  struct Queued {
    bool operator==(const Queued&) const = default;
  };
  using Case = std::variant<Waiting, Running, Finished, Reading, Queued>;
  Case value = Reading{};

  template <class T> bool is() const { return std::holds_alternative<T>(value); }
  template <class T> const T* get() const { return std::get_if<T>(&value); }
  template <class T> T* get() { return std::get_if<T>(&value); }
  bool operator==(const Phase&) const = default;
};

/// Bytes of a running job as they move, for a bar that does not stand still within a file.
struct LiveBytes {
  int64_t copied = 0;    // read from the card
  int64_t verified = 0;  // read back from the copies
  int64_t total = 0;
  bool readBack = true;                // the verify mode reads copies back
  std::string stage;                   // "복사" or "검증": whichever moved last
  std::optional<double> rate;          // bytes per second over the last seconds
  std::optional<int64_t> secondsLeft;  // at that rate
  bool operator==(const LiveBytes&) const = default;
};

/// What one destination holds after a card's job, so a red card says where and why.
struct DestOutcome {
  std::string root;  // the destination's project folder
  int verified = 0;
  int failed = 0;
  int existing = 0;   // files it held already from an earlier run, not copied again
  std::string why;    // the first failure's reason, else empty
  bool lost = false;  // the destination went away during the run
  bool operator==(const DestOutcome&) const = default;
};

struct CardItem {
  std::string id;    // mount path; the key of every card operation
  std::string path;  // mount point
  std::string name;
  std::vector<CardFile> files;
  CardStatus status;
  CameraID camera;
  std::string cam;
  Phase phase;
  std::optional<std::string> note;
  bool dateMismatch = false;
  bool generic = false;
  std::optional<ReaderLink> link;
  // The volume the card was read from, so that a later card at the same mount path is never
  // taken for this one.
  std::optional<std::string> volume;
  // The listing or scan failed somewhere: the card must never be cleared for formatting.
  bool incomplete = false;
  std::optional<LiveBytes> live;           // while its job copies
  std::vector<DestOutcome> outcomes;       // of its last job
  std::optional<std::string> finishedKey;  // its entry in the finished list
};

/// A card finished since the application started; it stays after the card is ejected.
struct FinishedCard {
  std::string key;  // unique in this run; the report's key
  std::string id, name, cam, camera;
  CardColor color = CardColor::gray;
  std::string text;
  std::chrono::system_clock::time_point at;
  std::vector<DestOutcome> outcomes;
  std::optional<LastJob> job;  // the job behind its report, when one ran
};

/// "리더가 5Gbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다" for a link below 10 Gbit/s; nothing
/// for a faster link or a card without one.
inline std::optional<std::string> readerLinkNotice(const std::optional<ReaderLink>& link) {
  if (!link || !link->slow()) return std::nullopt;
  return "리더가 " + link->label() + "로 연결됨 — 빠른 카드는 제 속도가 안 납니다";
}

}  // namespace tolverdine

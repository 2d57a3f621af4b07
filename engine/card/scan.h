// Listing a card (quick and settled lists) and the full scan that plans its rows.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "engine/card/camera_role.h"
#include "engine/card/card_detect.h"
#include "engine/card/card_names.h"
#include "engine/card/listing_error.h"
#include "engine/card/walk.h"

namespace tolverdine {

/// The files of a card in walk order, and the folders that could not be listed.
struct CardList {
  std::vector<CardFile> files;
  std::vector<ListingError> errors;
  bool operator==(const CardList&) const = default;
};

/// Sizes and times of every file, without reading contents.
CardList quickList(const std::string& root, const WalkFs& fs = realWalkFs());

/// Sleeps the given seconds between tries.
using Sleeper = std::function<void(double seconds)>;

/// The quick list taken again, up to tries times, until two lists in a row are equal; after
/// the last try the last list is returned as it is.
CardList settledList(const std::string& root, double interval, int tries, const Sleeper& sleep = {},
                     const WalkFs& fs = realWalkFs());

/// video, audio or photo by extension; absent for anything else.
std::optional<Kind> kindOf(const std::string& path);

struct ScanResult {
  std::vector<Row> rows;
  std::vector<ListingError> errors;
};

using Probe = std::function<Meta(const std::string& path)>;
/// The class of one video clip from its metadata (the caller binds rules and camera model).
using Classify = std::function<std::string(const Meta& meta)>;

/// One row per file, in walk order. Media files are probed side by side: probe is called from
/// several threads at once.
ScanResult scan(const std::string& root, CameraRole role, const Probe& probe,
                const Classify& classify, const WalkFs& fs = realWalkFs());

/// file belongs to clip as a sidecar: same folder, and file's base name is clip's base name,
/// possibly followed by a non-numeric character and more (C0001M01.XML of C0001.MP4).
bool isSidecar(const std::string& file, const std::string& clip);

}  // namespace tolverdine

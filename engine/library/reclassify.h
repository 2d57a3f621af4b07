// Moving a clip and its sidecars to another class folder after ingest, on one destination.
#pragma once

#include <ctime>
#include <string>
#include <variant>

#include "engine/base/names.h"
#include "engine/store/store.h"

namespace tolverdine {

struct ReclassifyError {
  enum class Case { offline, notClassified, exists, failed };
  Case kind;
  std::string path;

  static ReclassifyError offline(std::string p) { return {Case::offline, std::move(p)}; }
  static ReclassifyError notClassified(std::string p) {
    return {Case::notClassified, std::move(p)};
  }
  static ReclassifyError exists(std::string p) { return {Case::exists, std::move(p)}; }
  static ReclassifyError failed(std::string p) { return {Case::failed, std::move(p)}; }
  std::string description() const;
  bool operator==(const ReclassifyError&) const = default;
};

/// Moves the clip of hit (a five-piece footage path) and its sidecars into the class folder cls,
/// never onto an occupied path, updates their rows, writes a renames generation for moved copies
/// and logs the move. Returns the clip's new class path. Throws ReclassifyError.
std::string reclassify(const Hit& hit, const std::string& cls, const NameSet& names, Store& store,
                       std::time_t now = std::time(nullptr));

}  // namespace tolverdine

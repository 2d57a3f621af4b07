// Hands a green card's verified clips to the user's own command: a JSON job manifest plus a
// detached /bin/sh child whose output goes to the recap log.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "engine/base/version.h"
#include "engine/card/camera_role.h"

namespace tolverdine {

class Store;

struct RecapClip {
  std::string path;
  std::string kind;
  std::string camera;
  std::optional<std::string> cameraRole;
  int64_t bytes = 0;
  std::optional<std::string> createdAt;
  std::optional<double> durationSec;
};

struct RecapManifest {
  int version = 1;
  std::string app = "TOLVERDINE";
  std::string appVersion = toolVersion();
  std::string sessionId;
  std::string project;
  std::string finishedAt;
  bool verified = true;
  std::vector<std::string> destinations;
  std::vector<RecapClip> clips;
};

/// Upper-case random (version 4) UUID text.
std::string newUuid();

/// Nothing unless green with at least one destination; clips verified on the first one only.
std::optional<RecapManifest> recapManifest(const std::vector<Row>& rows, const IngestResult& result,
                                           const std::string& cam, CameraRole role,
                                           const std::string& project,
                                           const std::vector<std::string>& destinations,
                                           Store& store, const std::string& sessionId,
                                           std::time_t finishedAt);

std::string recapJson(const RecapManifest& m);

/// Writes the manifest into dir and starts `/bin/sh -c 'CMD "$1"' tolverdine-recap MANIFEST`
/// without waiting; a watcher thread reaps the child and sends the end line to log, which must be
/// safe from any thread. Throws std::runtime_error when the manifest or the start fails.
void recapRun(const RecapManifest& m, const std::string& command, const std::string& dir,
              const std::string& logPath, std::function<void(const std::string&)> log);

/// "$HOME/Library/Application Support/TOLVERDINE/jobs".
std::string recapJobsDir();
/// "$HOME/Library/Logs/TOLVERDINE/recap.log".
std::string recapLogPath();

/// The whole sequence after a card's run: trims the command, drops lost destinations, writes and
/// starts; any failure becomes the "리캡 명령 실패: " line. Returns true when a command started.
bool recapAfterCard(const std::string& commandSetting, const std::vector<Row>& rows,
                    const IngestResult& result, const std::string& cam, CameraRole role,
                    const std::string& project, const std::vector<std::string>& projectFolders,
                    Store& store, std::function<void(const std::string&)> log);

}  // namespace tolverdine

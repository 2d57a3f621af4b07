// Camera identification: the card's folder signature picks a profile, then one clip metadata
// XML or one video file's container tags give the model (and, from the XML, the serial).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "engine/card/camera_id.h"
#include "engine/card/camera_profile.h"
#include "engine/card/walk.h"
#include "engine/media/media_tags.h"
#include "engine/media/sidecar_xml.h"

namespace tolverdine {

/// name against a pattern with "*" wildcards, ignoring letter case. Linear in the name per
/// pattern piece, so a pattern of many stars costs no more than its pieces.
bool matchComponent(const std::string& name, const std::string& pattern);

/// True when some folder path under root matches pattern ("/"-separated components, each
/// matched by matchComponent). Only folders on the pattern's path are listed.
bool hasDir(const std::string& root, const std::string& pattern, const WalkFs& fs = realWalkFs());

/// The first profile in list order whose conditions hold for the card at root.
std::optional<CameraProfile> matchProfile(const std::vector<CameraProfile>& profiles,
                                          const std::string& root, const WalkFs& fs = realWalkFs());

/// sonyDeviceInXml of a clip metadata file. Files past maxSidecarBytes are not read.
SonyDevice sonyDevice(const std::string& path);
constexpr size_t maxSidecarBytes = 64u << 20;

/// Reads the container tags of one video file.
using TagReader = std::function<std::vector<MediaTag>(const std::string& path)>;

/// The camera of the card at root with files in listing order, matched against profiles.
/// Never fails: what cannot be found stays absent.
CameraID identify(const std::string& root, const std::vector<CardFile>& files,
                  const std::vector<CameraProfile>& profiles,
                  const TagReader& tags = containerTags);
/// The same with the installed pack's profiles (or the built-in ones).
CameraID identify(const std::string& root, const std::vector<CardFile>& files);

}  // namespace tolverdine

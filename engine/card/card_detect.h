// Whether a mounted volume is a camera card, removable media worth offering, or neither.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tolverdine {

/// The top level holds a camera folder or file (cameraDirs) or a clip written at the root
/// (rootVideo). False when the top level is empty or cannot be read.
bool looksLikeCard(const std::string& root);
bool isCard(const std::string& root, bool removable);
/// The top level holds an application or installer package.
bool hasInstaller(const std::string& root);
bool isGenericMedia(const std::string& root, bool removable, bool diskImage);
/// From the disk description: model "Disk Image" or protocol "Virtual Interface".
bool isDiskImage(const std::optional<std::string>& model, const std::optional<std::string>& proto);

/// Known and between 1 byte and 2.2 TB (decimal) inclusive; an unknown capacity is not small.
bool isSmallVolume(std::optional<int64_t> capacity);

enum class CardDecision { card, generic, none };

/// The decision at mount time. capacity is the volume's total capacity in bytes, absent when it
/// could not be read; it only matters for volumes that do not look like a card.
CardDecision decideCard(const std::string& root, bool removable, bool diskImage,
                        std::optional<int64_t> capacity);

}  // namespace tolverdine

// The clip metadata XML a Sony camera writes beside each clip (C0001M01.XML), read as text:
// the few attributes we need are found by their literal form, without an XML parser.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolverdine {

struct SonyDevice {
  std::optional<std::string> model, serial;
  bool operator==(const SonyDevice&) const = default;
};

/// modelName and serialNo of the first <Device> tag; placeholder serials ("0", "4294967295")
/// count as none. Nothing for text that is not UTF-8.
SonyDevice sonyDeviceInXml(std::string_view xml);

/// The first non-empty <CreationDate value="..."> as seconds since the epoch; absent when that
/// value is no date with a time zone, or the text is not UTF-8.
std::optional<double> sonyCreationDateInXml(std::string_view xml);

}  // namespace tolverdine

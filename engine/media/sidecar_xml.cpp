#include "engine/media/sidecar_xml.h"

#include "engine/base/iso_date.h"
#include "engine/base/text.h"

namespace tolverdine {

namespace {
bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The quoted value of name="..." at its first occurrence in tag, as the expression
// name="([^"]*)" finds it.
std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
  std::string open = std::string(name) + "=\"";
  size_t at = tag.find(open);
  if (at == std::string_view::npos) return std::nullopt;
  size_t start = at + open.size();
  size_t close = tag.find('"', start);
  // With no closing quote after the first occurrence there is none after a later one either.
  if (close == std::string_view::npos) return std::nullopt;
  return std::string(tag.substr(start, close - start));
}

// The first opening tag "<Device\b[^>]*>" of xml.
std::optional<std::string_view> deviceTag(std::string_view xml) {
  static constexpr std::string_view open = "<Device";
  for (size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at + 1)) {
    size_t after = at + open.size();
    if (after < xml.size() && isWordChar(xml[after])) continue;  // <DeviceInfo is another element
    size_t close = xml.find('>', after);
    if (close == std::string_view::npos) return std::nullopt;
    return xml.substr(at, close + 1 - at);
  }
  return std::nullopt;
}
}  // namespace

SonyDevice sonyDeviceInXml(std::string_view xml) {
  if (!validUtf8(std::string(xml))) return {};
  auto tag = deviceTag(xml);
  if (!tag) return {};
  auto model = attribute(*tag, "modelName");
  if (!model || model->empty()) return {};
  auto serial = attribute(*tag, "serialNo");
  if (serial && (serial->empty() || *serial == "4294967295" || *serial == "0")) serial.reset();
  return SonyDevice{model, serial};
}

std::optional<double> sonyCreationDateInXml(std::string_view xml) {
  if (!validUtf8(std::string(xml))) return std::nullopt;
  static constexpr std::string_view open = "<CreationDate value=\"";
  for (size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at + 1)) {
    size_t start = at + open.size();
    size_t close = xml.find('"', start);
    if (close == std::string_view::npos) return std::nullopt;
    if (close == start) continue;  // an empty value is no match; a later element may still be one
    return parseInternetDate(xml.substr(start, close - start), Fraction::forbidden);
  }
  return std::nullopt;
}

}  // namespace tolverdine

// Any bytes as a camera's clip metadata XML: reading the device and the recording time must not
// crash or hang, and what is found must lie in the text as it was.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/media/sidecar_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolverdine;
  std::string_view xml(reinterpret_cast<const char*>(data), size);
  SonyDevice d = sonyDeviceInXml(xml);
  if (d.serial && !d.model) std::abort();
  if (d.model &&
      (d.model->empty() || xml.find("modelName=\"" + *d.model + "\"") == std::string_view::npos))
    std::abort();
  if (d.serial && (*d.serial == "0" || *d.serial == "4294967295" || d.serial->empty()))
    std::abort();
  if (auto t = sonyCreationDateInXml(xml); t && !std::isfinite(*t)) std::abort();
  return 0;
}

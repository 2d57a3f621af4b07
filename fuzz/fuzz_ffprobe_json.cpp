// Any bytes as ffprobe output: the reader must not crash, and what it gives must be plausible.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/media/ffprobe_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto m =
      tolverdine::parseFfprobeJson(std::string_view(reinterpret_cast<const char*>(data), size));
  if (m) {
    if (m->dur && !(std::isfinite(*m->dur) && *m->dur > 0)) std::abort();
    if (m->ch < 0) std::abort();
    if (m->fps && !std::isfinite(*m->fps)) std::abort();
  }
  return 0;
}

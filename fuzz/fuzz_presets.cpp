// Any bytes as a presets file: decoding must not crash, and a decoded map must survive a round
// trip.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/layout/presets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tolverdine::Presets;
  auto m = Presets::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!m) return 0;
  std::string text;
  try {
    text = Presets::encode(*m);
  } catch (const tolverdine::PresetEncodeError&) {
    return 0;  // e.g. a name that is not UTF-8
  }
  auto again = Presets::decode(text);
  if (!again || *again != *m) std::abort();
  return 0;
}

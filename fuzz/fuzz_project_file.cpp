// Any bytes as a project file: decoding must not crash, and a decoded project must encode and
// decode to the same record, in the same bytes the second time.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/project/project_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tolverdine::ProjectFile;
  auto d = ProjectFile::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!d) {
    if (d.error.message.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  std::string text;
  try {
    text = d.file->encoded();
  } catch (const tolverdine::ProjectFileError&) {
    return 0;
  }
  auto again = ProjectFile::decode(text);
  if (!again) std::abort();
  // The writer always writes the current schema and day boundary.
  ProjectFile want = *d.file;
  want.schema = tolverdine::kProjectSchema;
  want.dayBoundary = "04:00";
  if (*again.file != want || again.file->encoded() != text) std::abort();
  return 0;
}

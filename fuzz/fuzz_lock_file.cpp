// Any bytes as a lock file: reading must not crash, and what is read must be written back as a
// lock that reads the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/base/lock_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolverdine;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto r = parseLock(text);
  if (!r) return 0;
  if (r->pid <= 0) std::abort();
  parseIsoUtc(r->at);
  auto again = parseLock(lockContent(r->pid, r->at, r->host));
  if (!again || *again != *r) std::abort();
  return 0;
}

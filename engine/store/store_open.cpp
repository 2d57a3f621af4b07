#include "engine/store/store_open.h"

#include <sys/stat.h>

#include <exception>

#include "os/fs.h"

namespace tolverdine {

OpenedStore openStoreAt(const std::string& path, IfMissing missing) {
  OpenedStore o;
  struct ::stat st {};
  if (missing == IfMissing::leave && realFs().stat(path, &st) != 0) return o;
  try {
    o.store = std::make_unique<Store>(path);
  } catch (const StoreError& e) {
    o.error = e.description();
  } catch (const std::exception& e) {  // the folder could not be made; out of memory
    o.error = "DB 열기 실패: " + path + " · " + e.what();
  }
  return o;
}

}  // namespace tolverdine

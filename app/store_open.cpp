#include "app/store_open.h"

#include <exception>

namespace tolverdine {

OpenedStore openStoreAt(const std::string& path) {
  OpenedStore o;
  try {
    o.store = std::make_unique<Store>(path);
  } catch (const StoreError& e) {
    o.error = e.description();
  } catch (const std::exception& e) {  // its folder could not be made
    o.error = "DB 열기 실패: " + path + " · " + e.what();
  }
  return o;
}

}  // namespace tolverdine

#include "engine/card/listing_error.h"

#include "engine/base/system_reason.h"

namespace tolverdine {

std::string listingReason(const ListingError& e) {
  return "폴더를 읽지 못함: " + (e.rel.empty() ? std::string("/") : e.rel) + " · " +
         systemReason(e.err);
}

void addListingFailures(IngestResult& result, const std::vector<ListingError>& errors) {
  if (errors.empty()) return;
  for (const auto& e : errors) result.failed.push_back({e.rel, "", listingReason(e)});
  result.color = CardColor::red;
}

}  // namespace tolverdine

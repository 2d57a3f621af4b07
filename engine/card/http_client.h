// The one HTTP request the engine makes: a plain GET. Real clients live in platform/.
#pragma once

#include <optional>
#include <string>

namespace tolverdine {

struct HttpResponse {
  long status = 0;
  std::string body;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  /// Absent on any network failure, a time-out or a body past the client's size limit.
  virtual std::optional<HttpResponse> get(const std::string& url) = 0;
};

}  // namespace tolverdine

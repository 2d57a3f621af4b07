// HttpClient on libcurl: no redirects followed, bounded time and body size.
#pragma once

#include <chrono>
#include <cstddef>

#include "engine/card/http_client.h"

namespace tolverdine {

class CurlHttp : public HttpClient {
 public:
  explicit CurlHttp(std::chrono::seconds timeout = std::chrono::seconds(30),
                    size_t maxBody = 8u << 20)
      : timeout_(timeout), maxBody_(maxBody) {}
  std::optional<HttpResponse> get(const std::string& url) override;

 private:
  std::chrono::seconds timeout_;
  size_t maxBody_;
};

}  // namespace tolverdine

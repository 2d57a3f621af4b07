#include "platform/curl_http.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace tolverdine {

namespace {
struct Sink {
  std::string body;
  size_t limit;
  bool over = false;
};

size_t onData(char* p, size_t size, size_t n, void* user) {
  auto* s = static_cast<Sink*>(user);
  size_t len = size * n;
  if (s->body.size() + len > s->limit) {
    s->over = true;
    return 0;  // aborts the transfer
  }
  s->body.append(p, len);
  return len;
}
}  // namespace

std::optional<HttpResponse> CurlHttp::get(const std::string& url) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> c(curl_easy_init(), &curl_easy_cleanup);
  if (!c) return std::nullopt;
  Sink sink{{}, maxBody_};
  curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c.get(), CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c.get(), CURLOPT_TIMEOUT, static_cast<long>(timeout_.count()));
  curl_easy_setopt(c.get(), CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, &onData);
  curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &sink);
  if (curl_easy_perform(c.get()) != CURLE_OK || sink.over) return std::nullopt;
  long status = 0;
  curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &status);
  return HttpResponse{status, std::move(sink.body)};
}

}  // namespace tolverdine

#include <curl/curl.h>

#include <nlohmann/json.hpp>

#include "platform/webhook.h"

namespace tolverdine {

bool webhookURLAccepted(const std::string& url) {
  // The scheme must be written exactly so; a plain-http hook would send the verdict in clear.
  if (url.rfind("https://", 0) != 0 || url.size() == 8 || url[8] == '/') return false;
  CURLU* u = curl_url();
  if (!u) return false;
  bool ok = false;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) ok = true;
    curl_free(host);
  }
  curl_url_cleanup(u);
  return ok;
}

std::string webhookBody(const std::string& text) {
  nlohmann::json j = {{"content", text}, {"text", text}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tolverdine

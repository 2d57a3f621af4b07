#include "web/request_guard.h"

#include "web/token.h"

namespace tolverdine::web {

bool isPageFile(const std::string& path) {
  for (const char* p :
       {"/", "/settings", "/library", "/rules", "/report", "/app.js", "/app.css", "/favicon.ico"})
    if (path == p) return true;
  return false;
}

GuardResult guardRequest(const RequestFacts& r, int port, const std::string& token) {
  const std::string p = std::to_string(port);
  if (r.host != "127.0.0.1:" + p && r.host != "localhost:" + p) return {Verdict::refuse, "host"};
  if (r.origin && *r.origin != "http://127.0.0.1:" + p && *r.origin != "http://localhost:" + p)
    return {Verdict::refuse, "origin"};
  if (r.fetchSite && *r.fetchSite == "cross-site") return {Verdict::refuse, "cross-site"};
  const bool read = r.method == "GET" || r.method == "HEAD";
  if (!read && r.method != "POST") return {Verdict::refuse, "method"};
  if (read && isPageFile(r.path)) return {Verdict::allow, ""};
  if (r.headerToken && tokensEqual(*r.headerToken, token)) return {Verdict::allow, ""};
  return {Verdict::refuse, "token"};
}

}  // namespace tolverdine::web

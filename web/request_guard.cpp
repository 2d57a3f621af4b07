#include "web/request_guard.h"

#include "web/token.h"

namespace tolverdine::web {

namespace {

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::optional<std::string> cookieValue(const std::string& header, const std::string& name) {
  size_t pos = 0;
  while (pos <= header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string part = trim(header.substr(pos, end - pos));
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 &&
        part[name.size()] == '=')
      return part.substr(name.size() + 1);
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::string cookieName(int port) { return "tolverdine_" + std::to_string(port); }

GuardResult guardRequest(const RequestFacts& r, int port, const std::string& token) {
  const std::string p = std::to_string(port);
  if (r.host != "127.0.0.1:" + p && r.host != "localhost:" + p)
    return {Verdict::refuse, "host"};
  if (r.origin && *r.origin != "http://127.0.0.1:" + p && *r.origin != "http://localhost:" + p)
    return {Verdict::refuse, "origin"};
  if (r.fetchSite && *r.fetchSite == "cross-site") return {Verdict::refuse, "cross-site"};
  const bool read = r.method == "GET" || r.method == "HEAD";
  if (!read && r.method != "POST") return {Verdict::refuse, "method"};
  if (read && r.queryToken) {
    if (tokensEqual(*r.queryToken, token)) return {Verdict::setCookie, ""};
    return {Verdict::refuse, "token"};
  }
  if (!read) {
    if (r.headerToken && tokensEqual(*r.headerToken, token)) return {Verdict::allow, ""};
    return {Verdict::refuse, "token header"};
  }
  auto fromCookie = cookieValue(r.cookie, cookieName(port));
  if ((fromCookie && tokensEqual(*fromCookie, token)) ||
      (r.headerToken && tokensEqual(*r.headerToken, token)))
    return {Verdict::allow, ""};
  return {Verdict::refuse, "token"};
}

}  // namespace tolverdine::web

// Decides, before any route runs, whether a request may reach the application: only the page this
// process served, from this machine, under its own address.
#pragma once

#include <optional>
#include <string>

namespace tolverdine::web {

struct RequestFacts {
  std::string method;                  // "GET", "POST", ...
  std::string host;                    // Host header, empty when missing
  std::optional<std::string> origin;   // Origin header
  std::string cookie;                  // Cookie header, empty when missing
  std::optional<std::string> headerToken;  // X-Tolverdine-Token
  std::optional<std::string> queryToken;   // ?token=
  std::optional<std::string> fetchSite;    // Sec-Fetch-Site
};

enum class Verdict { allow, setCookie, refuse };

struct GuardResult {
  Verdict verdict;
  std::string reason;  // for refusals, shown in the 403 body
};

/// The cookie's name; it carries the port because cookies are shared between ports of one host.
std::string cookieName(int port);

/// `setCookie`: a GET whose ?token= is right; the caller stores the cookie and redirects to the
/// clean address. Requests with a foreign Host (DNS rebinding) or Origin (cross-site) are refused
/// whatever they carry; a POST needs the token in the header as well, since a cookie alone is
/// sent by any page that manages to post here.
GuardResult guardRequest(const RequestFacts& r, int port, const std::string& token);

}  // namespace tolverdine::web

// Decides, before any route runs, whether a request may reach the application: only the page this
// process served, from this machine, under its own address.
#pragma once

#include <optional>
#include <string>

namespace tolverdine::web {

struct RequestFacts {
  std::string method;                      // "GET", "POST", ...
  std::string path;                        // without the query
  std::string host;                        // Host header, empty when missing
  std::optional<std::string> origin;       // Origin header
  std::optional<std::string> headerToken;  // X-Tolverdine-Token
  std::optional<std::string> fetchSite;    // Sec-Fetch-Site
};

enum class Verdict { allow, refuse };

struct GuardResult {
  Verdict verdict;
  std::string reason;  // for refusals, shown in the 403 body
};

/// The page's own files (markup, script, style): they hold no state and no token, so any request
/// of this machine under this server's address may load them.
bool isPageFile(const std::string& path);

/// Requests with a foreign Host (DNS rebinding), Origin or fetch site (cross-site) are refused
/// whatever they carry. Everything but the page's files needs the token in the header: the page
/// keeps it in its tab's session storage. No cookie carries it, since cookies are sent to every
/// port of the host and so to any other local server.
GuardResult guardRequest(const RequestFacts& r, int port, const std::string& token);

}  // namespace tolverdine::web

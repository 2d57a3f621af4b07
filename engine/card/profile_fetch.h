// Fetching a newer profile pack from the download server and installing it.
#pragma once

#include <string>
#include <string_view>

#include "engine/card/http_client.h"

namespace tolverdine {

constexpr const char* profilePackPath = "/downloads/tolverdine/profiles.json";
constexpr const char* profileSignaturePath = "/downloads/tolverdine/profiles.json.sig";

/// Downloads pack and signature from server (scheme and host, no trailing "/") and installs
/// them at dest. Only status 200 counts; any failure leaves dest as it was. True when installed.
bool fetchProfiles(HttpClient& http, const std::string& server, const std::string& dest,
                   std::string_view publicKey);

}  // namespace tolverdine

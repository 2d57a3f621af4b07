#include "platform/profile_update.h"

#include "engine/card/profile_fetch.h"
#include "engine/card/profiles.h"
#include "platform/curl_http.h"

#ifndef TOLVERDINE_PROFILE_SERVER
#define TOLVERDINE_PROFILE_SERVER "https://tolverdine.app"
#endif

namespace tolverdine {

std::string profileServer() { return TOLVERDINE_PROFILE_SERVER; }

bool updateProfiles() {
  CurlHttp http;
  return fetchProfiles(http, profileServer(), Profiles::overrideURL(), profilesPublicKey);
}

}  // namespace tolverdine

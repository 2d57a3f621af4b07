#include "engine/card/profile_fetch.h"

#include "engine/base/text.h"
#include "engine/card/profiles.h"

namespace tolverdine {

bool fetchProfiles(HttpClient& http, const std::string& server, const std::string& dest,
                   std::string_view publicKey) {
  std::string base = server;
  while (!base.empty() && base.back() == '/') base.pop_back();
  auto pack = http.get(base + profilePackPath);
  if (!pack || pack->status != 200) return false;
  auto sig = http.get(base + profileSignaturePath);
  if (!sig || sig->status != 200 || !validUtf8(sig->body)) return false;
  return Profiles::install(pack->body, sig->body, dest, publicKey);
}

}  // namespace tolverdine

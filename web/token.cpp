#include "web/token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "os/fd.h"
#include "os/home.h"

namespace tolverdine::web {

std::string newToken() {
  unsigned char raw[32];
  if (RAND_bytes(raw, sizeof raw) != 1) throw std::runtime_error("RAND_bytes failed");
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : raw) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

bool tokensEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool writeTokenFile(const std::string& path, const std::string& token, std::string* err) {
  auto fail = [&](const std::string& what) {
    if (err) *err = what + ": " + path + ": " + std::strerror(errno);
    return false;
  };
  if (!mkdirs(parentPath(path))) return fail("mkdir");
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  unlink(tmp.c_str());
  UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return fail("open");
  // The umask cannot widen 0600, but an inherited ACL default could; pin it.
  if (fchmod(fd.get(), 0600) != 0) return fail("chmod");
  std::string data = token + "\n";
  if (int e = writeAll(fd.get(), data); e != 0 || fsync(fd.get()) != 0) {
    if (e != 0) errno = e;
    unlink(tmp.c_str());
    return fail("write");
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return fail("rename");
  }
  return true;
}

std::string defaultTokenPath() { return applicationSupportDir() + "/web.token"; }

}  // namespace tolverdine::web

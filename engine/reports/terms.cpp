#include "engine/reports/terms.h"

#include <openssl/evp.h>

#include <memory>

#include "engine/base/files.h"
#include "engine/base/text.h"

namespace tolverdine {

std::string termsLanguage(const std::optional<std::string>& firstLocalisation) {
  return firstLocalisation && *firstLocalisation == "en" ? "en" : "ko";
}

std::string termsFileName(const std::string& language) { return "EULA." + language + ".md"; }

std::string sha256Hex(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), md, &len) != 1)
    return {};
  return lowerHex(md, len);
}

Terms loadTerms(const std::string& resourceDir, const std::string& language) {
  const std::string name = termsFileName(language);
  Terms t;
  if (!readFile(resourceDir + "/" + name, &t.text))
    t.text = "약관 파일을 찾을 수 없습니다: " + name;
  t.fingerprint = sha256Hex(t.text);
  return t;
}

bool eulaAccepted(const std::optional<std::string>& stored, const Terms& terms) {
  // An empty fingerprint (a failed digest) must never match an empty stored value.
  return stored && !terms.fingerprint.empty() && *stored == terms.fingerprint;
}

std::string acceptanceLogLine(const Terms& terms) {
  return "약관 동의 (" + terms.fingerprint + ")";
}

}  // namespace tolverdine

// tolverdine profiles sign PACK KEY: the maintainer's signing of a profile pack. KEY is a PEM
// Ed25519 private key kept outside the repository; PACK.sig is written beside the pack.
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/card/camera_profile.h"
#include "engine/card/profiles.h"
#include "engine/card/signature.h"

namespace tolverdine::cli {

int runProfiles(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "sign") != 0) {
    std::fprintf(stderr, "사용법: tolverdine profiles sign <팩> <개인 키>\n");
    return 64;
  }
  std::string pack, pem;
  if (!readFile(argv[2], &pack)) {
    std::fprintf(stderr, "팩을 읽을 수 없음: %s\n", argv[2]);
    return 1;
  }
  auto decoded = decodePack(pack);
  if (!decoded) {
    std::fprintf(stderr, "프로필 팩 형식이 아님: %s\n", argv[2]);
    return 1;
  }
  if (decoded->version <= Profiles::defaultVersion)
    std::fprintf(stderr, "경고: 버전 %lld 팩은 설치되지 않습니다 (2 이상 필요)\n",
                 decoded->version);
  auto key = readFile(argv[3], &pem) ? Ed25519Key::fromPem(pem) : std::nullopt;
  if (!key) {
    std::fprintf(stderr, "Ed25519 개인 키가 아님: %s\n", argv[3]);
    return 1;
  }
  if (key->publicKeyBase64() != profilesPublicKey)
    std::fprintf(stderr, "경고: 이 키는 프로그램에 들어 있는 공개 키와 짝이 아닙니다\n");
  try {
    std::string sig = signDetached(pack, *key);
    writeFileAtomic(std::string(argv[2]) + ".sig", sig + "\n");
    std::printf("%s.sig\n", argv[2]);
  } catch (const SignError& e) {
    std::fprintf(stderr, "서명 실패: %s\n", e.what.c_str());
    return 1;
  } catch (const WriteFail&) {
    std::fprintf(stderr, "서명 파일을 쓸 수 없음: %s.sig\n", argv[2]);
    return 1;
  }
  return 0;
}

}  // namespace tolverdine::cli

#include "engine/base/system_reason.h"

#include <cerrno>
#include <cstring>

namespace tolverdine {

namespace {
const char* korean(int err) {
  switch (err) {
    case ENOSPC: return "드라이브에 공간이 없습니다";
    case EDQUOT: return "사용자 할당량을 넘었습니다";
    case EACCES:
    case EPERM: return "권한이 없습니다";
    case EROFS: return "읽기 전용 드라이브입니다";
    case ENOENT: return "파일이나 폴더가 없습니다";
    case ENOTDIR: return "경로 중간이 폴더가 아닙니다";
    case EISDIR: return "파일이 아니라 폴더입니다";
    case EEXIST: return "이미 있습니다";
    case ENAMETOOLONG: return "이름이 너무 깁니다";
    case EIO: return "입출력 오류입니다 — 드라이브나 케이블을 확인하세요";
    case ENODEV:
    case ENXIO: return "장치가 없습니다 — 분리됐을 수 있습니다";
    case EBUSY: return "다른 프로그램이 쓰고 있습니다";
    case ETIMEDOUT: return "응답이 없습니다";
    case EFBIG: return "파일이 이 드라이브에 담기에 너무 큽니다";
    case EMFILE:
    case ENFILE: return "열린 파일이 너무 많습니다";
    case ENOMEM: return "메모리가 모자랍니다";
    case EINVAL: return "이 드라이브가 받지 않는 동작입니다";
    case ESTALE: return "네트워크 드라이브의 연결이 끊겼습니다";
    default: return "시스템 오류";
  }
}
}  // namespace

std::string systemReason(int err) {
  char buf[256];
  // GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(korean(err)) + " (" + text + ")";
}

}  // namespace tolverdine

// A failed system call said in Korean, with the system's own text kept in brackets for support:
// "드라이브에 공간이 없습니다 (No space left on device)".
#pragma once

#include <string>

namespace tolverdine {

/// The Korean reason for errno err, followed by the system's text in brackets; an errno without
/// a Korean text gives "시스템 오류" with it.
std::string systemReason(int err);

}  // namespace tolverdine

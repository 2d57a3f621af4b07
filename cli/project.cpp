// tolverdine project show FILE: what a project file would set up, or why it is refused.
#include <cstdio>
#include <string>

#include "engine/base/term_text.h"
#include "engine/project/project_file.h"

namespace tolverdine::cli {

namespace {
std::string number(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", d);
  return buf;
}

std::string conditions(const Rule& r) {
  std::string out;
  auto add = [&](const std::string& s) { out += (out.empty() ? "" : ", ") + s; };
  if (r.maxSec) add(number(*r.maxSec) + "초 이하");
  if (r.minSec) add(number(*r.minSec) + "초 이상");
  if (r.minCh) add("채널 " + std::to_string(*r.minCh) + "개 이상");
  if (r.model) add("모델 " + printableName(*r.model));
  return out.empty() ? "조건 없음" : out;
}

void list(const char* heading, const std::vector<std::string>& items) {
  std::printf("%s:%s\n", heading, items.empty() ? " 없음" : "");
  for (const auto& s : items) std::printf("  %s\n", printableName(s).c_str());
}
}  // namespace

int runProject(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "show") {
    std::fprintf(stderr, "사용법: tolverdine project show <프로젝트 파일>\n");
    return 64;
  }
  auto d = ProjectFile::read(argv[2]);
  if (!d) {
    std::fprintf(stderr, "불러오기 실패: %s\n", d.error.message.c_str());
    return 1;
  }
  const ProjectFile& f = *d.file;
  // Every text comes from the file, which anyone may have written: an escape sequence or a
  // carriage return in it must not act on the terminal.
  auto show = [](const std::string& s) { return printableName(s); };
  std::printf("형식: %s\n", show(f.schema).c_str());
  std::printf("프로젝트: %s\n", show(f.name).c_str());
  std::printf("날짜: %s\n", f.date ? show(*f.date).c_str() : "없음");
  std::printf("프리셋: %s (규칙 %zu개)\n", show(f.preset).c_str(), f.rules.size());
  for (size_t i = 0; i < f.rules.size(); ++i)
    std::printf("  %zu. %s — %s\n", i + 1, show(f.rules[i].cls).c_str(),
                conditions(f.rules[i]).c_str());
  std::printf("폴더 이름: %s\n", f.nameSet == "en" ? "영어" : "한국어");
  std::printf("카메라:%s\n", f.cameras.empty() ? " 없음" : "");
  for (const auto& c : f.cameras)
    std::printf("  %s → %s\n", c.identity.empty() ? "(모르는 카메라)" : show(c.identity).c_str(),
                show(c.label).c_str());
  list("목적지", f.destinations);
  list("2차 목적지", f.cascadeDestinations);
  std::printf("필요한 사본: %d개\n", f.copiesRequired);
  std::printf("검증: %s\n", verifyModeText(f.verify));
  std::printf("MD5: %s\n", f.md5 ? "계산함" : "계산 안 함");
  std::printf("보관 방식: %s\n", storageLabel(f.storage));
  return 0;
}

}  // namespace tolverdine::cli

#include "cli/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace tolverdine::cli {

namespace {
int usage() {
  std::fprintf(stderr,
               "사용법: tolverdine <명령> [인수…]\n"
               "  demo                 예시 카드를 만들어 두 목적지로 복사합니다\n"
               "  ingest <카드> …      카드를 목적지마다 복사하고 검증합니다\n"
               "  status <카드>        카드의 지문과 백업 상태, 사본이 모자란 파일\n"
               "  stats <카드>         클립 길이 분포\n"
               "  twin <카드>          듀얼 슬롯 백업 카드를 해시로 대조합니다\n"
               "  verify <폴더>        프로젝트 폴더를 해시 목록과 대조합니다\n"
               "  identify <카드>      카드를 쓴 카메라를 알아봅니다\n"
               "  tree <카드> [파일]   카드의 폴더 구조를 이름·내용 없이 씁니다\n"
               "  profiles sign <팩> <키>  프로필 팩에 서명합니다\n"
               "  mirror <1차> <2차>   검증된 프로젝트 폴더를 다른 드라이브로 한 번 더 복사합니다\n"
               "  reclassify <폴더> <클립> <분류>  클립을 다른 분류 폴더로 옮깁니다\n"
               "  project show <파일>  프로젝트 파일의 설정을 보여 줍니다\n"
               "  diagnostics [파일]   진단 정보를 zip 파일로 씁니다\n"
               "  search <찾을 말>     라이브러리에서 파일 이름·카메라·폴더로 사본을 찾습니다\n"
               "  history              최근에 본 카드\n"
               "  suggestions          손으로 옮긴 방향에서 배운 규칙 제안\n"
               "  serve [--watch <폴더>]  카드를 기다리며 웹 화면(127.0.0.1)을 엽니다\n");
  return 64;
}
}  // namespace

int runDemo(int argc, char** argv);
int runIngest(int argc, char** argv);
int runStatus(int argc, char** argv);
int runStats(int argc, char** argv);
int runTwin(int argc, char** argv);
int runVerify(int argc, char** argv);
int runIdentify(int argc, char** argv);
int runTree(int argc, char** argv);
int runProfiles(int argc, char** argv);
int runMirror(int argc, char** argv);
int runReclassify(int argc, char** argv);
int runProject(int argc, char** argv);
int runDiagnostics(int argc, char** argv);
int runSearch(int argc, char** argv);
int runHistory(int argc, char** argv);
int runSuggestions(int argc, char** argv);
int runServe(int argc, char** argv);

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "demo") return runDemo(argc - 1, argv + 1);
  if (cmd == "ingest") return runIngest(argc - 1, argv + 1);
  if (cmd == "status") return runStatus(argc - 1, argv + 1);
  if (cmd == "stats") return runStats(argc - 1, argv + 1);
  if (cmd == "twin") return runTwin(argc - 1, argv + 1);
  if (cmd == "verify") return runVerify(argc - 1, argv + 1);
  if (cmd == "identify") return runIdentify(argc - 1, argv + 1);
  if (cmd == "tree") return runTree(argc - 1, argv + 1);
  if (cmd == "profiles") return runProfiles(argc - 1, argv + 1);
  if (cmd == "mirror") return runMirror(argc - 1, argv + 1);
  if (cmd == "reclassify") return runReclassify(argc - 1, argv + 1);
  if (cmd == "project") return runProject(argc - 1, argv + 1);
  if (cmd == "diagnostics") return runDiagnostics(argc - 1, argv + 1);
  if (cmd == "search") return runSearch(argc - 1, argv + 1);
  if (cmd == "history") return runHistory(argc - 1, argv + 1);
  if (cmd == "suggestions") return runSuggestions(argc - 1, argv + 1);
  if (cmd == "serve") return runServe(argc - 1, argv + 1);
  return usage();
}

}  // namespace tolverdine::cli

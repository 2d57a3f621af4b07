#include "cli/help.h"

#include <cstdio>

#include "engine/base/version.h"

namespace tolverdine::cli {

namespace {
const ExitHelp kUsage{64, "사용법 오류 (모르는 명령·옵션, 빠진 인수, 맞지 않는 값)"};
const ExitHelp kNoCard{1, "카드 폴더가 없거나 폴더가 아님"};

std::vector<CommandHelp> table() {
  return {
      {"serve",
       "[--watch 폴더]… [--loop-removable] [--port N]",
       "앱 본체: 카드를 기다려 복사·검증하고 웹 화면(127.0.0.1)을 엽니다",
       {{"watch", "폴더", "/media/, /run/media/ 외에 카드와 목적지 드라이브를 찾을 폴더 (여러 번)"},
        {"loop-removable", "", "루프 장치(디스크 이미지)도 이동식 카드로 봅니다"},
        {"port", "N", "웹 화면의 포트 (기본: 빈 포트)"}},
       {{0, "SIGINT·SIGTERM 뒤 복사 중인 카드를 마치고 끝남"},
        {1, "이미 다른 serve 가 실행 중이거나 웹 화면을 열지 못함"},
        kUsage,
        {130, "두 번째 신호로 곧바로 끝남"}}},
      {"open",
       "",
       "실행 중인 serve 의 웹 화면을 브라우저로 엽니다 (없으면 먼저 시작, 메뉴 항목)",
       {},
       {{0, "열었음"},
        {1, "serve 를 시작하지 못했거나 브라우저를 열지 못함 (주소는 표준 출력에)"},
        kUsage}},
      {"demo",
       "[--stay] [--folder] [--port N]",
       "예시 카드를 만들어 두 목적지로 복사합니다",
       {{"stay", "", "끝난 뒤에도 웹 화면을 열어 둡니다"},
        {"folder", "", "루프 이미지 대신 폴더를 카드로 씁니다"},
        {"port", "N", "웹 화면의 포트"}},
       {{0, "카드가 초록"}, {1, "초록이 아님, 또는 임시 폴더를 만들지 못함"}, kUsage}},
      {"ingest",
       "카드 --project 이름 --dest 폴더 [--dest 폴더]… [옵션…]",
       "카드를 목적지마다 복사하고 되읽어 검증합니다",
       {{"project", "이름", "프로젝트 이름 (폴더 이름: 촬영일_이름)"},
        {"dest", "폴더", "목적지 폴더 (여러 번, 카드는 한 번만 읽음)"},
        {"copies", "N", "파일마다 필요한 검증 사본 수 (기본 2)"},
        {"verify", "fast|standard|paranoid", "검증: 되읽기 없음 · 되읽기 (기본) · 두 번 되읽기"},
        {"md5", "", "MD5 도 계산합니다"},
        {"english", "", "영어 폴더 이름"},
        {"cam", "이름", "카메라 이름 (기본: 이 카메라에 기억된 이름, 없으면 \"A캠\")"},
        {"preset", "이름", "분류 프리셋 (기본 default)"},
        {"operator", "이름", "해시 목록과 리포트에 적을 작업자"},
        {"logo", "그림", "PDF 리포트의 로고 (PNG·JPEG)"},
        {"recap", "명령", "초록 카드 뒤 `명령 매니페스트` 를 실행합니다"},
        {"storage", "split|mirror|auto",
         "분류 폴더로 복사 · 카드 그대로 + 분류 보기 · 자동 (기본)"}},
       {{0, "초록: 모든 파일에 검증 사본이 충분함, 포맷해도 됨"},
        {1, "노랑: 사본이 모자란 파일이 있음"},
        {2, "빨강: 실패 또는 멈춤 (카드 폴더가 없거나 파일일 때도)"},
        {3, "회색: 결정된 것 없음"},
        kUsage}},
      {"status",
       "카드 [--copies N]",
       "카드의 지문과 백업 상태, 사본이 모자란 파일",
       {{"copies", "N", "필요한 검증 사본 수 (기본 2)"}},
       {{0, "이미 백업됨: 포맷해도 됨"},
        {1, "사본이 모자라거나 처음 보는 카드, 다 읽지 못함, 또는 카드 폴더가 없음"},
        {2, "데이터베이스를 열지 못함"},
        kUsage}},
      {"twin",
       "카드 [--copies N]",
       "듀얼 슬롯 백업 카드를 짝 카드의 검증 사본과 해시로 대조합니다",
       {{"copies", "N", "필요한 검증 사본 수 (기본 2)"}},
       {{0, "두 슬롯이 같고 사본도 충분함: 이 카드도 포맷해도 됨"},
        {1, "내용은 같으나 검증 사본이 모자람"},
        {2, "다르거나 못 읽음, 짝 카드가 아님, 데이터베이스 오류"},
        kUsage}},
      {"stats",
       "카드",
       "클립 길이 분포 (규칙의 경계를 고르는 데)",
       {},
       {{0, "표를 씀"}, kNoCard, kUsage}},
      {"verify",
       "프로젝트_폴더",
       "몇 주 뒤에도: 모든 파일을 해시 목록(ascmhl)과 대조합니다",
       {},
       {{0, "모든 파일과 체인이 맞음"},
        {1, "다르거나 빠지거나 해시 목록이 없음, 또는 프로젝트 폴더가 없음"},
        kUsage}},
      {"identify",
       "카드",
       "카드를 쓴 카메라와 그 이름",
       {},
       {{0, "알아본 결과를 씀"}, kNoCard, kUsage}},
      {"tree",
       "카드 [파일]",
       "카드의 폴더 구조를 이름·내용 없이 씁니다 (버그 신고용)",
       {},
       {{0, "씀"}, {1, "카드 폴더가 없거나 폴더가 아님, 또는 파일을 쓰지 못함"}, kUsage}},
      {"profiles sign",
       "팩 키",
       "관리자용: 카메라 프로필 팩에 Ed25519 개인 키로 서명합니다 (팩.sig)",
       {},
       {{0, "서명함"}, {1, "팩이나 키를 읽지 못하거나 서명을 쓰지 못함"}, kUsage}},
      {"mirror",
       "1차_폴더 2차_폴더",
       "검증된 프로젝트 폴더를 다른 드라이브로 한 번 더 복사합니다",
       {},
       {{0, "실패 없이 끝나고 2차 드라이브가 연결된 채였음"},
        {1, "실패가 있거나 2차 드라이브가 분리됨"},
        {2, "멈춤 또는 데이터베이스 오류"},
        kUsage}},
      {"reclassify",
       "폴더 클립 분류 [--english]",
       "클립과 부속 파일을 다른 분류 폴더로 옮깁니다",
       {{"english", "", "영어 폴더 이름"}},
       {{0, "옮김"}, {1, "옮기지 못함"}, {2, "기록에 없는 클립 또는 데이터베이스 오류"}, kUsage}},
      {"project show",
       "파일",
       "프로젝트 파일의 설정을 보여 줍니다 (웹 화면이 가져오고 내보냄)",
       {},
       {{0, "읽음"}, {1, "받아들일 수 없는 파일"}, kUsage}},
      {"diagnostics",
       "[--replace] [파일]",
       "로그, 설정, 데이터베이스 요약, 시스템 정보를 zip 파일로 씁니다",
       {{"replace", "", "같은 이름의 파일이 있으면 바꿉니다 (없으면 거절)"}},
       {{0, "씀"}, {1, "쓰지 못함, 또는 --replace 없이 파일이 이미 있음"}, kUsage}},
      {"search",
       "찾을_말 [--json] [--limit N]",
       "경로·분류 폴더·카메라 이름이 맞는 기록된 사본",
       {{"json", "", "JSON 으로 씁니다"}, {"limit", "N", "최대 개수"}},
       {{0, "찾음 (없어도 0)"}, {1, "데이터베이스를 열지 못함"}, kUsage}},
      {"history",
       "[--json] [--limit N]",
       "최근에 본 카드",
       {{"json", "", "JSON 으로 씁니다"}, {"limit", "N", "최대 개수"}},
       {{0, "씀"}, {1, "데이터베이스를 열지 못함"}, kUsage}},
      {"suggestions",
       "[--json]",
       "손으로 옮긴 클립에서 배운 규칙 제안 (5번 이상)",
       {{"json", "", "JSON 으로 씁니다"}},
       {{0, "씀"}, {1, "데이터베이스를 열지 못함"}, kUsage}},
      {"help",
       "[명령]",
       "명령 목록, 또는 한 명령의 인수·옵션·종료 코드",
       {},
       {{0, "도움말을 씀"}, {64, "모르는 명령"}}},
  };
}

std::string firstWord(const std::string& s) { return s.substr(0, s.find(' ')); }
}  // namespace

const std::vector<CommandHelp>& commandHelp() {
  static const std::vector<CommandHelp> t = table();
  return t;
}

const CommandHelp* findCommand(const std::string& name) {
  for (const auto& c : commandHelp())
    if (c.name == name || firstWord(c.name) == name) return &c;
  return nullptr;
}

std::string usageText() {
  std::string s =
      "사용법: tolverdine <명령> [인수…]   (tolverdine help <명령>, tolverdine --version)\n";
  for (const auto& c : commandHelp()) {
    std::string name = c.name;
    s += "  " + name + std::string(name.size() < 14 ? 16 - name.size() : 2, ' ') + c.summary + "\n";
  }
  return s;
}

std::string helpText(const CommandHelp& c) {
  std::string s = "사용법: tolverdine " + c.name + (c.synopsis.empty() ? "" : " " + c.synopsis) +
                  "\n\n" + c.summary + "\n";
  if (!c.options.empty()) {
    s += "\n옵션:\n";
    for (const auto& o : c.options)
      s += "  --" + o.name + (o.value.empty() ? "" : " " + o.value) + "\n      " + o.text + "\n";
  }
  s += "\n종료 코드:\n";
  for (const auto& e : c.exits) s += "  " + std::to_string(e.code) + "  " + e.text + "\n";
  return s;
}

std::string versionText() { return std::string("tolverdine ") + toolVersion(); }

int runHelp(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  std::string name = argv[1];
  for (int i = 2; i < argc; ++i) name += std::string(" ") + argv[i];
  const CommandHelp* c = findCommand(name);
  if (!c) {
    std::fprintf(stderr, "모르는 명령: %s\n%s", name.c_str(), usageText().c_str());
    return 64;
  }
  std::fputs(helpText(*c).c_str(), stdout);
  return 0;
}

}  // namespace tolverdine::cli

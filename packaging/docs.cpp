// Writes the manual page tolverdine(1) and the bash completion from the command table, so that
// both always list every command, option and exit code the program has.
//   tolverdine_docs man FILE | tolverdine_docs completion FILE
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "cli/help.h"
#include "engine/base/version.h"

namespace {
using tolverdine::cli::commandHelp;

// roff: a backslash and a hyphen in text, and a leading dot or quote.
std::string roff(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

std::string manPage() {
  std::string m;
  m += ".TH TOLVERDINE 1 \"\" \"tolverdine " + std::string(tolverdine::toolVersion()) +
       "\" \"사용자 명령\"\n.nh\n";
  m += ".SH 이름\ntolverdine \\- 촬영 카드를 여러 목적지로 한 번에 복사하고 되읽어 검증합니다\n";
  m +=
      ".SH 사용법\n.B tolverdine\n.I 명령\n[\\fI인수\\fR…]\n.br\n.B tolverdine help\n[\\fI명령\\fR]\n.br\n"
      ".B tolverdine \\-\\-version\n";
  m +=
      ".SH 설명\n"
      "카드는 한 번만 읽혀 모든 목적지에 동시에 복사되고, 모든 사본은 목적지에서 다시 읽어 XXH64 로 "
      "대조되며 SQLite 데이터베이스에 기록됩니다. 카드는 색을 받습니다: 초록(모든 파일에 검증 사본이 "
      "충분함: 카메라에서 포맷해도 됨), 노랑, 빨강, 회색.\n.PP\n"
      "앱 본체는\n.B tolverdine serve\n입니다. 패키지로 설치하면 사용자 서비스\n.B tolverdine.service\n"
      "(\\fBsystemctl \\-\\-user start tolverdine\\fR) 로 돌고, 프로그램 메뉴의 TOLVERDINE 항목"
      "(\\fBtolverdine open\\fR) 이 그 웹 화면을 엽니다. 웹 화면의 \"로그인할 때 TOLVERDINE 시작\" 스위치는 "
      "\\fBsystemctl \\-\\-user enable|disable tolverdine\\fR 을 쓰고, 사용자 서비스 관리자가 없으면 "
      "~/.config/autostart/tolverdine.desktop 을 씁니다.\n.PP\n"
      "웹 화면은 접속 열쇠가 든 주소(…/?token=…)로만 열립니다. 즐겨찾기나 예전 주소로 열어 열쇠를 "
      "묻는다면 \\fBtolverdine open\\fR 을 실행하세요: 실행 중인 serve 의 주소로 엽니다.\n";
  m += ".SH 명령\n";
  for (const auto& c : commandHelp()) {
    m += ".SS \"" + roff(c.name) + (c.synopsis.empty() ? "" : " " + roff(c.synopsis)) + "\"\n";
    m += roff(c.summary) + "\n";
    for (const auto& o : c.options) {
      m += ".TP\n.B \\-\\-" + roff(o.name) +
           (o.value.empty() ? "" : " \\fI" + roff(o.value) + "\\fR") + "\n";
      m += roff(o.text) + "\n";
    }
    m += ".PP\n종료 코드:\n";
    for (const auto& e : c.exits)
      m += ".RS\n.TP 5\n.B " + std::to_string(e.code) + "\n" + roff(e.text) + "\n.RE\n";
  }
  m += ".SH 종료 코드\n"
       "명령마다 위에 적었습니다. 공통: 0 성공(카드는 초록), 64 사용법 오류. "
       "\\fBingest\\fR 는 카드의 색을 돌려줍니다: 0 초록, 1 노랑, 2 빨강, 3 회색.\n";
  m +=
      ".SH 파일\n"
      ".TP\n~/Library/Application Support/TOLVERDINE/\n"
      "설정(settings.json), 데이터베이스(ingest.sqlite), 프리셋, 프로필 팩, 실행 중인 웹 화면의 주소(web.url)\n"
      ".TP\n~/Library/Logs/TOLVERDINE/app.log\n앱 기록\n"
      ".TP\n/usr/share/tolverdine/\n사용 약관 (EULA.ko.md, EULA.en.md)\n"
      ".TP\n/usr/lib/systemd/user/tolverdine.service\n사용자 서비스\n";
  m += ".SH 환경 변수\n.TP\nHOME\n위 파일들의 기준 폴더\n.TP\nLANGUAGE, LC_ALL, LC_MESSAGES, LANG\n"
       "첫 언어가 en 이면 영어 약관\n";
  m += ".SH 함께 보기\n.BR systemctl (1),\n.BR xdg\\-open (1)\n";
  return m;
}

std::string completion() {
  std::string words, cases;
  std::set<std::string> seen;
  for (const auto& c : commandHelp()) {
    std::string first = c.name.substr(0, c.name.find(' '));
    if (!seen.insert(first).second) continue;
    words += (words.empty() ? "" : " ") + first;
    if (first == "help") continue;
    std::string opts, valued;
    for (const auto& o : c.options) {
      opts += (opts.empty() ? "" : " ") + ("--" + o.name);
      if (!o.value.empty()) valued += (valued.empty() ? "" : "|") + ("--" + o.name);
    }
    std::string sub =
        c.name.find(' ') == std::string::npos ? "" : c.name.substr(c.name.find(' ') + 1);
    cases += "    " + first + ")\n";
    if (!valued.empty()) {
      cases += "      case \"$prev\" in\n        " + valued + ")\n";
      // A value that is a choice list ("fast|standard|paranoid") completes to its words.
      for (const auto& o : c.options)
        if (o.value.find('|') != std::string::npos) {
          std::string choices = o.value;
          for (auto& ch : choices)
            if (ch == '|') ch = ' ';
          cases += "          [[ \"$prev\" == --" + o.name + " ]] && { COMPREPLY=($(compgen -W \"" +
                   choices + "\" -- \"$cur\")); return; }\n";
        }
      cases += "          COMPREPLY=($(compgen -f -- \"$cur\")); return;;\n      esac\n";
    }
    if (!sub.empty())
      cases += "      if [[ $cword -eq 2 ]]; then COMPREPLY=($(compgen -W \"" + sub +
               "\" -- \"$cur\")); return; fi\n";
    if (!opts.empty())
      cases += "      if [[ \"$cur\" == -* ]]; then COMPREPLY=($(compgen -W \"" + opts +
               "\" -- \"$cur\")); return; fi\n";
    cases += "      COMPREPLY=($(compgen -f -- \"$cur\"));;\n";
  }
  return "# bash completion for tolverdine (generated from its command table)\n"
         "_tolverdine() {\n"
         "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\" cword=$COMP_CWORD\n"
         "  if [[ $cword -eq 1 ]]; then\n"
         "    COMPREPLY=($(compgen -W \"" +
         words +
         " --version\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case \"${COMP_WORDS[1]}\" in\n"
         "    help)\n"
         "      COMPREPLY=($(compgen -W \"" +
         words + "\" -- \"$cur\"));;\n" + cases +
         "  esac\n"
         "}\n"
         "complete -o filenames -F _tolverdine tolverdine\n";
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tolverdine_docs man|completion FILE\n");
    return 64;
  }
  std::string what = argv[1];
  std::string text = what == "man" ? manPage() : what == "completion" ? completion() : "";
  if (text.empty()) return 64;
  std::ofstream out(argv[2], std::ios::binary);
  out << text;
  return out.good() ? 0 : 1;
}

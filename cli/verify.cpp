// tolverdine verify ROOT: checks a project folder against its ASC MHL hash lists.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "engine/base/canonical_path.h"
#include "engine/base/term_text.h"
#include "engine/hashlist/changed_copies.h"
#include "engine/hashlist/mhl_verify.h"
#include "engine/store/store_open.h"

namespace tolverdine::cli {

namespace {
const char* label(FileState s) {
  switch (s) {
    case FileState::ok: return "정상";
    case FileState::changed: return "변경됨";
    case FileState::missing: return "없음";
    case FileState::unreadable: return "읽을 수 없음";
    case FileState::noHash: return "검증할 해시 없음";
  }
  return "";
}

const char* label(ChainState s) {
  switch (s) {
    case ChainState::ok: return "체인 정상";
    case ChainState::mismatch: return "체인 불일치";
    case ChainState::missing: return "체인 파일 없음";
    case ChainState::unlisted: return "체인에 없음";
  }
  return "";
}
}  // namespace

int runVerify(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "사용법: tolverdine verify <프로젝트 폴더>\n");
    return 64;
  }
  const std::string root = canonicalPath(argv[1]);
  struct stat st {};
  const bool found = ::stat(root.c_str(), &st) == 0;
  if (!found || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: %s\n",
                 found ? "프로젝트 폴더가 아니라 파일입니다" : "프로젝트 폴더가 없습니다",
                 printableName(argv[1]).c_str());
    return 1;
  }
  MHLVerifyReport rep = verifyMHL(root);
  // A copy read back changed no longer counts toward any card's verdict. Without a database here
  // (another computer's drive) there is nothing to tell.
  if (OpenedStore store = openStoreAt(Store::defaultPath(), IfMissing::leave))
    forgetChangedCopies(*store, root, rep);
  // Names come from the disk and from lists other tools wrote: never printed raw.
  auto show = [](const std::string& s) { return printableName(s); };
  int bad = rep.noHashLists ? 1 : 0;
  if (rep.noHashLists) std::printf("해시 목록 없음: %s/ascmhl\n", show(root).c_str());
  for (const auto& n : rep.unreadable) {
    ++bad;
    std::printf("손상된 해시 목록: %s\n", show(n).c_str());
  }
  for (const auto& c : rep.chain) {
    if (c.state != ChainState::ok) ++bad;
    std::printf("%s: %s\n", label(c.state), show(c.name).c_str());
  }
  for (const auto& f : rep.files) {
    if (f.state != FileState::ok) ++bad;
    std::printf("%s: %s\n", label(f.state), show(f.path).c_str());
  }
  for (const auto& u : rep.unlisted) std::printf("해시 목록에 없음: %s\n", show(u).c_str());
  std::printf("파일 %zu개, 문제 %d개", rep.files.size(), bad);
  if (!rep.unlisted.empty()) std::printf(", 해시 목록에 없는 파일 %zu개", rep.unlisted.size());
  std::printf("\n");
  return rep.clean() ? 0 : 1;
}

}  // namespace tolverdine::cli

// tolverdine reclassify DEST CLIP CLASS [--english]: moves one clip (and its sidecars) on the
// project folder DEST into another class folder; CLIP is its path in the folder or, when only
// one clip has it, its file name.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "cli/args.h"
#include "cli/open_store.h"
#include "engine/base/canonical_path.h"
#include "engine/base/term_text.h"
#include "engine/base/text.h"
#include "engine/library/reclassify.h"
#include "engine/store/store.h"

namespace tolverdine::cli {

int runReclassify(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {}, {"english"});
  if (!args || args->positional.size() != 3) {
    std::fprintf(stderr,
                 "사용법: tolverdine reclassify <프로젝트 폴더> <클립 경로> <분류> [--english]\n");
    return 64;
  }
  const std::string dest = canonicalPath(args->positional[0]), rel = nfc(args->positional[1]);
  const NameSet& names = args->has("english") ? NameSet::en() : NameSet::ko();
  std::unique_ptr<Store> store = openStore();
  if (!store) return 2;
  // The clip is named by either its copy path or its view path.
  std::optional<Hit> hit;
  try {
    hit = store->copyNamed(dest, rel);
  } catch (const StoreError& e) {
    std::fprintf(stderr, "오류 — %s\n", e.description().c_str());
    return 2;
  }
  // A bare file name does when it names one clip of the folder; several are listed to choose.
  if (!hit && rel.find('/') == std::string::npos) {
    std::map<std::string, Hit> named;  // by copy path: a clip and its view are one
    for (auto& h : store->copiesOn(dest))
      if (lastComponent(h.rel) == rel || (h.view && lastComponent(*h.view) == rel))
        named.emplace(h.rel, std::move(h));
    if (named.size() == 1) hit = named.begin()->second;
    if (named.size() > 1) {
      std::printf("이름이 %s 인 클립이 %zu개입니다 — 경로로 고르세요:\n",
                  printableName(rel).c_str(), named.size());
      for (const auto& [path, h] : named)
        std::printf("  %s\n", printableName(h.view.value_or(path)).c_str());
      return 2;
    }
  }
  if (!hit) {
    std::printf("기록에 없는 클립입니다: %s\n", printableName(rel).c_str());
    return 2;
  }
  const std::string to = names.label(args->positional[2], {});
  try {
    std::string now = reclassify(*hit, to, names, *store);
    std::printf("옮김: %s → %s\n", lastComponent(hit->rel).c_str(), to.c_str());
    std::printf("재분류: %s/%s → %s\n", dest.c_str(), hit->classPath().c_str(), now.c_str());
  } catch (const ReclassifyError& e) {
    std::printf("%s\n", e.description().c_str());
    return 1;
  }
  return 0;
}

}  // namespace tolverdine::cli

// tolverdine mirror PRIMARY SECONDARY: the second copy of a verified project folder onto another
// drive. Exit 0 only when nothing failed and the secondary stayed connected.
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/open_store.h"
#include "cli/progress_bar.h"
#include "engine/base/canonical_path.h"
#include "engine/base/term_text.h"
#include "engine/copy/mirror.h"
#include "engine/copy/preflight.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/store/store.h"

namespace tolverdine::cli {

namespace {
// Sizes of the entries still to copy, in the run's order, so the bar can show bytes.
std::vector<int64_t> pendingSizes(Store& store, const std::string& primary,
                                  const std::string& secondary) {
  std::vector<int64_t> sizes;
  for (const auto& e : store.verifiedEntries(primary))
    if (!goodCopyOn(store, e.key, secondary, e.rel, realStat(), store.drives()))
      sizes.push_back(e.size);
  return sizes;
}

// The run's failures and counts; the exit code: 0 only when nothing failed and the secondary
// stayed.
int printOutcome(const MirrorResult& r) {
  for (const auto& f : r.failed)
    std::printf("  실패: %s — %s\n", printableName(f.rel).c_str(), f.why.c_str());
  if (r.hashListFail)
    std::printf("해시 목록 실패: %s · %s\n", printableName(r.hashListFail->path).c_str(),
                std::strerror(r.hashListFail->err));
  if (!r.unlisted.empty()) std::printf("%s\n", unlistedLine(r.unlisted).c_str());
  std::printf("복사 %d · 기존 %d · 실패 %zu%s\n", r.copied, r.skipped, r.failed.size(),
              r.lost ? " — 목적지 분리됨" : "");
  return r.failed.empty() && !r.lost ? 0 : 1;
}
}  // namespace

int runMirror(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {}, {});
  if (!args || args->positional.size() != 2) {
    std::fprintf(stderr, "사용법: tolverdine mirror <1차 프로젝트 폴더> <2차 프로젝트 폴더>\n");
    return 64;
  }
  const std::string primary = canonicalPath(args->positional[0]),
                    secondary = canonicalPath(args->positional[1]);
  if (sameOrNested(primary, secondary)) {
    std::printf("멈춤 — %s\n", overlapText(primary, secondary).c_str());
    return 2;
  }
  std::unique_ptr<Store> store = openStore();
  if (!store) return 2;
  // Allowed, but a second copy on the first one's drive dies with it: it is no second copy.
  for (const auto& note : sameDriveNotes({primary, secondary}, store->drives()))
    std::printf("%s\n", note.c_str());
  const std::vector<int64_t> sizes = pendingSizes(*store, primary, secondary);
  const int64_t total = std::accumulate(sizes.begin(), sizes.end(), int64_t{0});
  ProgressBar bar(stderr);
  int64_t done = 0;
  MirrorResult r;
  try {
    r = mirrorAndList(primary, secondary, *store, namesOfFolder(primary), availableBytes,
                      [&](int n, int count, const std::string& name) {
                        // File n starts: the n-1 before it are dealt with.
                        if (n >= 2 && static_cast<size_t>(n - 2) < sizes.size())
                          done += sizes[n - 2];
                        bar.update(n, count, name, done, total);
                      });
  } catch (const IngestStop& s) {
    bar.finish();
    std::printf("멈춤 — %s\n", s.description().c_str());
    return 2;
  }
  bar.finish();
  return printOutcome(r);
}

}  // namespace tolverdine::cli

// Ingest runs of many files: the pipeline, its grouped records, live byte counts, long names and
// card files that change while they are copied.
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "engine/base/names.h"
#include "engine/copy/copy.h"
#include "engine/copy/copy_group.h"
#include "engine/copy/ingest.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

struct Pipe {
  TempDir dir;
  TempDrive one, two;
  std::string card = dir.path + "/card";
  std::string root1 = one.path + "/d1/20250101_p", root2 = two.path + "/d2/20250101_p";
  Store store{dir.path + "/db.sqlite"};
  std::vector<Row> rows;
  Pipe() {
    mkdirs(card);
    mkdirs(one.path + "/d1");
    mkdirs(two.path + "/d2");
  }
  void add(const std::string& name, size_t size) {
    rows.push_back(
        cardRow(card, "DCIM/100CANON/" + name, size, static_cast<unsigned>(rows.size()) + 3));
  }
  IngestResult run(const IngestHooks& hooks = {}, const BytesFn& bytes = {}, IngestOptions o = {}) {
    return runIngest(rows, card, kCam, {root1, root2}, NameSet::ko(), store, 2, o, plenty, {},
                     nullptr, hooks, bytes);
  }
};

TEST(IngestPipeline, ManySmallFilesAmongLargeOnesAllVerifiedInCardOrder) {
  Pipe p;
  // Groups fill up and a large file in between drains the small ones before it.
  for (int i = 0; i < 150; ++i) {
    p.add("IMG_" + std::to_string(1000 + i) + ".JPG", 1000 + 37 * static_cast<size_t>(i));
    if (i == 70) p.add("BIG_0001.MOV", (20u << 20) + 5);
  }
  // Read-backs report from the threads that do them: a fixed few for the whole run, not one
  // (or several) per file.
  std::mutex m;
  std::set<pid_t> threads;
  IngestResult r = p.run({}, [&](const ByteProgress&) {
    std::lock_guard lk(m);
    threads.insert(::gettid());
  });
  EXPECT_LE(threads.size(), 13u);
  EXPECT_EQ(std::tuple(r.color, r.copied, r.failed.size()), std::tuple(CardColor::green, 151, 0u));
  for (const auto& root : {p.root1, p.root2}) {
    ASSERT_EQ(r.verified[root].size(), p.rows.size());
    for (size_t i = 0; i < p.rows.size(); ++i) {
      EXPECT_EQ(r.verified[root][i].row.rel, p.rows[i].rel);  // card order
      EXPECT_EQ(hashFile(root + "/" + *p.rows[i].dest), hashFile(p.rows[i].src)) << p.rows[i].rel;
      EXPECT_EQ(stateOf(p.store, p.rows[i], root), "verified/1");
    }
    EXPECT_EQ(partsUnder(root), "");
  }
  // The database file was written in groups: another connection sees every row.
  Store other(p.dir.path + "/db.sqlite");
  EXPECT_EQ(dbRows(other), 302);
  IngestResult again = p.run();
  EXPECT_EQ(std::tuple(again.color, again.copied, again.skipped),
            std::tuple(CardColor::green, 0, 151));
}

// Within a large file the counts move too (the app's test watches that); here: they never go back
// and a byte read back from two destinations counts once.
TEST(IngestPipeline, LiveBytesNeverGoBackAndCountReadBacksOnce) {
  Pipe p;
  p.add("IMG_0001.JPG", 5000);
  p.add("C0001.MP4", (40u << 20) + 123);  // three blocks
  p.add("IMG_0002.JPG", 7000);
  const int64_t total = 5000 + (40 << 20) + 123 + 7000;
  std::mutex m;
  ByteProgress last{};
  IngestResult r = p.run({}, [&](const ByteProgress& b) {
    std::lock_guard lk(m);
    EXPECT_EQ(b.total, total);
    EXPECT_LE(b.verified, b.copied);
    EXPECT_GE(b.copied, last.copied);
    EXPECT_GE(b.verified, last.verified);
    last = b;
  });
  EXPECT_EQ(r.color, CardColor::green);
  EXPECT_EQ(std::tuple(last.copied, last.verified), std::tuple(total, total));
}

TEST(IngestPipeline, NameTooLongForThePartSuffixIsCopiedUnderAShortTemporaryName) {
  Pipe p;
  const std::string name = std::string(251, 'n') + ".JPG";
  p.add(name, 4000);
  p.add("IMG_0001.JPG", 3000);
  const Row& r = p.rows[0];
  // An interrupted run (of a process gone) left its short-named part behind: it does not stay.
  const std::string target1 = p.root1 + "/" + *r.dest;
  const std::string leftover =
      parentPath(target1) + "/.tolverdine-" + std::to_string(deadPid()) + "-0123abcd.part";
  mkdirs(parentPath(leftover));
  writeFile(leftover, "half a copy");
  IngestResult res = p.run();
  EXPECT_EQ(res.color, CardColor::green);
  EXPECT_EQ(lastComponent(target1), name);
  EXPECT_EQ(hashFile(target1), hashFile(r.src));
  EXPECT_EQ(hashFile(p.root2 + "/" + *r.dest), hashFile(r.src));
  EXPECT_FALSE(exists(leftover));
  EXPECT_EQ(partsUnder(p.root2), "");
}

TEST(IngestPipeline, CardFileChangingWhileCopiedIsNeverRecordedAsItsOldSelf) {
  const char* kChanged = "복사하는 동안 카드 파일이 바뀜(크기·시간) — 카드를 다시 읽어야 함";
  for (size_t size : {size_t{6000}, size_t{(20u << 20) + 9}}) {  // the small path and the large one
    SCOPED_TRACE(size);
    Pipe p;
    p.add("C0001.MP4", size);
    p.add("C0002.MP4", 2000);
    const Row& grows = p.rows[0];
    bool appended = false;
    // The card file grows once, while its first round is being read.
    IngestResult r = p.run({}, [&](const ByteProgress& b) {
      if (!appended && b.copied > 0) {
        appended = true;
        sh("printf more >> '" + grows.src + "'");
      }
    });
    EXPECT_TRUE(appended);
    EXPECT_EQ(std::tuple(r.color, r.copied), std::tuple(CardColor::red, 1));
    EXPECT_EQ(r.failed, (std::vector<Failure>{{*grows.dest, p.root1, kChanged},
                                              {*grows.dest, p.root2, kChanged}}));
    for (const auto& root : {p.root1, p.root2}) {
      EXPECT_FALSE(exists(root + "/" + *grows.dest));
      EXPECT_EQ(partsUnder(root), "");
      EXPECT_EQ(stateOf(p.store, grows, root), "failed/3");  // retried like a read error
    }
  }
  // Changed after it was planned: not copied under the planned size and time; planned again,
  // the file as it is now is copied.
  Pipe p;
  p.add("C0001.MP4", 6000);
  writeFile(p.rows[0].src, std::string(6000, 'x'));  // the same size, another time:
  p.rows[0].mtimeNs -= 1000000000;                   // a coarse clock may not have moved
  IngestResult r = p.run();
  EXPECT_EQ(r.color, CardColor::red);
  ASSERT_EQ(r.failed.size(), 2u);
  EXPECT_EQ(r.failed[0].why, kChanged);
  EXPECT_FALSE(exists(p.root1 + "/" + *p.rows[0].dest));
  p.rows[0] = cardRow(p.card, p.rows[0].rel, 6000, 0);
  EXPECT_EQ(p.run().color, CardColor::green);
  EXPECT_EQ(hashFile(p.root2 + "/" + *p.rows[0].dest), hashFile(p.rows[0].src));
}

}  // namespace
}  // namespace tolverdine

// Ingest runs of many files: the pipeline, its grouped records, live byte counts, long names and
// card files that change while they are copied.
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

// Every run writes to both drives and asks for two copies.
struct Pipe : IngestRig {
  void add(const std::string& name, size_t size) { IngestRig::add("DCIM/100CANON/" + name, size); }
  IngestResult run(const BytesFn& bytes = {}) {
    return IngestRig::run({.dests = {root1, root2}, .copies = 2, .bytes = bytes});
  }
};

TEST(IngestPipeline, ManySmallFilesAmongLargeOnesAllVerifiedInCardOrder) {
  Pipe p;
  // Groups fill up and a large file in between drains the small ones before it.
  for (int i = 0; i < 150; ++i) {
    p.add("IMG_" + std::to_string(1000 + i) + ".JPG", 1000 + 37 * static_cast<size_t>(i));
    if (i == 70) p.add("BIG_0001.MOV", (20u << 20) + 5);
  }
  // A name too long for the part suffix is copied under a short temporary name.
  const std::string longName = std::string(251, 'n') + ".JPG";
  p.add(longName, 4000);
  int64_t total = 0;
  for (const auto& row : p.rows) total += row.size;
  // Read-backs report from the threads that do them: a fixed few for the whole run, not one
  // (or several) per file. The counts never go back, and a byte read back from two destinations
  // counts once.
  std::mutex m;
  std::set<pid_t> threads;
  ByteProgress last{};
  IngestResult r = p.run([&](const ByteProgress& b) {
    std::lock_guard lk(m);
    threads.insert(::gettid());
    EXPECT_EQ(b.total, total);
    EXPECT_LE(b.verified, b.copied);
    EXPECT_GE(std::min(b.copied - last.copied, b.verified - last.verified), 0);
    last = b;
  });
  EXPECT_LE(threads.size(), 13u);
  EXPECT_EQ(std::tuple(last.copied, last.verified), std::tuple(total, total));
  EXPECT_EQ(std::tuple(r.color, r.copied, r.failed.size()), std::tuple(CardColor::green, 152, 0u));
  EXPECT_EQ(lastComponent(p.at(p.root1, p.rows.back())), longName);
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
  EXPECT_EQ(dbRows(other), 304);
  IngestResult again = p.run();
  EXPECT_EQ(std::tuple(again.color, again.copied, again.skipped),
            std::tuple(CardColor::green, 0, 152));
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
    IngestResult r = p.run([&](const ByteProgress& b) {
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

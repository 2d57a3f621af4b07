#include "engine/store/record_group.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/store/store.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

int64_t rowsSeenBy(Store& s) {
  int64_t n = -1;
  rawQuery(s, "SELECT count(*) FROM copy", {}, [&](const SqlRow& r) { n = r.int64(0); });
  return n;
}

TEST(RecordGroup, RowsBecomeDurableByCountByAgeAndAtTheEnd) {
  TempDir t;
  const std::string db = t.path + "/db.sqlite";
  Store writer(db), reader(db);
  auto rec = [](RecordGroup& g, int i) {
    g.record("A|f" + std::to_string(i) + "|1|1", "/d", "f", 1, "00000000000000aa",
             CopyState::verified, 1);
  };
  {
    RecordGroup g(writer, 4, std::chrono::hours(1));
    for (int i = 0; i < 3; ++i) rec(g, i);
    EXPECT_EQ(rowsSeenBy(reader), 0);  // the group is still open
    EXPECT_EQ(rowsSeenBy(writer), 3);  // its own connection reads its rows
    rec(g, 3);
    EXPECT_EQ(rowsSeenBy(reader), 4);  // the fourth row closed the group
    rec(g, 4);
    EXPECT_EQ(rowsSeenBy(reader), 4);
  }
  EXPECT_EQ(rowsSeenBy(reader), 5);  // the end commits

  RecordGroup aged(writer, 64, std::chrono::milliseconds(50));
  rec(aged, 5);
  aged.commitIfDue();
  EXPECT_EQ(rowsSeenBy(reader), 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  aged.commitIfDue();
  EXPECT_EQ(rowsSeenBy(reader), 6);
  // A second writer is not shut out for longer than a group lasts.
  rec(aged, 6);
  aged.commit();
  reader.record("B|x|1|1", "/d", "x", 1, std::nullopt, CopyState::failed, 1);
  EXPECT_EQ(rowsSeenBy(writer), 8);
}

}  // namespace
}  // namespace tolverdine

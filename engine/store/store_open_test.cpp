#include "engine/store/store_open.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// Every failure comes back as a message, never as an exception; looking never creates.
TEST(StoreOpen, FailuresAreMessagesAndLookingCreatesNothing) {
  TempDir t;
  const std::string path = t.path + "/home/db/ingest.sqlite";
  OpenedStore none = openStoreAt(path, IfMissing::leave);
  EXPECT_FALSE(none);
  EXPECT_EQ(none.error, "");
  EXPECT_FALSE(exists(t.path + "/home")) << "a command that only looks made the folder";

  OpenedStore made = openStoreAt(path);
  ASSERT_TRUE(made) << made.error;
  made->record("A|x|1|1", "/d", "x", 1, "h", CopyState::verified, 1);
  made.store.reset();
  OpenedStore found = openStoreAt(path, IfMissing::leave);
  ASSERT_TRUE(found) << found.error;
  EXPECT_EQ(found->destRel("A|x|1|1", "/d"), "x");

  writeFile(t.path + "/plain", "x");
  OpenedStore underFile = openStoreAt(t.path + "/plain/sub/ingest.sqlite");
  EXPECT_FALSE(underFile);
  EXPECT_NE(underFile.error.find(t.path + "/plain"), std::string::npos) << underFile.error;

  writeFile(t.path + "/notdb.sqlite", std::string(4096, '\x5a'));
  for (IfMissing m : {IfMissing::create, IfMissing::leave}) {
    OpenedStore garbage = openStoreAt(t.path + "/notdb.sqlite", m);
    EXPECT_FALSE(garbage);
    EXPECT_EQ(garbage.error, "file is not a database");
  }
}

}  // namespace
}  // namespace tolverdine

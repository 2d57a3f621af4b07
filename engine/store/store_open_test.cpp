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

  ASSERT_TRUE(openStoreAt(path)) << "made when asked to";
  EXPECT_TRUE(openStoreAt(path, IfMissing::leave));

  writeFile(t.path + "/plain", "x");
  OpenedStore underFile = openStoreAt(t.path + "/plain/sub/ingest.sqlite");
  EXPECT_FALSE(underFile);
  EXPECT_NE(underFile.error.find(t.path + "/plain"), std::string::npos) << underFile.error;
  writeFile(t.path + "/notdb.sqlite", std::string(4096, '\x5a'));
  for (IfMissing m : {IfMissing::create, IfMissing::leave})
    EXPECT_EQ(openStoreAt(t.path + "/notdb.sqlite", m).error, "file is not a database");
}

}  // namespace
}  // namespace tolverdine

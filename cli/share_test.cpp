// Destinations on a file system without the exclusive rename, as network shares are: every
// finished file reaches its name by link + unlink, and nothing that was there is replaced.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include "cli/cli_test_util.h"
#include "engine/base/rename.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "os/fs.h"
#include "testing/share_mount.h"

namespace tolverdine {
namespace {

// The system's exclusive rename fails here with EINVAL, so whatever reaches a name on this mount
// went through the link + unlink fallback.
bool refusesExclusiveRename(const std::string& dir) {
  const std::string from = dir + "/.probe", to = dir + "/.probe-to";
  writeFile(from, "");
  errno = 0;
  const bool refused = realFs().renameNoReplace(from, to) == -1 && errno == EINVAL;
  realFs().unlink(from);
  realFs().unlink(to);
  return refused;
}

// Files left under a name the program uses only while writing (copies in flight, atomic writes).
std::string leftovers(const std::string& root) {
  return shellOutput("find '" + root + "' -name '*.part' -o -name '*.tmp-*' -o -name '.*'").out;
}

// Where a card file was copied under root (its reports aside).
std::string copyOf(const std::string& root, const std::string& name) {
  return only("\"$(find '" + root + "' -name " + name + " -not -path '*/_리포트/*')\"");
}

TEST(ShareDestination, RenameWithoutReplaceFallsBackToLink) {
  // A name another client has just taken, unseen here: the kernel cannot refuse it, the
  // fallback must. (A free name is reached through it by every copy of the tests below.)
  ShareMount stale(ShareMount::Kind::staleView);
  SKIP_UNLESS_SHARE(stale);
  ASSERT_TRUE(refusesExclusiveRename(stale.path()));
  writeFile(stale.path() + "/mine", "new");
  writeFile(stale.backing() + "/theirs", "theirs");
  ASSERT_EQ(::chmod((stale.backing() + "/theirs").c_str(), 0), 0);
  ASSERT_FALSE(exists(stale.path() + "/theirs"));
  EXPECT_EQ(renameNoReplace(stale.path() + "/mine", stale.path() + "/theirs"), EEXIST);
  EXPECT_EQ(slurp(stale.backing() + "/theirs"), "theirs");
  EXPECT_EQ(slurp(stale.path() + "/mine"), "new");
}

TEST(ShareDestination, IngestAndSecondCopyGreenOnTheShare) {
  ShareMount m;
  SKIP_UNLESS_SHARE(m);
  ASSERT_TRUE(refusesExclusiveRename(m.path()));
  Cli c;
  const std::string share = m.path() + "/ingest";
  mkdirs(share);
  auto green = c.run({c.card, "--project", "봄", "--dest", share, "--dest", c.d1, "--copies", "2"});
  ASSERT_EQ(green.status, 0) << green.out << green.err;
  const std::string project = only("'" + share + "'/*"), name = lastComponent(project);
  // Every card file landed on the share with the card's bytes.
  for (const char* f : {"C0001.MP4", "C0002.MP4", "STATUS.BIN"})
    EXPECT_EQ(hashFile(copyOf(project, f)), hashFile(copyOf(c.card, f))) << f;

  // The second copy of the other destination's project folder onto the share.
  const std::string second = m.path() + "/second/" + name;
  mkdirs(parentPath(second));
  auto mir = c.run({only("'" + c.d1 + "'/*"), second}, "mirror");
  EXPECT_EQ(mir.status, 0) << mir.out << mir.err;
  EXPECT_TRUE(has(mir, "복사 3 · 기존 0 · 실패 0")) << mir.out;
  EXPECT_EQ(c.run({second}, "verify").status, 0);
  EXPECT_EQ(c.run({c.card, "--copies", "2"}, "status").status, 0);
  EXPECT_EQ(leftovers(m.backing()), "");
}

// The final rename is the only guard against a file that another computer put on the share after
// the destination was checked: the copy fails and the other file keeps its bytes.
TEST(ShareDestination, FileAnotherClientJustMadeIsNeverReplaced) {
  ShareMount m(ShareMount::Kind::staleView);
  SKIP_UNLESS_SHARE(m);
  ASSERT_TRUE(refusesExclusiveRename(m.path()));
  Cli c;
  ASSERT_EQ(c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "1"}).status, 0);
  const std::string project = only("'" + c.d1 + "'/*"), name = lastComponent(project);
  const std::string clipRel = copyOf(project, "C0002.MP4").substr(project.size());
  const std::string theirs = m.backing() + "/fresh/" + name + clipRel;
  const std::string theirs2 = m.backing() + "/second/" + name + clipRel;
  for (const auto& t : {theirs, theirs2}) {
    mkdirs(parentPath(t));
    writeFile(t, "their clip");
    ASSERT_EQ(::chmod(t.c_str(), 0), 0);
  }
  ASSERT_FALSE(exists(m.path() + "/fresh/" + name + clipRel));
  // The user hears that the name was taken, not that the drive gave wrong bytes.
  for (const auto& [r, kept] :
       {std::pair{
            c.run({c.card, "--project", "봄", "--dest", m.path() + "/fresh", "--copies", "1"}),
            theirs},
        std::pair{c.run({project, m.path() + "/second/" + name}, "mirror"), theirs2}}) {
    EXPECT_NE(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(has(r, "🟢")) << r.out;
    EXPECT_EQ(slurp(kept), "their clip") << "replaced: " << kept;
    EXPECT_NE((r.out + r.err).find("같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"),
              std::string::npos)
        << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("해시 불일치"), std::string::npos) << r.out << r.err;
  }
  EXPECT_EQ(leftovers(m.backing()), "");
}

}  // namespace
}  // namespace tolverdine

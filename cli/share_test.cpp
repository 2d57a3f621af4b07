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

// Files left under a name the program uses only while writing (copies in flight, atomic writes).
std::string leftovers(const std::string& root) {
  return shellOutput("find '" + root + "' -name '*.part' -o -name '*.tmp-*' -o -name '.*'").out;
}

// Where a card file was copied under root (its reports aside).
std::string copyOf(const std::string& root, const std::string& name) {
  return only("\"$(find '" + root + "' -name " + name + " -not -path '*/_리포트/*')\"");
}

// A share where a file of mode 0000 in the backing folder is another client's, not yet seen here.
TEST(ShareDestination, GreenOnTheShareAndAnotherClientsFileIsNeverReplaced) {
  ShareMount m(ShareMount::Kind::staleView);
  SKIP_UNLESS_SHARE(m);
  // The system's exclusive rename is refused here, so whatever reaches a name on this mount went
  // through the link + unlink fallback.
  writeFile(m.path() + "/mine", "new");
  errno = 0;
  ASSERT_EQ(realFs().renameNoReplace(m.path() + "/mine", m.path() + "/free"), -1);
  ASSERT_EQ(errno, EINVAL);
  // A name taken unseen here: the kernel cannot refuse it, the fallback must. (A free name is
  // reached through it by every copy below.)
  writeFile(m.backing() + "/theirs", "theirs");
  ASSERT_EQ(::chmod((m.backing() + "/theirs").c_str(), 0), 0);
  ASSERT_FALSE(exists(m.path() + "/theirs"));
  EXPECT_EQ(renameNoReplace(m.path() + "/mine", m.path() + "/theirs"), EEXIST);
  EXPECT_EQ(slurp(m.backing() + "/theirs"), "theirs");
  ::unlink((m.path() + "/mine").c_str());

  Cli c;
  const std::string share = m.path() + "/ingest";
  mkdirs(share);
  auto green = c.run({c.card, "--project", "봄", "--dest", share, "--dest", c.d1, "--copies", "2"});
  ASSERT_EQ(green.status, 0) << green.out << green.err;
  const std::string project = only("'" + c.d1 + "'/*"), name = lastComponent(project);
  // Every card file landed on the share with the card's bytes.
  for (const char* f : {"C0001.MP4", "C0002.MP4", "STATUS.BIN"})
    EXPECT_EQ(hashFile(copyOf(share + "/" + name, f)), hashFile(copyOf(c.card, f))) << f;
  // The second copy of the other destination's project folder onto the share.
  const std::string second = m.path() + "/second/" + name;
  mkdirs(parentPath(second));
  auto mir = c.run({project, second}, "mirror");
  EXPECT_EQ(mir.status, 0) << mir.out << mir.err;
  EXPECT_EQ(c.run({second}, "verify").status, 0);
  EXPECT_EQ(c.run({c.card, "--copies", "2"}, "status").status, 0);

  // The final rename is the only guard against a file that another computer put on the share
  // after the destination was checked: the copy fails and the other file keeps its bytes.
  const std::string clipRel = copyOf(project, "C0002.MP4").substr(project.size());
  const std::string theirs = m.backing() + "/fresh/" + name + clipRel;
  const std::string theirs2 = m.backing() + "/other/" + name + clipRel;
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
        std::pair{c.run({project, m.path() + "/other/" + name}, "mirror"), theirs2}}) {
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

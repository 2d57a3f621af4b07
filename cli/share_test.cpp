// Destinations on a file system without the exclusive rename, as network shares are: every
// finished file reaches its name by link + unlink, and nothing that was there is replaced.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "cli/cli_test_util.h"
#include "engine/base/rename.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "os/fs.h"
#include "testing/share_mount.h"

namespace tolverdine {
namespace {

std::string onlyFolder(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(dir)) found.push_back(e.path().string());
  return found.size() == 1 ? found[0] : "";
}

// Files left under a name the program uses only while writing (copies in flight, atomic writes).
std::vector<std::string> leftovers(const std::string& root) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = e.path().filename().string();
    if (name.ends_with(".part") || name.find(".tmp-") != std::string::npos || name[0] == '.')
      out.push_back(e.path().string());
  }
  return out;
}

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

TEST(ShareDestination, RenameWithoutReplaceFallsBackToLink) {
  ShareMount m;
  SKIP_UNLESS_SHARE(m);
  ASSERT_TRUE(refusesExclusiveRename(m.path()));
  const std::string a = m.path() + "/a", b = m.path() + "/b", c = m.path() + "/c";
  writeFile(a, "new");
  writeFile(b, "old");
  EXPECT_EQ(renameNoReplace(a, b), EEXIST);
  EXPECT_EQ(slurp(b), "old");
  EXPECT_EQ(renameNoReplace(a, c), 0);
  EXPECT_FALSE(exists(a));
  EXPECT_EQ(slurp(c), "new");

  // A name another client has just taken, unseen here: the kernel cannot refuse it, the
  // fallback must.
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

TEST(ShareDestination, IngestAndSecondCopyGreenWithoutReplacing) {
  ShareMount m;
  SKIP_UNLESS_SHARE(m);
  ASSERT_TRUE(refusesExclusiveRename(m.path()));
  Cli c;
  const std::string share = m.path() + "/ingest";
  mkdirs(share);
  auto green = c.run({c.card, "--project", "봄", "--dest", share, "--dest", c.d1, "--copies", "2"});
  ASSERT_EQ(green.status, 0) << green.out << green.err;
  EXPECT_NE(green.out.find("🟢 복사 3 · 기존 0"), std::string::npos) << green.out;
  const std::string project = onlyFolder(share);
  ASSERT_FALSE(project.empty());
  const std::string name = lastComponent(project);
  // Every card file landed on the share with the card's bytes.
  int landed = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(c.card)) {
    if (!e.is_regular_file()) continue;
    const std::string file = e.path().filename().string();
    for (const auto& f : std::filesystem::recursive_directory_iterator(project))
      if (f.path().filename() == file && f.path().string().find("/_리포트/") == std::string::npos) {
        EXPECT_EQ(hashFile(f.path().string()), hashFile(e.path().string())) << f.path();
        ++landed;
      }
  }
  EXPECT_EQ(landed, 3);

  // The second copy of the other destination's project folder onto the share.
  const std::string second = m.path() + "/second/" + name;
  mkdirs(parentPath(second));
  auto mir = c.run({onlyFolder(c.d1), second}, "mirror");
  EXPECT_EQ(mir.status, 0) << mir.out << mir.err;
  EXPECT_NE(mir.out.find("복사 3 · 기존 0 · 실패 0"), std::string::npos) << mir.out;
  auto verified = c.run({second}, "verify");
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  auto status = c.run({c.card, "--copies", "2"}, "status");
  EXPECT_EQ(status.status, 0) << status.out;
  EXPECT_NE(status.out.find("이미 백업됨"), std::string::npos) << status.out;

  // A stranger's file under a clip's name, on a fresh destination and on a fresh second copy.
  std::string clipRel;
  for (const auto& f : std::filesystem::recursive_directory_iterator(project))
    if (f.path().filename() == "C0002.MP4") clipRel = f.path().string().substr(project.size() + 1);
  ASSERT_FALSE(clipRel.empty());
  const std::string fresh = m.path() + "/fresh", stranger = fresh + "/" + name + "/" + clipRel;
  const std::string second2 = m.path() + "/second2/" + name, stranger2 = second2 + "/" + clipRel;
  for (const auto& s : {stranger, stranger2}) {
    mkdirs(parentPath(s));
    writeFile(s, "not the clip");
  }
  auto refused = c.run({c.card, "--project", "봄", "--dest", fresh, "--copies", "1"});
  EXPECT_EQ(refused.status, 2) << refused.out << refused.err;
  auto clashed = c.run({onlyFolder(c.d1), second2}, "mirror");
  EXPECT_NE(clashed.status, 0) << clashed.out << clashed.err;
  EXPECT_NE(clashed.out.find("덮어쓰지 않음"), std::string::npos) << clashed.out;
  EXPECT_EQ(slurp(stranger), "not the clip");
  EXPECT_EQ(slurp(stranger2), "not the clip");

  EXPECT_EQ(leftovers(m.backing()), std::vector<std::string>{});
}

// The final rename is the only guard against a file that another computer put on the share after
// the destination was checked: the copy fails and the other file keeps its bytes.
TEST(ShareDestination, FileAnotherClientJustMadeIsNeverReplaced) {
  ShareMount m(ShareMount::Kind::staleView);
  SKIP_UNLESS_SHARE(m);
  ASSERT_TRUE(refusesExclusiveRename(m.path()));
  Cli c;
  auto first = c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "1"});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const std::string project = onlyFolder(c.d1), name = lastComponent(project);
  std::string clipRel;
  for (const auto& f : std::filesystem::recursive_directory_iterator(project))
    if (f.path().filename() == "C0002.MP4") clipRel = f.path().string().substr(project.size() + 1);
  ASSERT_FALSE(clipRel.empty());
  const std::string theirs = m.backing() + "/fresh/" + name + "/" + clipRel;
  const std::string theirs2 = m.backing() + "/second/" + name + "/" + clipRel;
  for (const auto& t : {theirs, theirs2}) {
    mkdirs(parentPath(t));
    writeFile(t, "their clip");
    ASSERT_EQ(::chmod(t.c_str(), 0), 0);
  }
  ASSERT_FALSE(exists(m.path() + "/fresh/" + name + "/" + clipRel));

  auto ingest = c.run({c.card, "--project", "봄", "--dest", m.path() + "/fresh", "--copies", "1"});
  EXPECT_NE(ingest.status, 0) << ingest.out << ingest.err;
  EXPECT_EQ(ingest.out.find("🟢"), std::string::npos) << ingest.out;
  EXPECT_TRUE(slurp(theirs) == "their clip") << "replaced: " << theirs;
  // The user hears that the name was taken, not that the drive gave wrong bytes.
  const std::string taken = "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음";
  EXPECT_NE((ingest.out + ingest.err).find(taken), std::string::npos) << ingest.out << ingest.err;
  EXPECT_EQ((ingest.out + ingest.err).find("해시 불일치"), std::string::npos)
      << ingest.out << ingest.err;

  auto mir = c.run({project, m.path() + "/second/" + name}, "mirror");
  EXPECT_NE(mir.status, 0) << mir.out << mir.err;
  EXPECT_TRUE(slurp(theirs2) == "their clip") << "replaced: " << theirs2;
  EXPECT_NE((mir.out + mir.err).find(taken), std::string::npos) << mir.out << mir.err;
  EXPECT_EQ((mir.out + mir.err).find("해시 불일치"), std::string::npos) << mir.out << mir.err;
  EXPECT_EQ(leftovers(m.backing()), std::vector<std::string>{});
}

}  // namespace
}  // namespace tolverdine

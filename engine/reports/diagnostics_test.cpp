#include "engine/reports/diagnostics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <map>

#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/base/text.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

using Entries = std::map<std::string, std::string>;

// Every entry of the archive by name, read back with libzip; folders hold "".
Entries unzip(const std::string& path) {
  Entries out;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
  EXPECT_NE(z, nullptr) << path;
  for (zip_int64_t i = 0; z && i < zip_get_num_entries(z, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(z, i, 0, &st);
    std::string& data = out[st.name] = std::string(st.size, '\0');
    zip_file_t* f = zip_fopen_index(z, i, 0);
    EXPECT_EQ(zip_fread(f, data.data(), st.size), static_cast<zip_int64_t>(st.size)) << st.name;
    zip_fclose(f);
  }
  if (z) zip_discard(z);
  return out;
}

std::string ls(const std::string& dir) { return shellOutput("ls -A '" + dir + "'").out; }

const std::time_t kNow = 1796630400;  // 2026-12-07

const std::string top = "TOLVERDINE-diagnostics-" + localTime(kNow, "%Y%m%d-%H%M%S") + "/";

// Without a database or a log the bundle says so in their place; only this program's crash reports
// go in (never through a link); a tool that cannot run or hangs is named where its output would
// be; a webhook address is masked; a failed write leaves nothing.
TEST(Diagnostics, BundleWithoutDatabaseOrLogAndFailedWrites) {
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"http://user:pw@example.org:8080/x?y", "https://example.org/…(가림)"},
           {"hooks.slack.com/services/x", "(가림)"},
           {"https://ho st/x", "(가림)"},
       })
    EXPECT_EQ(maskWebhook(in), out) << in;
  EXPECT_EQ(settingsText({{"webhook", {{"url", "https://secret"}}}, {"p", "봄"}}),
            "p = 봄\nwebhook = (가림)\n");

  TempDir d;
  mkdirs(d.path + "/crash/Tolverdine-dir");
  writeFile(d.path + "/crash/Tolverdine_2026-12-07.ips", "crash one");
  writeFile(d.path + "/crash/Finder_2026.ips", "not ours");
  ASSERT_EQ(::symlink("/etc/passwd", (d.path + "/crash/Tolverdine-link.ips").c_str()), 0);
  writeFile(d.path + "/hang", "#!/bin/sh\necho partial\nexec sleep 30\n");
  ::chmod((d.path + "/hang").c_str(), 0755);
  const SystemSources tools{d.path + "/no-uname", d.path + "/no-os-release",
                            d.path + "/no-model", {d.path + "/no-findmnt", d.path + "/hang"},
                            d.path + "/no-df",    std::chrono::milliseconds(300)};
  std::string to = d.path + "/out.zip";
  nlohmann::json settings = {{"webhook", "https://hooks.example.com/services/T0/SECRET?k=v"}};
  EXPECT_EQ(writeDiagnostics(to, d.path + "/none/app.log", nullptr, settings, d.path + "/crash",
                             kNow, tools),
            to);
  Entries e = unzip(to);
  EXPECT_EQ(e.size(), 8u);  // the folder and its five texts, the crash folder and its one report
  EXPECT_EQ(e[top + "app.log"], "(app.log 없음: " + d.path + "/none/app.log)\n");
  EXPECT_EQ(e[top + "db-summary.txt"], "(상태 DB 를 열지 못함)\n");
  EXPECT_EQ(e[top + "settings.txt"], "webhook = https://hooks.example.com/…(가림)\n");
  EXPECT_EQ(e[top + "crashes/Tolverdine_2026-12-07.ips"], "crash one");
  const std::string& sys = e[top + "system.txt"];
  EXPECT_NE(sys.find("\npartial\n(" + d.path + "/hang 시간 초과)\n"), std::string::npos) << sys;
  EXPECT_NE(sys.find("## df -h\n(" + d.path + "/no-df 실행 실패)\n"), std::string::npos) << sys;
  EXPECT_EQ(ls(d.path), "crash\nhang\nout.zip\n");  // nothing else left beside it

  const std::string bundle = slurp(to);
  auto write = [&](const std::string& at, const std::string& log = "") {
    try {
      writeDiagnostics(at, log, nullptr, nlohmann::json::object(), d.path + "/nocrash", kNow,
                       tools);
      ADD_FAILURE() << "written: " << at;
      return 0;
    } catch (const WriteFail& f) {
      EXPECT_EQ(f.path, at);
      return static_cast<int>(f.err);
    }
  };
  EXPECT_EQ(write(d.path + "/missing/out.zip"), ENOENT);
  EXPECT_EQ(write(to), EEXIST);
  EXPECT_EQ(slurp(to), bundle);

  // A drive that fills while the archive is written: no half archive, no temporary file.
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  writePattern(d.path + "/big.log", 12u << 20, 7);  // does not compress
  EXPECT_EQ(write(m.path() + "/out.zip", d.path + "/big.log"), ENOSPC);
  EXPECT_EQ(ls(m.path()), "lost+found\n");
}

}  // namespace
}  // namespace tolverdine

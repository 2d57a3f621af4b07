#include "engine/reports/diagnostics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <map>

#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/store/store.h"
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

SystemSources missingTools(const std::string& dir) {
  return {dir + "/no-uname",
          dir + "/no-os-release",
          dir + "/no-model",
          {dir + "/no-findmnt"},
          dir + "/no-df"};
}

TEST(Diagnostics, BundleWithDatabaseReportsCrashesAndSystem) {
  TempDir d;
  Store store(d.path + "/db.sqlite");
  std::string r1 = d.path + "/SSD1/20261207_봄", r2 = d.path + "/SSD2/20261207_봄",
              r3 = d.path + "/failed";
  store.record("A캠|a|1|1", r1, "a", 1, "h", CopyState::verified, 1);
  store.record("A캠|a|1|1", r2, "a", 1, "h", CopyState::verified, 1);
  store.record("A캠|a|1|1", r3, "a", 1, std::nullopt, CopyState::failed, 1);
  // 150 entries over two drives and both folder languages, one of them a folder; only 100 are kept.
  std::vector<std::string> made;
  for (int i = 0; i < 150; ++i) {
    std::string dir = (i % 2 ? r2 : r1) + ((i / 2) % 2 ? "/_REPORTS" : "/_리포트");
    mkdirs(dir);
    std::string p = dir + "/r" + std::to_string(i) + (i == 149 ? "" : ".csv");
    if (i == 149) mkdirs(p);
    else writeFile(p, "x");
    timespec ts[2] = {{kNow - 100000 + i * 60, 0}, {kNow - 100000 + i * 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, 0), 0) << p;
    made.push_back(isoTime(kNow - 100000 + i * 60) + "  " + p);
  }
  mkdirs(r3 + "/_리포트");
  writeFile(r3 + "/_리포트/never.csv", "x");
  std::string log = d.path + "/app.log";
  writeFile(log, "2026-12-07T01:00:00Z 시작\n\xff torn\n");
  mkdirs(d.path + "/crash/Tolverdine-dir");
  writeFile(d.path + "/crash/Tolverdine_2026-12-07.ips", "crash one");
  writeFile(d.path + "/crash/Other.ips", "other");
  ASSERT_EQ(::symlink("/etc/passwd", (d.path + "/crash/Tolverdine-link.ips").c_str()), 0);
  // A mount lister that never ends is cut off; the rest of the text still comes.
  writeFile(d.path + "/hang", "#!/bin/sh\necho partial\nexec sleep 30\n");
  ::chmod((d.path + "/hang").c_str(), 0755);
  SystemSources src;
  src.mounts = {d.path + "/no-findmnt", d.path + "/hang"};
  src.timeout = std::chrono::milliseconds(300);

  std::string to = d.path + "/diag.zip";
  writeDiagnostics(to, log, &store, nlohmann::json::object(), d.path + "/crash", kNow, src);
  Entries e = unzip(to);
  EXPECT_EQ(e[top + "app.log"], "2026-12-07T01:00:00Z 시작\n\xEF\xBF\xBD torn\n");
  EXPECT_EQ(e[top + "db-summary.txt"], store.summary());
  EXPECT_EQ(e[top + "settings.txt"], "\n");
  std::string want;
  for (int i = 149; i >= 50; --i) want += made[i] + "\n";
  EXPECT_EQ(e[top + "reports.txt"], want);
  EXPECT_EQ(e.count(top + "crashes/"), 1u);
  EXPECT_EQ(e[top + "crashes/Tolverdine_2026-12-07.ips"], "crash one");
  EXPECT_EQ(e.count(top + "crashes/Other.ips") + e.count(top + "crashes/Tolverdine-link.ips") +
                e.count(top + "crashes/Tolverdine-dir"),
            0u);
  const std::string& sys = e[top + "system.txt"];
  EXPECT_EQ(sys.rfind("TOLVERDINE " + std::string(toolVersion()) + "\nLinux ", 0), 0u) << sys;
  EXPECT_NE(sys.find("\nhw.machine: " + shell("/usr/bin/uname", {"-m"})), std::string::npos) << sys;
  EXPECT_NE(sys.find("\n## mount (볼륨 · 파일시스템)\npartial\n(" + d.path + "/hang 시간 초과)\n"),
            std::string::npos)
      << sys;
  EXPECT_NE(sys.find("\n## df -h\nFilesystem"), std::string::npos) << sys;
}

TEST(Diagnostics, WebhookMaskAndPlainValues) {
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"https://hooks.slack.com/services/T/B/X", "https://hooks.slack.com/…(가림)"},
           {"http://user:pw@example.org:8080/x?y", "https://example.org/…(가림)"},
           {"ftp://[::1]:21/p", "https://::1/…(가림)"},
           {"hooks.slack.com/services/x", "(가림)"},
           {"https:///nohost", "(가림)"},
           {"https://ho st/x", "(가림)"},
           {"not a url", "(가림)"},
       })
    EXPECT_EQ(maskWebhook(in), out) << in;
  EXPECT_EQ(settingsText({{"webhook", ""}}), "webhook = \n");
  EXPECT_EQ(settingsText({{"webhook", {{"url", "https://secret"}}}}), "webhook = (가림)\n");
  EXPECT_EQ(
      settingsText({{"roles", {{"A캠", "fixed"}}}, {"on", true}, {"logo", nullptr}, {"p", "봄"}}),
      "logo = null\non = true\np = 봄\nroles = {\"A캠\":\"fixed\"}\n");
}

// Without a database or a log the bundle says so in their place; a failed write leaves nothing.
TEST(Diagnostics, BundleWithoutDatabaseOrLogAndFailedWrites) {
  TempDir d;
  mkdirs(d.path + "/crash");
  writeFile(d.path + "/crash/Finder_2026.ips", "not ours");
  std::string to = d.path + "/out.zip";
  nlohmann::json settings = {{"webhook", "https://hooks.example.com/services/T0/SECRET?k=v"},
                             {"dests", {"/A", "/B"}}};
  EXPECT_EQ(writeDiagnostics(to, d.path + "/none/app.log", nullptr, settings, d.path + "/crash",
                             kNow, missingTools(d.path)),
            to);
  Entries e = unzip(to);
  EXPECT_EQ(e.size(), 6u);  // the folder and its five texts
  EXPECT_EQ(e[top + "app.log"], "(app.log 없음: " + d.path + "/none/app.log)\n");
  EXPECT_EQ(e[top + "db-summary.txt"], "(상태 DB 를 열지 못함)\n");
  EXPECT_EQ(e[top + "reports.txt"], "\n");
  EXPECT_EQ(e[top + "settings.txt"],
            "dests = [\"/A\",\"/B\"]\nwebhook = https://hooks.example.com/…(가림)\n");
  // Tools that cannot run are named where their output would be.
  const std::string& sys = e[top + "system.txt"];
  const std::string head = "TOLVERDINE " + std::string(toolVersion()) + "\n";
  EXPECT_EQ(sys.rfind(head + "(" + d.path + "/no-uname 실행 실패)", 0), 0u) << sys;
  EXPECT_NE(sys.find("## df -h\n(" + d.path + "/no-df 실행 실패)\n"), std::string::npos) << sys;
  EXPECT_EQ(ls(d.path), "crash\nout.zip\n");  // nothing else left beside it

  const std::string bundle = slurp(to);
  auto write = [&](const std::string& at, const std::string& log = "") {
    try {
      writeDiagnostics(at, log, nullptr, nlohmann::json::object(), d.path + "/nocrash", kNow,
                       missingTools(d.path));
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
  EXPECT_EQ(ls(d.path), "crash\nout.zip\n");

  // A drive that fills while the archive is written: no half archive, no temporary file.
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  writePattern(d.path + "/big.log", 12u << 20, 7);  // does not compress
  EXPECT_EQ(write(m.path() + "/out.zip", d.path + "/big.log"), ENOSPC);
  EXPECT_EQ(ls(m.path()), "lost+found\n");
  ASSERT_EQ(sh("mount -o remount,ro " + m.path()), 0);
  EXPECT_EQ(write(m.path() + "/out.zip"), EROFS);
  EXPECT_EQ(ls(m.path()), "lost+found\n");
}

}  // namespace
}  // namespace tolverdine

// Times the quick list of a card of 10,000 small files; it has to stay well under half a second
// because it runs at every mount, before the card's status can be shown.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/card/scan.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const int folders = 100, perFolder = 100;
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bench-scan-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return 2;
  std::string root = buf.data();

  for (int d = 0; d < folders; ++d) {
    char dir[64];
    std::snprintf(dir, sizeof dir, "/DCIM/%03dCANON", 100 + d);
    fs::create_directories(root + dir);
    for (int f = 0; f < perFolder; ++f) {
      char name[64];
      std::snprintf(name, sizeof name, "/IMG_%04d.JPG", d * perFolder + f);
      int fd = ::open((root + dir + name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      if (fd < 0 || ::write(fd, "x", 1) != 1) return 2;
      ::close(fd);
    }
  }

  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  std::vector<double> ms;
  size_t listed = 0;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    tolverdine::CardList l = tolverdine::quickList(root);
    auto t1 = std::chrono::steady_clock::now();
    listed = l.files.size();
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  fs::remove_all(root);
  std::sort(ms.begin(), ms.end());
  std::printf("quickList of %zu files: min %.1f ms, median %.1f ms, max %.1f ms (%d runs)\n",
              listed, ms.front(), ms[ms.size() / 2], ms.back(), runs);
  bool ok = listed == static_cast<size_t>(folders * perFolder) && ms[ms.size() / 2] < 500;
  if (!ok) std::printf("over budget or incomplete listing\n");
  return ok ? 0 : 1;
}

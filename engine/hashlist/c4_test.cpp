#include "engine/hashlist/c4.h"

#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// An independent reference: Python's SHA-512 and integer base 58, one line per file.
std::vector<std::string> pythonC4(const std::vector<std::string>& files) {
  std::string cmd =
      "python3 -c 'import hashlib,sys\n"
      "a=\"123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz\"\n"
      "for f in sys.argv[1:]:\n"
      " n=int.from_bytes(hashlib.sha512(open(f,\"rb\").read()).digest(),\"big\")\n"
      " s=\"\"\n"
      " while n: n,r=divmod(n,58); s=a[r]+s\n"
      " print(\"c4\"+s.rjust(88,\"1\"))' 2>/dev/null";
  for (const auto& f : files) cmd += " " + f;
  std::vector<std::string> lines;
  std::istringstream in(shellOutput(cmd).out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(C4, PublishedVectorAndIndependentReference) {
  EXPECT_EQ(
      c4Id(""),
      "c459dsjfscH38cYeXXYogktxf4Cd9ibshE3BHUo6a58hBXmRQdZrAkZzsWcbWtDg5oQstpDuni4Hirj75GEmTc1sFT");
  // Edge cases and inputs of many lengths, against the reference.
  TempDir t;
  std::vector<std::string> inputs = {"foo", "", std::string(1, '\0'), std::string(100000, 'x')},
                           files;
  for (int i = 0; i < 40; ++i) inputs.push_back(std::string(i * 77, static_cast<char>(i * 13)));
  for (size_t i = 0; i < inputs.size(); ++i) {
    files.push_back(t.path + "/in" + std::to_string(i));
    writeFile(files.back(), inputs[i]);
  }
  auto ref = pythonC4(files);
  if (ref.empty()) GTEST_SKIP() << "python3 not available for the reference";
  ASSERT_EQ(ref.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(c4Id(inputs[i]), ref[i]) << "input " << i;
}

}  // namespace
}  // namespace tolverdine

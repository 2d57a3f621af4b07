#include <sys/wait.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/card/signature.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

std::string run(const std::string& args, int* code) {
  ShellOutput r = shellOutput(std::string(TOLVERDINE_BINARY) + " " + args + " 2>&1");
  *code = r.code;
  return r.out;
}

TEST(CameraCli, SignIdentifyAndTree) {
  TempDir d;
  Ed25519Key key = Ed25519Key::generate();
  writeFile(d.path + "/key.pem", key.pem());
  std::string pack = "{\"version\":2,\"profiles\":[]}";
  writeFile(d.path + "/p.json", pack);
  int code = -1;
  run("profiles sign '" + d.path + "/p.json' '" + d.path + "/key.pem'", &code);
  EXPECT_EQ(code, 0);
  std::string sig;
  ASSERT_TRUE(readFile(d.path + "/p.json.sig", &sig));
  EXPECT_TRUE(verifySignature(pack, sig.substr(0, sig.size() - 1), key.publicKeyBase64()));
  run("profiles sign '" + d.path + "/p.json' '" + d.path + "/p.json'", &code);  // not a key
  EXPECT_EQ(code, 1);

  std::string card = d.path + "/card";
  mkdirs(card + "/XDROOT/Clip");
  writeFile(card + "/XDROOT/Clip/C0001M01.XML",
            "<Device modelName=\"ILME-FX6V\" serialNo=\"42\"/>");
  std::string out = run("identify '" + card + "'", &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(out.find("프로필: sony-xdcam\n"), std::string::npos) << out;
  EXPECT_NE(out.find("이름: Sony FX6 #42\n"), std::string::npos) << out;
  out = run("tree '" + card + "'", &code);
  EXPECT_NE(out.find("· 폴더 구조 (파일 내용·이름 없음)\nXDROOT/\n  Clip/\n    *.XML × 1"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("C0001"), std::string::npos);
}

}  // namespace
}  // namespace tolverdine

#include "engine/base/names.h"

#include <gtest/gtest.h>

#include "engine/base/path_name.h"
#include "engine/base/text.h"

namespace tolverdine {
namespace {

const std::optional<std::string> kNone;

Row row(const std::string& rel, Kind kind, std::optional<std::string> session = {},
        std::string cls = "") {
  Row r;
  r.src = "/media/CARD/" + rel;
  r.rel = rel;
  r.kind = kind;
  r.session = std::move(session);
  r.cls = std::move(cls);
  return r;
}

TEST(Names, WorkedExampleSplitMirrorLabelsAndJoin) {
  EXPECT_EQ(projectFolder("20250314", "봄캠페인"), "20250314_봄캠페인");
  std::vector<Row> rows = {
      row("PRIVATE/M4ROOT/CLIP/C0031.MP4", Kind::video, "2_1830-2110", "인터뷰"),
      row("PRIVATE/M4ROOT/CLIP/C0031M01.XML", Kind::etc),
      row("PRIVATE/M4ROOT/STATUS.BIN", Kind::etc), row("AUDIO/ZOOM0001.WAV", Kind::audio),
      row("DCIM/100MSDCF/DSC00001.JPG", Kind::photo, "1_1712-1712")};
  destPaths(rows, "A캠", NameSet::ko());
  std::vector<std::string> split = {"01_원본/A캠/2_1830-2110/인터뷰/C0031.MP4",
                                    "01_원본/A캠/2_1830-2110/인터뷰/C0031M01.XML",
                                    "01_원본/A캠/_카드기타/PRIVATE/M4ROOT/STATUS.BIN",
                                    "02_오디오/ZOOM0001.WAV", "03_사진/1_1712-1712/DSC00001.JPG"};
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(std::pair(rows[i].dest, rows[i].view), std::pair(std::optional(split[i]), kNone));
  EXPECT_EQ(std::pair(rows[1].owner, rows[2].owner),
            std::pair(std::optional<std::string>("C0031.MP4"), kNone));
  mirrorPaths(rows, "A캠_001", NameSet::ko());
  split[2].clear();  // a card extra has no place in the view
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].dest, "_카드원본/A캠_001/" + rows[i].rel);
    EXPECT_EQ(rows[i].view.value_or(""), split[i]);
  }

  // A label is looked up composed, the user's own name first; joining drops empty parts.
  const std::string interview =
      "\xE1\x84\x8B\xE1\x85\xB5\xE1\x86\xAB\xE1\x84\x90\xE1\x85\xA5\xE1\x84\x87\xE1\x85\xB2";
  EXPECT_EQ(NameSet::en().label(interview), "INTERVIEW");  // 인터뷰, decomposed
  EXPECT_EQ(NameSet::en().label("인서트", {{"인서트", "B-ROLL"}}), "B-ROLL");
  EXPECT_EQ(NameSet::en().label("오디오"), "오디오");
  EXPECT_EQ(join("", "a", "", "b/c", ""), "a/b/c");
  EXPECT_EQ(join("A\xE1\x84\x8F\xE1\x85\xA2\xE1\x86\xB7", "x"), "A캠/x");  // 캠 decomposed
}

TEST(Names, SidecarMatching) {
  std::vector<Row> rows = {row("C/A001.MOV", Kind::video, {}, "풀샷"),
                           row("C/A001B.MOV", Kind::video, {}, "인서트"),
                           row("C/A001B.XML", Kind::etc),
                           row("C/C0031.MP4", Kind::video, {}, "인터뷰"),
                           row("C/C0031.XML", Kind::etc),
                           row("C/C00310.XML", Kind::etc),
                           row("C/C0031\u0663.XML", Kind::etc),  // Arabic-Indic three
                           row("C/C0031\u2163.XML", Kind::etc),  // Roman numeral four (Nl)
                           row("C/C0031\u00B2.XML", Kind::etc),  // superscript two (No)
                           row("D/C0031M01.XML", Kind::etc),
                           row("C/.DS_Store", Kind::etc)};
  destPaths(rows, "A캠", NameSet::ko());
  EXPECT_EQ(rows[0].dest, "01_원본/A캠/풀샷/A001.MOV") << "no session drops that level";
  EXPECT_EQ(rows[2].dest, "01_원본/A캠/풀샷/A001B.XML") << "first clip in card order wins";
  EXPECT_EQ(
      std::pair(rows[2].owner, rows[4].owner),
      std::pair(std::optional<std::string>("A001.MOV"), std::optional<std::string>("C0031.MP4")));
  for (int i : {5, 6, 7, 8, 9, 10}) {  // the one in another folder is no sidecar either
    EXPECT_EQ(rows[i].dest, "01_원본/A캠/_카드기타/" + rows[i].rel) << i;
    EXPECT_EQ(rows[i].owner, kNone) << i;
  }

  // Photos carry no camera: two cards with the same session share a folder.
  std::vector<Row> a = {row("DCIM/P1.JPG", Kind::photo, "1_0900-0930")}, b = a;
  destPaths(a, "A캠", NameSet::ko());
  destPaths(b, "B캠", NameSet::ko());
  EXPECT_EQ(a[0].dest, b[0].dest);
}

// Relative paths from records and other tools' lists: none may climb out of the folder it is
// joined to, and names that merely look like ".." stay usable. A single name (what the project
// file's table leaves out): dots, blanks, control bytes, overlong UTF-8, the limit.
TEST(PathName, WhatCouldLeaveItsFolderIsRefused) {
  for (const char* out :
       {"", "/", "/etc/passwd", "..", "../x", "a/..", "a/../../b", "a/b/../../..", "..//x"})
    EXPECT_FALSE(staysInside(out)) << out;
  for (const char* in : {"a", "a/b.mov", "..a", "a..", "a/...", "a/..b/c", ".hidden/x", "./a",
                         "a//b", "클립/C0001.MP4"})
    EXPECT_TRUE(staysInside(in)) << in;
  for (const char* ok : {"...", ".hidden", "x..y"})
    EXPECT_EQ(pathNameProblem(ok), std::nullopt) << ok;
  for (std::string bad : {std::string("\u3000\u00a0"), std::string(" .. "), std::string("a\0b", 3),
                          std::string("a\tb"), std::string("\xc0\xaf"), std::string(201, 'a')})
    EXPECT_TRUE(pathNameProblem(bad).has_value()) << bad;
  EXPECT_TRUE(isSafePathName(std::string(200, 'a')));
}

}  // namespace
}  // namespace tolverdine

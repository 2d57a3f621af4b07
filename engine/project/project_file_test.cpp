#include "engine/project/project_file.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

using nlohmann::json;
using Kind = ProjectFileError::Kind;

ProjectFile full() {
  ProjectFile f;
  f.name = "다큐 2편";
  f.date = "20261207";
  f.preset = "행사";
  f.rules = {Rule{"슬레이트", 2.5, {}, {}, {}}, Rule{"인터뷰", {}, 120, 2, std::string("ILME-FX3")},
             Rule{"인서트", {}, {}, {}, {}}};
  f.nameSet = "en";
  f.classLabels = {{"인터뷰", "INTERVIEW"}};
  f.cameras = {{"ILME-FX3#5011234", "A캠"}, {"C70", "B캠"}};
  f.destinations = {"/Volumes/SSD1", "/Volumes/SSD2/작업"};
  f.cascadeDestinations = {"/Volumes/NAS"};
  f.copiesRequired = 3;
  f.verify = VerifyMode::paranoid;
  f.md5 = true;
  f.storage = StorageMode::mirror;
  return f;
}

json fullJson() { return json::parse(full().encoded()); }

ProjectDecoded decodeJson(const json& j) { return ProjectFile::decode(j.dump()); }

// The refusal for j, which must not decode.
ProjectFileError refusal(const json& j) {
  auto d = decodeJson(j);
  EXPECT_FALSE(d) << j.dump();
  return d.error;
}

TEST(ProjectFile, RoundTripIsExactAndByteStable) {
  ProjectFile f = full();
  std::string text = f.encoded();
  auto back = ProjectFile::decode(text);
  ASSERT_TRUE(back) << back.error.message;
  EXPECT_EQ(*back.file, f);
  EXPECT_EQ(back.file->encoded(), text);          // the same settings give the same bytes
  EXPECT_EQ(text.find('\\'), std::string::npos);  // Korean and slashes written as they are

  // No date: no member, and a null one reads as none.
  f.date.reset();
  json j = json::parse(f.encoded());
  EXPECT_FALSE(j.contains("date"));
  j["date"] = nullptr;
  EXPECT_EQ(decodeJson(j).file->date, std::nullopt);

  TempDir d;
  writeProjectFile(d.path + "/" + projectFileName(f.name), f);
  auto read = ProjectFile::read(d.path + "/다큐 2편.tolverdine.json");
  ASSERT_TRUE(read) << read.error.message;
  EXPECT_EQ(*read.file, f);

  // The schema and the day boundary are this build's, whatever the settings say.
  f = full();
  f.schema = "tolverdine-project/2";
  f.dayBoundary = "05:00";
  EXPECT_EQ(f.encoded(), full().encoded());
  f.name = "\xff";
  EXPECT_THROW((void)f.encoded(), ProjectFileError);
}

// Another program's file, a schema we do not know, and numbers past a double (found by fuzzing:
// the parser throws out_of_range, not parse_error, for these) are refused, never thrown.
TEST(ProjectFile, RefusesOtherSchemasMissingMembersWrongTypesUnsafeNamesAndSizes) {
  json j = fullJson();
  j["schema"] = "tolverdine-project/9";
  EXPECT_TRUE(decodeJson(j));
  for (const char* other : {"tolverdine-projects/1", "tolverdine-project", ""}) {
    j["schema"] = other;
    EXPECT_EQ(refusal(j).kind, Kind::notOurs) << other;
  }
  // It names itself as such before any of our members is missed.
  EXPECT_EQ(refusal(json{{"schema", "acme/1"}}).kind, Kind::notOurs);
  EXPECT_EQ(refusal(json{{"schema", 1}}).kind, Kind::invalid);
  for (const char* text : {"{\n  \"schema\":33e333u`lt\"\n", "[-1E999]"}) {
    auto e = ProjectFile::decode(text).error;
    EXPECT_EQ(e.kind, Kind::unreadable) << text;
    EXPECT_EQ(e.message, "프로젝트 파일이 올바른 JSON 이 아닙니다 (너무 큰 수)") << text;
  }

  // Every member but the date is needed, each of its own type.
  for (const char* key :
       {"schema", "name", "preset", "rules", "nameSet", "classLabels", "cameras", "destinations",
        "cascadeDestinations", "copiesRequired", "verify", "md5", "storage", "dayBoundary"}) {
    j = fullJson();
    j.erase(key);
    auto e = refusal(j);
    EXPECT_EQ(e.kind, Kind::invalid) << key;
    EXPECT_TRUE(contains(e.message, std::string("\"") + key + "\" 항목이 없습니다")) << e.message;
    j = fullJson();
    j[key] = j[key].is_string() ? json(7) : json("7");  // a number for a text, and the reverse
    EXPECT_TRUE(contains(refusal(j).message, std::string("\"") + key + "\" 항목은")) << key;
  }
  for (const char* text : {"", "[]", "{\"schema\": ", "null"})
    EXPECT_FALSE(ProjectFile::decode(text)) << text;
  // Unknown members are ignored, even deeply nested ones.
  j = fullJson();
  j["future"] = {{"a", 1}};
  std::string deep = j.dump();
  deep.insert(1, "\"deep\": " + std::string(200000, '[') + std::string(200000, ']') + ", ");
  auto ok = ProjectFile::decode(deep);
  ASSERT_TRUE(ok) << ok.error.message;
  EXPECT_EQ(*ok.file, full());

  // Unknown texts, unsafe names, counts and sizes.
  for (const auto& [ptr, value, says] : std::vector<std::tuple<const char*, json, const char*>>{
           {"/storage", "clone", "\"storage\" 값을 알 수 없습니다"},
           {"/copiesRequired", 2.0, "정수여야"},
           {"/cameras/1", json::array(), "\"cameras\" 2번째 항목은 객체여야"},
           {"/rules/1/min_ch", 2.5, "\"rules\" 2번째 규칙 형식이 틀렸습니다"},
           {"/destinations/1", false, "\"destinations\" 2번째 항목은 텍스트여야"},
           {"/name", "x/../../../tmp/p", "\"name\" 항목을 폴더 이름으로 쓸 수 없습니다: \"/\""},
           {"/cameras/1/label", "../B캠", "\"cameras\" 2번째 \"label\" 항목을 폴더 이름으로"},
           {"/rules/0/class", "a/b", "\"rules\" 1번째 규칙의 분류를"},
           {"/classLabels/인터뷰", ".", "\"classLabels\" \"인터뷰\" 항목을 폴더 이름으로"},
           {"/copiesRequired", 0, "1 에서 64 사이"},
           {"/copiesRequired", 65, "1 에서 64 사이"},
           {"/destinations/1", "/Volumes/SSD1/", "앞의 경로와 같습니다"},
           {"/cascadeDestinations/0", "NAS", "\"/\" 로 시작하는 경로"},
           {"/destinations/0", std::string("/Volumes/a\0/etc", 15), "NUL"},
           {"/preset", " ", "\"preset\" 항목이 비어 있습니다"},
           {"/destinations", json(std::vector<std::string>(10000, "/Volumes/X")),
            "너무 많습니다 (최대 32개)"},
           {"/name", std::string(300, 'a'), "너무 깁니다"},
           {"/destinations/0", "/", "목적지로 쓸 수 없습니다: 시스템 디스크의 맨 위 폴더(/)"},
           {"/destinations/1", "/var/../etc", "시스템 폴더에는 복사하지 않습니다 (/etc)"},
           {"/rules/0/max_sec", -1, "\"rules\" 1번째 규칙의 경계가 0 보다 작습니다"}}) {
    j = fullJson();
    j[json::json_pointer(ptr)] = value;
    auto e = refusal(j);
    EXPECT_EQ(e.kind, Kind::invalid) << ptr;
    EXPECT_TRUE(contains(e.message, says)) << ptr << ": " << e.message;
  }
  // Raw bytes that are not UTF-8 (here a surrogate) are refused before the JSON is read.
  std::string text = full().encoded(), broken = text;
  broken.replace(broken.find("다큐"), 3, "\xed\xa0\x80");
  EXPECT_EQ(ProjectFile::decode(broken).error.message, "프로젝트 파일이 UTF-8 텍스트가 아닙니다");

  // 20 MB: refused by size.
  std::string huge = text;
  huge.insert(1, "\"pad\": \"" + std::string(20u << 20, 'x') + "\", ");
  EXPECT_EQ(ProjectFile::decode(huge).error.message, "프로젝트 파일이 너무 큽니다 (4 MiB 초과)");
  TempDir d;
  writeFile(d.path + "/big.json", huge);
  EXPECT_FALSE(ProjectFile::read(d.path + "/big.json"));
  EXPECT_EQ(ProjectFile::read(d.path + "/missing.json").error.kind, Kind::unreadable);
  EXPECT_TRUE(contains(ProjectFile::read(d.path).error.message, "일반 파일이 아닙니다"));
}

}  // namespace
}  // namespace tolverdine

#include "engine/project/project_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "engine/base/path_name.h"
#include "engine/base/system_folder.h"
#include "engine/base/text.h"
#include "engine/layout/presets.h"
#include "engine/layout/rule_json.h"
#include "os/fd.h"
#include "os/fs.h"

namespace tolverdine {

using nlohmann::json;

namespace {

constexpr size_t kMaxDests = 32;
constexpr size_t kMaxRules = 256;
constexpr size_t kMaxCameras = 4096;
constexpr size_t kMaxClassLabels = 256;
constexpr size_t kMaxPathBytes = 4096;
constexpr size_t kMaxTextBytes = 512;
constexpr int kMaxCopies = 64;
// Our deepest member is a rule's value (depth 3); nothing deeper is ever kept.
constexpr int kMaxDepth = 8;

const char* const kVerifyTexts = "\"fast\", \"standard\", \"paranoid\"";

struct Refusal {
  ProjectFileError error;
};

[[noreturn]] void refuse(std::string message,
                         ProjectFileError::Kind kind = ProjectFileError::Kind::invalid) {
  throw Refusal{{kind, std::move(message)}};
}

std::string quoted(const std::string& key) { return "\"" + key + "\""; }
std::string nth(const std::string& where, size_t i) {
  return where + " " + std::to_string(i + 1) + "번째";
}

// Member access that names what is wrong, in the user's words.
class Reader {
 public:
  explicit Reader(const json& root) : root_(root) {}

  const json& member(const json& obj, const char* key, const std::string& where) const {
    auto it = obj.find(key);
    if (it == obj.end()) refuse("프로젝트 파일에 " + where + " 항목이 없습니다");
    return *it;
  }
  const json& top(const char* key) const { return member(root_, key, quoted(key)); }

  static void expect(bool ok, const std::string& where, const char* type) {
    if (!ok) refuse("프로젝트 파일의 " + where + " 항목은 " + type + " 합니다");
  }
  static std::string text(const json& v, const std::string& where,
                          size_t maxBytes = kMaxTextBytes) {
    expect(v.is_string(), where, "텍스트여야");
    const auto& s = v.get_ref<const std::string&>();
    if (s.size() > maxBytes) refuse("프로젝트 파일의 " + where + " 항목이 너무 깁니다");
    return s;
  }
  static std::string folderName(const json& v, const std::string& where) {
    std::string s = text(v, where);
    if (auto why = pathNameProblem(s))
      refuse("프로젝트 파일의 " + where + " 항목을 폴더 이름으로 쓸 수 없습니다: " + *why);
    return s;
  }
  static const json& list(const json& v, const std::string& where, size_t maxItems) {
    expect(v.is_array(), where, "목록이어야");
    if (v.size() > maxItems)
      refuse("프로젝트 파일의 " + where + " 항목이 너무 많습니다 (최대 " +
             std::to_string(maxItems) + "개)");
    return v;
  }

 private:
  const json& root_;
};

// Each path in its canonical spelling; one that is the same folder as an earlier one (of this
// list or of before), or lies inside it or around it, would count one copy twice and is refused.
std::vector<std::string> paths(const json& v, const std::string& where,
                               std::vector<std::pair<std::string, std::string>>& earlier) {
  std::vector<std::string> out;
  const json& arr = Reader::list(v, where, kMaxDests);
  for (size_t i = 0; i < arr.size(); ++i) {
    std::string w = nth(where, i);
    std::string p = Reader::text(arr[i], w, kMaxPathBytes);
    if (p.find('\0') != std::string::npos)
      refuse("프로젝트 파일의 " + w + " 항목에 NUL 문자가 있습니다");
    if (p.empty() || p[0] != '/')
      refuse("프로젝트 파일의 " + w + " 항목은 \"/\" 로 시작하는 경로여야 합니다");
    const std::string named = p;
    p = canonicalPath(p);
    if (auto why = systemFolderProblem(p, realFs(), named))
      refuse("프로젝트 파일의 " + w + " 항목은 목적지로 쓸 수 없습니다: " + *why);
    for (const auto& [q, qWhere] : earlier) {
      if (q == p) refuse("프로젝트 파일의 " + w + " 항목이 앞의 경로와 같습니다 (" + qWhere + ")");
      if (sameOrNested(q, p))
        refuse("프로젝트 파일의 " + w + " 항목이 " + qWhere +
               " 경로와 같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다");
    }
    earlier.emplace_back(p, w);
    out.push_back(std::move(p));
  }
  return out;
}

ProjectFile decodeObject(const json& root) {
  if (!root.is_object()) refuse("프로젝트 파일이 JSON 객체가 아닙니다");
  Reader r(root);
  ProjectFile f;
  // Checked before the other members, so a file of another program is named as such.
  f.schema = Reader::text(r.top("schema"), quoted("schema"));
  if (f.schema.rfind(kProjectSchemaPrefix, 0) != 0)
    refuse("TOLVERDINE 프로젝트 파일이 아닙니다", ProjectFileError::Kind::notOurs);

  f.name = Reader::folderName(r.top("name"), quoted("name"));
  auto date = root.find("date");
  if (date != root.end() && !date->is_null()) f.date = Reader::text(*date, quoted("date"));

  f.preset = Reader::text(r.top("preset"), quoted("preset"));
  if (f.preset.find_first_not_of(" \t") == std::string::npos)
    refuse("프로젝트 파일의 \"preset\" 항목이 비어 있습니다");

  const json& rules = Reader::list(r.top("rules"), quoted("rules"), kMaxRules);
  for (size_t i = 0; i < rules.size(); ++i) {
    std::string w = nth(quoted("rules"), i);
    auto rule = decodeRule(rules[i]);
    if (!rule) refuse("프로젝트 파일의 " + w + " 규칙 형식이 틀렸습니다");
    if (auto why = pathNameProblem(rule->cls))
      refuse("프로젝트 파일의 " + w + " 규칙의 분류를 폴더 이름으로 쓸 수 없습니다: " + *why);
    // A length or channel count below zero matches no clip and reads as a typing slip.
    if ((rule->maxSec && *rule->maxSec < 0) || (rule->minSec && *rule->minSec < 0) ||
        (rule->minCh && *rule->minCh < 0))
      refuse("프로젝트 파일의 " + w + " 규칙의 경계가 0 보다 작습니다");
    if (rule->model && rule->model->size() > kMaxTextBytes)
      refuse("프로젝트 파일의 " + w + " 규칙의 모델이 너무 깁니다");
    f.rules.push_back(std::move(*rule));
  }

  f.nameSet = Reader::text(r.top("nameSet"), quoted("nameSet"));
  if (f.nameSet != "ko" && f.nameSet != "en")
    refuse("프로젝트 파일의 \"nameSet\" 값을 알 수 없습니다 (\"ko\" 또는 \"en\")");

  const json& labels = r.top("classLabels");
  Reader::expect(labels.is_object(), quoted("classLabels"), "객체여야");
  if (labels.size() > kMaxClassLabels)
    refuse("프로젝트 파일의 \"classLabels\" 항목이 너무 많습니다 (최대 " +
           std::to_string(kMaxClassLabels) + "개)");
  for (auto it = labels.begin(); it != labels.end(); ++it) {
    std::string w = quoted("classLabels") + " " + quoted(it.key());
    if (it.key().size() > kMaxTextBytes)
      refuse("프로젝트 파일의 \"classLabels\" 항목의 분류 이름이 너무 깁니다");
    f.classLabels[it.key()] = Reader::folderName(it.value(), w);
  }

  const json& cams = Reader::list(r.top("cameras"), quoted("cameras"), kMaxCameras);
  for (size_t i = 0; i < cams.size(); ++i) {
    std::string w = nth(quoted("cameras"), i);
    Reader::expect(cams[i].is_object(), w, "객체여야");
    ProjectFile::Camera c;
    c.identity =
        Reader::text(r.member(cams[i], "identity", w + " \"identity\""), w + " \"identity\"");
    c.label = Reader::folderName(r.member(cams[i], "label", w + " \"label\""), w + " \"label\"");
    f.cameras.push_back(std::move(c));
  }

  std::vector<std::pair<std::string, std::string>> folders;
  f.destinations = paths(r.top("destinations"), quoted("destinations"), folders);
  f.cascadeDestinations =
      paths(r.top("cascadeDestinations"), quoted("cascadeDestinations"), folders);

  const json& copies = r.top("copiesRequired");
  Reader::expect(copies.is_number_integer(), quoted("copiesRequired"), "정수여야");
  long long n = copies.is_number_unsigned() && copies.get<unsigned long long>() > kMaxCopies
                    ? kMaxCopies + 1
                    : copies.get<long long>();
  if (n < 1 || n > kMaxCopies)
    refuse("프로젝트 파일의 \"copiesRequired\" 항목은 1 에서 " + std::to_string(kMaxCopies) +
           " 사이여야 합니다");
  f.copiesRequired = static_cast<int>(n);

  auto verify = verifyModeFromText(Reader::text(r.top("verify"), quoted("verify")));
  if (!verify)
    refuse(std::string("프로젝트 파일의 \"verify\" 값을 알 수 없습니다 (") + kVerifyTexts + ")");
  f.verify = *verify;

  const json& md5 = r.top("md5");
  Reader::expect(md5.is_boolean(), quoted("md5"), "참/거짓이어야");
  f.md5 = md5.get<bool>();

  auto storage = storageFromText(Reader::text(r.top("storage"), quoted("storage")));
  if (!storage)
    refuse("프로젝트 파일의 \"storage\" 값을 알 수 없습니다 (\"split\", \"mirror\", \"auto\")");
  f.storage = *storage;

  f.dayBoundary = Reader::text(r.top("dayBoundary"), quoted("dayBoundary"));
  return f;
}

}  // namespace

std::string ProjectFile::encoded() const {
  try {
    json o = json::object();
    // A file read in a later version is written back as the version this program writes.
    o["schema"] = kProjectSchema;
    o["name"] = name;
    if (date) o["date"] = *date;
    o["preset"] = preset;
    json list = json::array();
    for (const Rule& r : rules) list.push_back(encodeRule(r));
    o["rules"] = std::move(list);
    o["nameSet"] = nameSet;
    o["classLabels"] = classLabels;
    json cams = json::array();
    for (const Camera& c : cameras) cams.push_back({{"identity", c.identity}, {"label", c.label}});
    o["cameras"] = std::move(cams);
    o["destinations"] = destinations;
    o["cascadeDestinations"] = cascadeDestinations;
    o["copiesRequired"] = copiesRequired;
    o["verify"] = verifyModeText(verify);
    o["md5"] = md5;
    o["storage"] = storageText(storage);
    o["dayBoundary"] = "04:00";
    return o.dump(2) + "\n";
  } catch (const json::exception&) {
    throw ProjectFileError{ProjectFileError::Kind::unencodable,
                           "프로젝트 파일을 만들지 못했습니다: UTF-8 이 아닌 텍스트가 있습니다"};
  } catch (const PresetEncodeError& e) {
    throw ProjectFileError{ProjectFileError::Kind::unencodable,
                           std::string("프로젝트 파일을 만들지 못했습니다: ") + e.what()};
  }
}

ProjectDecoded ProjectFile::decode(std::string_view data) {
  using Kind = ProjectFileError::Kind;
  if (data.size() > kMaxProjectFileBytes)
    return {std::nullopt, {Kind::unreadable, "프로젝트 파일이 너무 큽니다 (4 MiB 초과)"}};
  if (!validUtf8(std::string(data)))
    return {std::nullopt, {Kind::unreadable, "프로젝트 파일이 UTF-8 텍스트가 아닙니다"}};
  json root;
  try {
    root = json::parse(data.begin(), data.end(),
                       [](int depth, json::parse_event_t, json&) { return depth <= kMaxDepth; });
  } catch (const json::parse_error& e) {
    return {std::nullopt,
            {Kind::unreadable, "프로젝트 파일이 올바른 JSON 이 아닙니다 (" +
                                   std::to_string(e.byte) + "번째 바이트)"}};
  } catch (const json::exception&) {
    // A number past the range of a double (1e400) is well-formed JSON the parser cannot hold.
    return {std::nullopt,
            {Kind::unreadable, "프로젝트 파일이 올바른 JSON 이 아닙니다 (너무 큰 수)"}};
  }
  try {
    return {decodeObject(root), {}};
  } catch (const Refusal& r) {
    return {std::nullopt, r.error};
  }
}

ProjectDecoded ProjectFile::read(const std::string& path) {
  using Kind = ProjectFileError::Kind;
  auto fail = [&](const std::string& why) {
    return ProjectDecoded{std::nullopt, {Kind::unreadable, why}};
  };
  // O_NONBLOCK: a FIFO named as the file must not hang the reader.
  Fs& fs = realFs();
  UniqueFd fd(fs.open(nfc(path), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail("프로젝트 파일을 열지 못했습니다: " + path);
  struct stat st;
  if (fs.fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return fail("프로젝트 파일이 일반 파일이 아닙니다: " + path);
  if (static_cast<uint64_t>(st.st_size) > kMaxProjectFileBytes)
    return fail("프로젝트 파일이 너무 큽니다 (4 MiB 초과)");
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = fs.read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("프로젝트 파일을 읽지 못했습니다: " + path);
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    // A file that grows while it is read is held to the same bound.
    if (data.size() > kMaxProjectFileBytes) return fail("프로젝트 파일이 너무 큽니다 (4 MiB 초과)");
  }
  return decode(data);
}

std::string projectFileName(const std::string& project) { return project + ".tolverdine.json"; }

void writeProjectFile(const std::string& path, const ProjectFile& file) {
  writeFileAtomic(path, file.encoded());
}

}  // namespace tolverdine

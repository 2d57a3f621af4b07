#include "engine/card/camera_profile.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace tolverdine {

namespace {
using ojson = nlohmann::ordered_json;
using json = nlohmann::json;

CameraProfile dirsProfile(const char* id, const char* brand, const char* line, const char* dir) {
  return CameraProfile{id, brand, line, std::vector<std::string>{dir}, std::nullopt};
}
CameraProfile extProfile(const char* id, const char* brand, const char* line, const char* ext) {
  return CameraProfile{id, brand, line, std::nullopt, std::string(ext)};
}

std::optional<std::string> text(const json& o, const char* key, bool required, bool& ok) {
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) {
    if (required) ok = false;
    return std::nullopt;
  }
  if (!it->is_string()) {
    ok = false;
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<CameraProfile> profileFrom(const json& o) {
  if (!o.is_object()) return std::nullopt;
  bool ok = true;
  CameraProfile p;
  p.id = text(o, "id", true, ok).value_or("");
  p.brand = text(o, "brand", true, ok).value_or("");
  p.line = text(o, "line", true, ok).value_or("");
  p.rootExt = text(o, "rootExt", false, ok);
  if (auto it = o.find("dirs"); it != o.end() && !it->is_null()) {
    if (!it->is_array()) return std::nullopt;
    std::vector<std::string> dirs;
    for (const auto& d : *it) {
      if (!d.is_string()) return std::nullopt;
      dirs.push_back(d.get<std::string>());
    }
    p.dirs = std::move(dirs);
  }
  if (!ok) return std::nullopt;
  return p;
}
}  // namespace

const std::vector<CameraProfile>& defaultProfiles() {
  static const std::vector<CameraProfile> list = {
      dirsProfile("sony-xavcs", "Sony", "XAVC S·HS", "PRIVATE/M4ROOT"),
      dirsProfile("sony-xdcam", "Sony", "XAVC (XDROOT)", "XDROOT"),
      dirsProfile("sony-xdcam-private", "Sony", "XAVC (XDROOT)", "PRIVATE/XDROOT"),
      dirsProfile("sony-xdcamex", "Sony", "XDCAM EX", "BPAV/CLPR"),
      dirsProfile("sony-avchd", "Sony", "AVCHD", "PRIVATE/AVCHD"),
      dirsProfile("canon-cinema", "Canon", "Cinema EOS", "CONTENTS/CLIPS*"),
      dirsProfile("canon-xfvc", "Canon", "EOS R (XF-AVC)", "XFVC"),
      dirsProfile("canon-crm", "Canon", "EOS R (RAW)", "CRM"),
      dirsProfile("panasonic-p2", "Panasonic", "P2", "CONTENTS/VIDEO"),
      extProfile("red", "RED", "R3D", "rdm"),
      extProfile("blackmagic", "Blackmagic", "BRAW", "braw"),
      dirsProfile("gopro", "GoPro", "GoPro", "DCIM/*GOPRO"),
      dirsProfile("dji-media", "DJI", "드론·Osmo", "DCIM/*MEDIA"),
      dirsProfile("dji-folder", "DJI", "드론·Osmo", "DCIM/DJI_*"),
      dirsProfile("insta360", "Insta360", "Insta360", "DCIM/Camera*"),
      dirsProfile("nikon", "Nikon", "Nikon", "DCIM/*NCZ*"),
      dirsProfile("fujifilm", "Fujifilm", "Fujifilm", "DCIM/*_FUJI"),
      dirsProfile("panasonic-lumix", "Panasonic", "LUMIX", "DCIM/*_PANA"),
      dirsProfile("canon-still", "Canon", "EOS 스틸", "DCIM/*CANON"),
      dirsProfile("sony-still", "Sony", "스틸", "DCIM/*MSDCF"),
      dirsProfile("zoom", "Zoom", "레코더", "FOLDER01"),
      dirsProfile("tascam", "Tascam", "레코더", "SOUND"),
  };
  return list;
}

const ModelNames& baseModelNames() {
  static const ModelNames names = {
      {"MPC-2610", "BURANO"},   {"ILME-FR7", "FR7"},  {"ILME-FX3", "FX3"},
      {"ILCE-7SM3", "A7S III"}, {"ILME-FX3A", "FX3"}, {"ILCE-7M4", "A7 IV"},
      {"ILME-FX30", "FX30"},    {"ILCE-1", "A1"},     {"ILME-FX6V", "FX6"},
      {"ILCE-1M2", "A1 II"},    {"ILME-FX6", "FX6"},  {"ZV-E1", "ZV-E1"},
      {"ILME-FX9", "FX9"},      {"PXW-FX9", "FX9"},   {"PXW-FS7", "FS7"},
      {"PXW-FS7M2", "FS7 II"},
  };
  return names;
}

std::string encodePack(const ProfilePack& pack) {
  ojson profiles = ojson::array();
  for (const auto& p : pack.profiles) {
    ojson o = {{"id", p.id}, {"brand", p.brand}, {"line", p.line}};
    if (p.dirs) o["dirs"] = *p.dirs;
    if (p.rootExt) o["rootExt"] = *p.rootExt;
    profiles.push_back(std::move(o));
  }
  ojson o = {{"version", pack.version}, {"profiles", std::move(profiles)}};
  if (pack.models) {
    ojson m = ojson::object();
    for (const auto& [code, name] : *pack.models) m[code] = name;
    o["models"] = std::move(m);
  }
  // Invalid UTF-8 in a caller's text becomes U+FFFD rather than an exception.
  return o.dump(2, ' ', false, ojson::error_handler_t::replace);
}

std::optional<ProfilePack> decodePack(std::string_view text) {
  json j = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  ProfilePack pack;
  auto v = j.find("version");
  if (v == j.end()) return std::nullopt;
  if (v->is_number_unsigned()) {
    if (v->get<unsigned long long>() >
        static_cast<unsigned long long>(std::numeric_limits<long long>::max()))
      return std::nullopt;
    pack.version = static_cast<long long>(v->get<unsigned long long>());
  } else if (v->is_number_integer()) {
    pack.version = v->get<long long>();
  } else {
    return std::nullopt;
  }
  auto ps = j.find("profiles");
  if (ps == j.end() || !ps->is_array()) return std::nullopt;
  for (const auto& p : *ps) {
    auto profile = profileFrom(p);
    if (!profile) return std::nullopt;
    pack.profiles.push_back(std::move(*profile));
  }
  if (auto m = j.find("models"); m != j.end() && !m->is_null()) {
    if (!m->is_object()) return std::nullopt;
    ModelNames names;
    for (auto it = m->begin(); it != m->end(); ++it) {
      if (!it.value().is_string()) return std::nullopt;
      names[it.key()] = it.value().get<std::string>();
    }
    pack.models = std::move(names);
  }
  return pack;
}

}  // namespace tolverdine

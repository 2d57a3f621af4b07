// JSON and table forms of the library lists, shared by the search, history and suggestions
// commands.
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/store/store.h"

namespace tolverdine::cli {

inline nlohmann::ordered_json hitJson(const Hit& h) {
  nlohmann::ordered_json j;
  j["id"] = h.id();
  j["name"] = h.name();
  j["cam"] = h.cam();
  j["key"] = h.key;
  j["dest"] = h.dest;
  j["rel"] = h.rel;
  j["view"] = h.view ? nlohmann::ordered_json(*h.view) : nlohmann::ordered_json();
  j["classPath"] = h.classPath();
  j["hash"] = h.hash ? nlohmann::ordered_json(*h.hash) : nlohmann::ordered_json();
  j["state"] = copyStateText(h.state);
  j["at"] = h.at;
  j["size"] = h.size;
  j["online"] = h.online();
  return j;
}

inline nlohmann::ordered_json cardJson(const CardRecord& c) {
  return {{"fingerprint", c.fingerprint},
          {"cam", c.cam},
          {"files", c.files},
          {"bytes", c.bytes},
          {"firstSeen", c.firstSeen},
          {"lastSeen", c.lastSeen}};
}

inline nlohmann::ordered_json suggestionJson(const Suggestion& s) {
  return {{"model", s.model}, {"class", s.cls}, {"count", s.count}};
}

/// Stored text need not be UTF-8 (paths from old cards); such bytes print as U+FFFD.
inline void printJson(const nlohmann::ordered_json& j) {
  std::string s = j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::printf("%s\n", s.c_str());
}

}  // namespace tolverdine::cli

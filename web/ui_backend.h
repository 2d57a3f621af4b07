// What the web page needs from the application: one JSON snapshot of everything it shows, one
// entry point for everything the user can do, and a signal when the snapshot changed.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tolverdine::web {

/// Outcome of one user operation. `ok` false with a Korean `message` shows as a line on the page;
/// the state itself always comes back through state().
struct ActionResult {
  bool ok = true;
  std::string message;
  /// The operation refused to replace an existing file; sent again with "replace": true it does.
  bool askReplace = false;
};

/// Why the snapshot changed. `progress` (bytes copied, countdown ticks) is coalesced by the
/// server to a few pushes per second; `state` is pushed at once.
enum class Change { state, progress };

/// A still frame for the report page.
struct Image {
  std::string contentType;  // "image/jpeg" or "image/png"
  std::string bytes;
};

/// Implemented by the application (around Model) and by FakeBackend.
///
/// Threads: every call comes from a server worker thread, several at once. An implementation whose
/// state lives on a main loop hands each call to that loop and waits for its answer. The change
/// callback may be called from any thread and must not be called while holding a lock that
/// state() takes.
///
/// state() shape (keys absent = the page shows nothing for them):
/// {
///   "menu": {"color": "green|yellow|red|gray", "title": "포맷 가능 2"},
///   "ready": bool, "running": int, "cascading": bool,
///   "cards": [{
///     "id": "/media/u/CARD",  "name": "CARD", "cam": "A캠", "camera": "Sony FX3" | "",
///     "phase": "reading|waiting|queued|running|finished",
///     "countdown": int | null,                        // waiting
///     "done": int64, "total": int64, "file": "...",   // running
///     "copied": int64, "verified": int64 | null (no read-back), "stage": "복사|검증",
///     "rate": bytes per second | null, "eta": seconds | null,  // running, when known
///     "color": "green|yellow|red|gray", "text": "...",  // finished
///     "outcomes": [{"root", "verified", "failed", "why": "..." | null, "lost"}],
///     "note": "..." | null, "link": "slow-reader notice" | null,
///     "report": finished-card key | null,              // its report can be opened
///     "actions": [{"op": "start|hold|startAnyway|dismiss|keepSlot2|verifyTwin|exportTree|report",
///                  "label": "시작"}]                    // what this phase allows, most fitting
///                  first
///   }],
///   "finished": [{"key", "id", "name", "cam", "camera", "color", "text", "at": "local time",
///                 "outcomes": [...], "report": bool, "listed": bool}],   // newest first
///   "cascadeLive": {"done", "count", "name", "target"} | null,
///   "dests": [{"path": "...", "state": "쓰기 됨" | null, "ok": bool | null}],
///   "cascadeDests": [same],
///   "suggestion": {"path": "/media/u/NAS", "name": "NAS"} | null,
///   "cascadeNote": "..." | null,
///   "settings": [{"key": "project", "label": "프로젝트 이름",   // unset keys show their default
///                 "type": "text|number|bool|choice|roles", "value": ...,
///                 "choices": [{"value": "split", "label": "..."}], "example": "..."}],
///   "onboarding": {"show": bool, "accepted": bool, "terms": "markdown text"},
///   "permChecks": [{"path": "...", "write": bool, "state": "...", "ok": bool}],
///   "loginItemNote": "..." | null,
///   "library": {"searchText": "...", "hits": [{"id","name","cam","classPath","dest","online"}],
///               "history": [{"fingerprint","cam","files","bytes","firstSeen","lastSeen"}],  //
///               local times (hits also carry "cls": the class their path names, or null)
///               "suggestions": [{"model","cls","count"}], "preset": "default",
///               "classes": ["슬레이트", ...], "note": "..." | null},
///   "rules": {"preset": "default", "presets": ["default", ...], "editingPreset": "...",
///             "editingRules": [{"class","max_sec","min_sec","min_ch","model"}],
///             "roles": [{"cam": "A캠", "role": "none|fixed|interview"}],
///             "roleChoices": [{"value", "label"}], "classes": [...], "note": "..." | null},
///   "report": {"card": key | null, "name": "...", "cam": "...", "clips":
///   [{"rel","path","name","cls",
///              "thumb": "/thumb?path=..."}], "classes": [...], "note": "..." | null,
///              "verdict": {"color", "text", "at", "outcomes"} | null}
/// }
///
/// act() operations and their args:
///   start {id} · hold {id} · startAnyway {id} · dismiss {id} · keepSlot2 {id} · verifyTwin {id}
///   exportTree {id, path, replace?} (askReplace when the file exists) · openReport {key}
///   addDestination {path, cascade: bool} · removeDestination {path, cascade: bool}
///   acceptSuggestion {cascade: bool} · ignoreSuggestion {}
///   setSetting {key, value} · setRole {cam, role} · acceptTerms {} · checkPermissions {}
///   search {text} · acceptSuggestionRule {model, cls}
///   reclassifyHit {id, cls} · reclassifyClip {rel, cls} (ok = moved; message says what happened)
///   spotCheck {} · openReportFolder {}
///   editRules {name} · setRules {rules} · saveRules {name}
/// An unknown op answers ok false.
class UiBackend {
 public:
  virtual ~UiBackend() = default;
  virtual nlohmann::json state() = 0;
  virtual ActionResult act(const std::string& op, const nlohmann::json& args) = 0;
  /// The one listener (the server); replaces an earlier one; an empty function detaches.
  virtual void subscribe(std::function<void(Change)> onChange) = 0;
  /// Still frame of a clip that the report currently lists; absent for any other path.
  virtual std::optional<Image> thumbnail(const std::string& clipPath) = 0;
};

}  // namespace tolverdine::web

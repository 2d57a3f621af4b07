// An in-memory UiBackend for the server's tests and the page's demo: it keeps a small card list,
// answers the user's operations the way the application does in outline, and records every call.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "web/ui_backend.h"

namespace tolverdine::web {

class FakeBackend : public UiBackend {
 public:
  struct Call {
    std::string op;
    nlohmann::json args;
  };

  FakeBackend();

  nlohmann::json state() override;
  ActionResult act(const std::string& op, const nlohmann::json& args) override;
  void subscribe(std::function<void(Change)> onChange) override;
  std::optional<Image> thumbnail(const std::string& clipPath) override;

  /// Lists a new card waiting with the given countdown (absent: waits for the user).
  void mount(const std::string& name, int files, long long bytes, std::optional<int> countdown);
  /// One simulated second: countdowns tick, queued cards start, running cards copy `step` bytes
  /// and finish green when all bytes are done.
  void tick(long long step);

  std::vector<Call> calls();
  /// Number of state() calls so far.
  int snapshots();

 private:
  void changed(Change c);
  nlohmann::json cardJson(const nlohmann::json& card) const;
  nlohmann::json* findCard(const std::string& id);

  std::mutex mu_;
  nlohmann::json cards_ = nlohmann::json::array();
  nlohmann::json dests_ = nlohmann::json::array();
  nlohmann::json cascadeDests_ = nlohmann::json::array();
  nlohmann::json settings_;
  nlohmann::json hits_ = nlohmann::json::array();
  nlohmann::json clips_;
  std::string searchText_;
  std::string reportCard_;
  std::string reportNote_;
  nlohmann::json finished_ = nlohmann::json::array();
  bool accepted_ = false;
  bool showOnboarding_ = true;
  std::vector<Call> calls_;
  int snapshots_ = 0;
  std::function<void(Change)> onChange_;
};

}  // namespace tolverdine::web

// The web page's view of the application: snapshots of Model as JSON and the page's operations
// handed to Model on its main thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/model.h"
#include "engine/media/thumbnail.h"
#include "web/ui_backend.h"

namespace tolverdine::web {

class ModelBackend : public UiBackend {
 public:
  /// Construct on the main thread; model and main outlive the backend.
  ModelBackend(Model& model, Scheduler& main);
  ~ModelBackend() override;

  nlohmann::json state() override;
  ActionResult act(const std::string& op, const nlohmann::json& args) override;
  void subscribe(std::function<void(Change)> onChange) override;
  std::optional<Image> thumbnail(const std::string& clipPath) override;

  /// The snapshot and the operation themselves, on the main thread (tests drive these directly).
  nlohmann::json snapshot();
  ActionResult perform(const std::string& op, const nlohmann::json& args);

 private:
  template <class T> std::optional<T> onMain(std::function<T()> fn);
  nlohmann::json cardJson(const CardItem& c);

  Model& model_;
  Scheduler& main_;
  std::thread::id mainThread_;
  std::mutex m_;
  std::function<void(Change)> onChange_;
  ThumbnailCache thumbs_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tolverdine::web

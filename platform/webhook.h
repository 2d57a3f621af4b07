// Posts a card's verdict to a chat webhook without holding up the caller.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GMainContext GMainContext;

namespace tolverdine {

struct WebhookResult {
  long status = 0;    // HTTP status, 0 without a response
  std::string error;  // transport error, empty when none
  bool ok() const { return error.empty() && status >= 200 && status <= 299; }
};

using WebhookDone = std::function<void(const WebhookResult&)>;

/// True when url is an https URL with a host (the only kind a verdict is sent to).
bool webhookURLAccepted(const std::string& url);

/// {"content": text, "text": text}: one key for each of the two common chat services.
std::string webhookBody(const std::string& text);

class WebhookPoster {
 public:
  virtual ~WebhookPoster() = default;
  /// Refuses (false, done never called) a URL that webhookURLAccepted rejects; otherwise queues
  /// the POST and returns at once; done gets the outcome later.
  virtual bool post(const std::string& url, const std::string& text, WebhookDone done = {}) = 0;
};

struct WebhookOptions {
  std::chrono::milliseconds timeout{60000};
  /// Extra CA bundle to trust (tests); empty: the system's.
  std::string caInfo;
  /// Where done runs; null: on the worker thread.
  GMainContext* context = nullptr;
};

/// libcurl on one worker thread; destruction cuts off the post in flight and drops queued ones.
class CurlWebhookPoster : public WebhookPoster {
 public:
  explicit CurlWebhookPoster(WebhookOptions opt = {});
  ~CurlWebhookPoster() override;
  CurlWebhookPoster(const CurlWebhookPoster&) = delete;
  CurlWebhookPoster& operator=(const CurlWebhookPoster&) = delete;
  bool post(const std::string& url, const std::string& text, WebhookDone done = {}) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Records posts; answers each accepted one with `result` at once.
class FakeWebhookPoster : public WebhookPoster {
 public:
  struct Call {
    std::string url, text;
  };
  std::vector<Call> calls;
  WebhookResult result{200, ""};
  bool post(const std::string& url, const std::string& text, WebhookDone done = {}) override {
    if (!webhookURLAccepted(url)) return false;
    calls.push_back({url, text});
    if (done) done(result);
    return true;
  }
};

}  // namespace tolverdine

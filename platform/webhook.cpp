#include <curl/curl.h>
#include <glib.h>

#include <atomic>

#include "platform/serial_worker.h"
#include "platform/webhook.h"

namespace tolverdine {

namespace {
size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

int abortWhenStopping(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

struct Delivery {
  WebhookDone done;
  WebhookResult result;
};

gboolean runDelivery(gpointer p) {
  auto* d = static_cast<Delivery*>(p);
  d->done(d->result);
  return G_SOURCE_REMOVE;
}

void freeDelivery(gpointer p) { delete static_cast<Delivery*>(p); }
}  // namespace

struct CurlWebhookPoster::Impl {
  WebhookOptions opt;
  std::atomic<bool> stopping{false};
  SerialWorker worker;  // last: joined before the rest goes

  WebhookResult send(const std::string& url, const std::string& body) {
    WebhookResult r;
    CURL* c = curl_easy_init();
    if (!c) {
      r.error = "curl_easy_init failed";
      return r;
    }
    char err[CURL_ERROR_SIZE] = "";
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(opt.timeout.count()));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, err);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &stopping);
    if (!opt.caInfo.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, opt.caInfo.c_str());
    CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    if (rc != CURLE_OK) r.error = *err ? err : curl_easy_strerror(rc);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return r;
  }
};

CurlWebhookPoster::CurlWebhookPoster(WebhookOptions opt) : impl_(std::make_unique<Impl>()) {
  impl_->opt = std::move(opt);
  if (impl_->opt.context) g_main_context_ref(impl_->opt.context);
}

CurlWebhookPoster::~CurlWebhookPoster() {
  // A hook that never answers must not hold up shutdown: the post in flight is cut off and the
  // queued ones are dropped, without calling their done.
  impl_->stopping = true;
  GMainContext* ctx = impl_->opt.context;
  impl_.reset();
  if (ctx) g_main_context_unref(ctx);
}

bool CurlWebhookPoster::post(const std::string& url, const std::string& text, WebhookDone done) {
  if (!webhookURLAccepted(url)) return false;
  Impl* impl = impl_.get();
  impl->worker.post([impl, url, body = webhookBody(text), done = std::move(done)] {
    if (impl->stopping) return;
    WebhookResult r = impl->send(url, body);
    if (!done || impl->stopping) return;
    if (!impl->opt.context) {
      done(r);
      return;
    }
    g_main_context_invoke_full(impl->opt.context, G_PRIORITY_DEFAULT, runDelivery,
                               new Delivery{done, r}, freeDelivery);
  });
  return true;
}

}  // namespace tolverdine

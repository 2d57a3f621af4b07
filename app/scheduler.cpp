#include "app/scheduler.h"

#include <glib.h>

namespace tolverdine {

namespace {
using Task = std::function<void()>;

gboolean runOnce(gpointer data) {
  (*static_cast<Task*>(data))();
  return G_SOURCE_REMOVE;
}
void dropTask(gpointer data) { delete static_cast<Task*>(data); }
}  // namespace

GlibScheduler::GlibScheduler(GMainContext* context)
    : context_(g_main_context_ref(context ? context : g_main_context_default())) {}

GlibScheduler::~GlibScheduler() { g_main_context_unref(context_); }

void GlibScheduler::post(std::function<void()> fn) {
  // An idle source rather than g_main_context_invoke, which would run fn at once when called on
  // the main thread itself, inside whatever the caller is doing.
  GSource* s = g_idle_source_new();
  g_source_set_priority(s, G_PRIORITY_DEFAULT);
  g_source_set_callback(s, runOnce, new Task(std::move(fn)), dropTask);
  g_source_attach(s, context_);
  g_source_unref(s);
}

void GlibScheduler::after(std::chrono::milliseconds delay, std::function<void()> fn) {
  GSource* s = g_timeout_source_new(static_cast<guint>(delay.count()));
  g_source_set_callback(s, runOnce, new Task(std::move(fn)), dropTask);
  g_source_attach(s, context_);
  g_source_unref(s);
}

}  // namespace tolverdine

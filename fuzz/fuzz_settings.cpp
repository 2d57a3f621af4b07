// Any bytes as settings.json: the preferences file and the settings read from it must not crash,
// and settings stored back key by key must read back the same.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/settings.h"
#include "platform/preferences_store.h"

using namespace tolverdine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One folder for the whole run, removed at exit.
  static char folder[] = "/tmp/fuzz-settings-XXXXXX";
  static const std::string dir = [] {
    if (!::mkdtemp(folder)) std::abort();
    std::atexit([] {
      std::string d = folder;
      ::unlink((d + "/settings.json").c_str());
      ::unlink((d + "/settings.json.bad").c_str());
      ::rmdir(d.c_str());
    });
    return std::string(folder);
  }();
  const std::string path = dir + "/settings.json";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();

  JsonFilePreferences prefs(dir);
  Settings s = Settings::load(prefs);
  s.maxParallel();
  s.storage();
  s.verify();
  s.ready();

  FakePreferences back;
  for (const auto& key : settingKeys()) {
    if (auto v = s.value(key)) {
      back.set(key, *v);
      (void)v->dump(2);  // as the store writes it; must not throw
    }
  }
  Settings again = Settings::load(back);
  for (const auto& key : settingKeys())
    if (again.value(key) != s.value(key) || again.shown(key) != s.shown(key)) std::abort();
  ::unlink((path + ".bad").c_str());
  return 0;
}

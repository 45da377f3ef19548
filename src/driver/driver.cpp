#include "driver/driver.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

namespace talo::driver {
namespace {
DriverApi g_api{};
void *g_module = nullptr;  // written at load and unload only
}  // namespace

DriverApi &Api() { return g_api; }

bool LoadDriver(const char *name) {
  std::memset(&g_api, 0, sizeof g_api);
  g_module = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!g_module) {
    // The search through our own RUNPATH ($ORIGIN) is lost when a sanitizer
    // runtime intercepts dlopen: look beside this library explicitly.
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void *>(&UnloadDriver), &self) && self.dli_fname) {
      std::string path = self.dli_fname;
      path = path.substr(0, path.rfind('/') + 1) + name;
      g_module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
  }
  if (!g_module) return false;
  void **slots = reinterpret_cast<void **>(&g_api);
  for (int i = 0; i < kDriverEntryCount; ++i) slots[i] = ::dlsym(g_module, kDriverEntryNames[i]);
  return true;
}

void UnloadDriver() {
  if (g_module) ::dlclose(g_module);
  g_module = nullptr;
}

bool DriverLoaded() { return g_module != nullptr; }

int32_t GetChannelState(int32_t ch) {
  if (ch < 0) return -1;
  return Call<&DriverApi::TvcGetChState>(ch);
}

}  // namespace talo::driver

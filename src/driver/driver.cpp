#include "driver/driver.h"

#include <dlfcn.h>

#include <atomic>
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

namespace {
// Dekker's pairing: an arming counts itself in before it looks at the gate,
// the closer shuts the gate before it looks at the count, so one of them
// always sees the other (both sequentially consistent).
std::atomic<bool> g_arming_open{true};         // written by the host thread, read by every arming
std::atomic<int32_t> g_armings_in_flight{0};   // every arming thread: in while it calls the driver
}  // namespace

void CloseArming() {
  g_arming_open.store(false);
  for (int32_t n = g_armings_in_flight.load(); n != 0; n = g_armings_in_flight.load())
    g_armings_in_flight.wait(n);
}

void OpenArming() { g_arming_open.store(true); }

bool ArmingOpen() { return g_arming_open.load(); }

int32_t ArmThroughGate(int32_t ch, int32_t format, void *buffer, int32_t size,
                       TvcRecordCallback callback, void *context) {
  g_armings_in_flight.fetch_add(1);
  struct Leave {
    ~Leave() {
      if (g_armings_in_flight.fetch_sub(1) == 1) g_armings_in_flight.notify_all();
    }
  } leave;
  if (!g_arming_open.load()) return -1;
  auto fn = Api().TvcStartDualBuffRecordC;
  return fn ? fn(ch, format, buffer, size, callback, context) : kRefusal<&DriverApi::TvcStartDualBuffRecordC>;
}

int32_t GetChannelState(int32_t ch) {
  if (ch < 0) return -1;
  return Call<&DriverApi::TvcGetChState>(ch);
}

}  // namespace talo::driver

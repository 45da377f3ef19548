// Loading libTALO.so and binding its exports.
#include "library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace host_kit {

void *Symbol(void *handle, const char *name) { return handle ? dlsym(handle, name) : nullptr; }

std::filesystem::path ProgramFolder() { return std::filesystem::canonical("/proc/self/exe").parent_path(); }

std::filesystem::path LibraryFolder(const std::string &folder) {
  return folder.empty() ? ProgramFolder().parent_path() / "lib" : std::filesystem::path(folder);
}

Library::Library(const std::string &folder_name, const std::string &driver) {
  const std::string folder = LibraryFolder(folder_name).string();
  if (!driver.empty()) {
    driver_ = dlopen(driver.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!driver_) throw std::runtime_error("cannot load the board driver '" + driver + "': " + dlerror());
  }
  lib_ = dlopen((folder + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) {
    const std::string error = dlerror();
    if (driver_) dlclose(driver_);
    throw std::runtime_error("cannot load libTALO.so: " + error);
  }
  // Only looked for, never loaded: a board the library did not load is not the one it drives.
  if (!driver_) board_ = dlopen((folder + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!driver_ && !board_) board_ = dlopen("libTvcdrv.so", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
#define HOST_KIT_BIND(name) api_.name = HOST_KIT_SYMBOL(lib_, name);
  HOST_KIT_EXPORTS(HOST_KIT_BIND)
#undef HOST_KIT_BIND
}

Library::~Library() {
  if (board_) dlclose(board_);
  dlclose(lib_);
  // After the library, which holds the driver until it is unloaded.
  if (driver_) dlclose(driver_);
}

}  // namespace host_kit

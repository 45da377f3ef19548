// Loading libTALO.so and binding its exports.
#include "library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace host_kit {

void *Symbol(void *handle, const char *name) { return handle ? dlsym(handle, name) : nullptr; }

std::filesystem::path ProgramFolder() { return std::filesystem::canonical("/proc/self/exe").parent_path(); }

Library::Library(std::string folder) {
  if (folder.empty()) folder = (ProgramFolder().parent_path() / "lib").string();
  lib_ = dlopen((folder + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) throw std::runtime_error(std::string("cannot load libTALO.so: ") + dlerror());
  // Only looked for, never loaded: a board the library did not load is not the one it drives.
  board_ = dlopen((folder + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!board_) board_ = dlopen("libTvcdrv.so", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
#define HOST_KIT_BIND(name) api_.name = HOST_KIT_SYMBOL(lib_, name);
  HOST_KIT_EXPORTS(HOST_KIT_BIND)
#undef HOST_KIT_BIND
}

Library::~Library() {
  if (board_) dlclose(board_);
  dlclose(lib_);
}

}  // namespace host_kit

// Load and unload of libTALO.so: bind the driver when the process loads us,
// release it when it unloads us.
#include "host/library.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
  try {
    talo::host::LibraryLoad();
  } catch (...) {
  }
}

__attribute__((destructor)) void OnLibraryUnload() {
  try {
    talo::host::ModuleUnload();
  } catch (...) {
  }
}

}  // namespace

// libTALO.so loaded as any host loads it (dlopen), its exports bound by name,
// and the simulated board it loaded found beside it, or another board driver
// of ours put in its place.
//
// Threads: the host thread that activates the library; the Library outlives
// every call through its exports.
#pragma once

#include <filesystem>
#include <string>

#include "talo/talo.h"

namespace host_kit {

// A function bound by name, as a member of a table of them: the type is the
// one its header declares.
#define HOST_KIT_FIELD(name) decltype(&::name) name = nullptr;

// The exports the hosts call, listed once for the table and its binding.
#define HOST_KIT_EXPORTS(X)                                                                               \
  X(QV_InitDll) X(QV_SetCallBakFunc) X(QV_SetActive) X(QV_GetChannelCount) X(QV_GetDeviceCount)          \
  X(QV_GetChannelType) X(QV_GetDeviceType) X(QV_StartRecord) X(QV_StopRecord) X(QV_SetFileLen)           \
  X(QV_ProcessMessages) X(QV_GetMessageFd) X(QV_SetTrunkUserStep) X(QV_StartNetMonitor)                  \
  X(QV_StopNetMonitor) X(QV_SoftDialOut) X(QV_StopSoftDialOut) X(QV_SoftSendFax)

// Null where the library lacks one.
struct Exports {
  HOST_KIT_EXPORTS(HOST_KIT_FIELD)
};

// A symbol of a loaded library; null when `handle` is null or lacks it.
void *Symbol(void *handle, const char *name);
// The symbol `name` as the function its header declares.
#define HOST_KIT_SYMBOL(handle, name) reinterpret_cast<decltype(&::name)>(::host_kit::Symbol(handle, #name))

// The running program's folder: a host finds the library in ../lib and its
// prompts in Sound/ beside it.
std::filesystem::path ProgramFolder();
// The folder libTALO.so is loaded from: `folder`, or "" for ../lib beside the program.
std::filesystem::path LibraryFolder(const std::string &folder);

class Library {
 public:
  // Loads <folder>/libTALO.so; "" is ../lib beside the program. A `driver`
  // file is loaded first, so that the library's own dlopen("libTvcdrv.so")
  // is answered with it (the loader matches a loaded object by its soname)
  // instead of the board beside the library. Throws std::runtime_error
  // naming the cause.
  explicit Library(const std::string &folder, const std::string &driver = "");
  ~Library();
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  const Exports &Api() const { return api_; }
  // The simulated board the library loaded: the copy beside it or, for an
  // installed library, the one it found elsewhere; null on a driver given
  // to the constructor.
  void *Board() const { return board_; }

 private:
  void *lib_ = nullptr;
  void *board_ = nullptr;
  void *driver_ = nullptr;  // the driver loaded ahead of the library; null none
  Exports api_;
};

}  // namespace host_kit

// Loading and binding the vendor driver, and the calls the library makes.
#pragma once
#include <cstdint>

#include "driver/driver_api.h"

namespace talo::driver {

// The library-wide table: written at library load (or by a test that installs
// fakes) before any export runs, read-only afterwards.
DriverApi &Api();

// Opens libTvcdrv.so through the normal search and binds every entry by name;
// false when the library could not be opened (every entry stays null).
// `name` is the test seam: a module that is nowhere to be found.
bool LoadDriver(const char *name = "libTvcdrv.so");
// Releases the driver library; the entries are not cleared.
void UnloadDriver();
bool DriverLoaded();

// -1 for a negative channel without asking the driver.
int32_t GetChannelState(int32_t ch);

// What a call to an unbound entry returns: the value that makes each caller
// take its "nothing happened / refused" path.
template <auto Entry>
inline constexpr int32_t kRefusal = 0;
template <>
inline constexpr int32_t kRefusal<&DriverApi::TvcLoadDrvA> = -1;  // the boards did not open
template <>
inline constexpr int32_t kRefusal<&DriverApi::TvcGetChType> = 255;  // no channel present
template <>
inline constexpr int32_t kRefusal<&DriverApi::TvcGetChState> = -1;  // no state the loops act on
template <>
inline constexpr int32_t kRefusal<&DriverApi::TvcStartPlayFile> = -1;  // playback did not start
template <>
inline constexpr int32_t kRefusal<&DriverApi::TvcSTartPlayFileList> = -1;

// Calls an entry of the table, or returns its refusal value when unbound:
// Call<&DriverApi::TvcGetChType>(ch).
template <auto Entry, typename... Args>
inline int32_t Call(Args... args) {
  auto fn = Api().*Entry;
  return fn ? fn(args...) : kRefusal<Entry>;
}

}  // namespace talo::driver

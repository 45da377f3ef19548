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

// The channel states the loops act on, named by the driver's header.
inline constexpr int32_t kChanFree = TVC_STATE_FREE;
inline constexpr int32_t kChanPickedUp = TVC_STATE_PICKED_UP;  // a station phone is off-hook
inline constexpr int32_t kChanOffHook = TVC_STATE_OFF_HOOK;
inline constexpr int32_t kChanRinging = TVC_STATE_RINGING;
inline constexpr int32_t kChanEmpty = TVC_STATE_EMPTY;
inline constexpr int32_t kChanFarEndGone = TVC_STATE_FAR_END_GONE;

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

// The arming gate. Deactivation closes it before it tells the driver to stop
// recording: a record-buffer callback that was already running then cannot
// hand the driver a buffer after the stop, which a driver would keep (and call
// back with) after the worker that owns it is gone. Open while the library is
// inactive too, so that tests may arm a worker by hand.
//
// CloseArming returns once no arming is in flight; from then until
// OpenArming every arming is refused without reaching the driver. Host
// thread only; never from inside an arming.
void CloseArming();
void OpenArming();
bool ArmingOpen();

// Any thread: TvcStartDualBuffRecordC through the gate; -1 when refused.
int32_t ArmThroughGate(int32_t ch, int32_t format, void *buffer, int32_t size,
                       TvcRecordCallback callback, void *context);

template <auto Entry>
inline constexpr bool kArming = false;
template <>
inline constexpr bool kArming<&DriverApi::TvcStartDualBuffRecordC> = true;

// Calls an entry of the table, or returns its refusal value when unbound:
// Call<&DriverApi::TvcGetChType>(ch). Arming goes through the gate.
template <auto Entry, typename... Args>
inline int32_t Call(Args... args) {
  if constexpr (kArming<Entry>) {
    return ArmThroughGate(args...);
  } else {
    auto fn = Api().*Entry;
    return fn ? fn(args...) : kRefusal<Entry>;
  }
}

}  // namespace talo::driver

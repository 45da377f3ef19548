// The host application object: message dispatch and the terminating flag.
// The library starts with its own (dispatch this thread's synchronizer calls,
// never terminating); QV_InitDll replaces it with the host's.
#pragma once
#include <atomic>
#include <cstdint>

#include "talo/talo.h"

namespace talo::threading {

// Runs the calling thread's waiting synchronizer calls, then, on the thread
// that owns the host application and only there, the host's process_messages
// if it has one.
void ProcessMessages();
// Waits up to `ms` for a call to arrive for this thread (or `*flag` to turn
// true): the pause between the dispatches of a polling wait, which wakes on
// an arrival at once instead of spinning a core.
void WaitForMessage(uint32_t ms, const std::atomic<bool> *flag = nullptr);
// True when the host reports that it is terminating.
bool Terminated();

// Replaces the application object with a copy of `app` (nullptr: the library's
// own); returns nothing, the previous one is kept for RestoreSaved.
void InstallApplication(const QV_HostApplication *app);
// Unload: make the library's own object current again.
void RestoreLibraryApplication();
// Activation: the calling thread owns the host application from now on.
void SetApplicationOwner(uint32_t thread_id);
// Test seam and unload path: force Terminated() true (or back to the object's word).
void SetForcedTermination(bool on);

}  // namespace talo::threading

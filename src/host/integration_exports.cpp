// Host integration on Linux: servicing the calls that workers hand to a host
// thread, and routing the debug trace.
#include "talo/talo.h"
#include "host/export_guard.h"
#include "platform/debug_output.h"
#include "platform/message_queue.h"

extern "C" {

TALO_EXPORT int32_t QV_ProcessMessages(void) {
  return talo::host::ExportGuard<int32_t>(0, []() -> int32_t {
    auto *queue = talo::platform::MessageQueue::CurrentIfAny();
    return queue ? queue->Dispatch() : 0;
  });
}

TALO_EXPORT int32_t QV_GetMessageFd(void) {
  return talo::host::ExportGuard<int32_t>(-1, [] {
    return talo::platform::MessageQueue::ForCurrentThread()->Fd();
  });
}

TALO_EXPORT void QV_SetDebugOutput(void (*sink)(void *context, const char *line), void *context) {
  talo::host::ExportGuardVoid([&] { talo::platform::SetDebugSink(sink, context); });
}

}  // extern "C"

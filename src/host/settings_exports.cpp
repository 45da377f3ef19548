// Channel settings and manual recording.
#include "talo/talo.h"
#include "host/export_guard.h"
#include "host/library.h"

using talo::host::ExportGuard;

extern "C" {

// Not yet wired to the workers: each answers its usual result and changes nothing.
TALO_EXPORT int32_t QV_SetRecordAGC(int32_t, uint8_t, int32_t) { return 0; }
TALO_EXPORT uint8_t QV_SetRecMode(int32_t, int32_t) { return 1; }
TALO_EXPORT uint8_t QV_SetSilenceTime(int32_t, int32_t) { return 1; }
TALO_EXPORT uint8_t QV_SetSilencelevel(int32_t, int32_t) { return 1; }
TALO_EXPORT uint8_t QV_SetFileLen(int32_t, int32_t) { return 1; }
TALO_EXPORT int32_t QV_StartRecord(int32_t, const char *) { return 0; }
TALO_EXPORT uint8_t QV_StopRecord(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_WavToLeaveMsgFile(const char *, const char *) { return 1; }
TALO_EXPORT void QV_SetTrunkUserStep(int32_t) {}

TALO_EXPORT const char *QV_GetFilePreChar(void) { return "V-"; }

}  // extern "C"

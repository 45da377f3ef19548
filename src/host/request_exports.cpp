// Soft dial-out and fax send requests.
#include "talo/talo.h"
#include "host/export_guard.h"

extern "C" {

// Not yet handed to the trunk workers: every request is refused.
TALO_EXPORT int32_t QV_SoftDialOut(int32_t, const char *, uint8_t) { return QV_DIAL_BUSY_RESULT; }
TALO_EXPORT void QV_StopSoftDialOut(int32_t) {}
TALO_EXPORT int32_t QV_SoftSendFax(int32_t, const char *, const char *, int32_t) { return 2; }

}  // extern "C"

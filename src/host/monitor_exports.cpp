// Live monitor fan-out and the device exports kept for hosts that call them.
#include "talo/talo.h"
#include "host/export_guard.h"

extern "C" {

// Listeners are not attached yet: every registration is refused.
TALO_EXPORT uint8_t QV_StartNetMonitor(int32_t, QV_MonitorListener *) { return 0; }
TALO_EXPORT uint8_t QV_StopNetMonitor(int32_t, QV_MonitorListener *) { return 0; }

// These have no function on this board family and answer fixed values.
TALO_EXPORT int32_t QV_StartPlayDevice(int32_t, int32_t, int32_t) { return 0; }
TALO_EXPORT uint8_t QV_StopPlayDevice(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_StartMonitorDevice(int32_t) { return 1; }
TALO_EXPORT uint8_t QV_StopMonitorDevice(void) { return 1; }

}  // extern "C"

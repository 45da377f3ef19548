/* A minimal host written in plain C against talo.h: it must compile as C11
 * and link against libTALO.so. */
#include <stdio.h>
#include <string.h>

#include "talo/talo.h"

static int g_active_events;

static void on_active(void *context, uint8_t active) {
    (void)context;
    (void)active;
    ++g_active_events;
}

int main(void) {
    QV_HostApplication app = {NULL, NULL, NULL};
    QV_HostEvents events;
    memset(&events, 0, sizeof events);
    events.slots[QV_SLOT_ACTIVE_CHANGED].code = (void *)on_active;

    QV_InitDll(&app, 0, 0, 0);
    if (!QV_SetCallBakFunc(events)) return 1;
    if (strcmp(QV_GetDeviceType(), "RUrir-ADE") != 0) return 2;
    if (strcmp(QV_GetFilePreChar(), "V-") != 0) return 3;
    if (QV_GetChannelCount() != 256 || QV_GetDeviceCount() != 0) return 4;
    if (QV_GetChannelType(-1) != -1) return 5;
    if (QV_SetActive(0) != 0 || g_active_events != 0) return 6;
    printf("C host check passed\n");
    return 0;
}

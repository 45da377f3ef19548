#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include "talo/talo.h"

static void on_off_hook(void *ctx, int32_t ch, uint8_t after_ring) {
    (void)ctx; (void)after_ring;
    QV_StartRecord(ch, "/var/rec/line.v");      /* audio lands in the file */
}
static void on_hang_up(void *ctx, int32_t ch, uint8_t flag) {
    (void)ctx; (void)flag;
    QV_StopRecord(ch);
}

int main(int argc, char **argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 60;
    QV_HostEvents ev = {0};
    ev.slots[QV_SLOT_OFF_HOOK].code = (void *)on_off_hook;
    ev.slots[QV_SLOT_HANG_UP].code  = (void *)on_hang_up;

    QV_InitDll(NULL, 0, 0, 0);          /* or your QV_HostApplication */
    QV_SetCallBakFunc(ev);              /* before activation: workers copy it */
    if (!QV_SetActive(1)) return 1;     /* opens the boards, starts a worker per channel */
    printf("%d channels\n", (int)QV_GetChannelCount());

    int fd = QV_GetMessageFd();         /* readable while events wait for this thread */
    for (int i = 0; i < seconds * 10; ++i) {   /* your main loop */
        struct pollfd p = { fd, POLLIN, 0 };
        poll(&p, 1, 100);
        QV_ProcessMessages();           /* handlers run here, on this thread */
    }
    if (!QV_SetActive(0)) return 1;     /* stops and joins the workers */
    printf("stopped\n");
    return 0;
}

/*
 * tvcdrv.h - the voice-board driver entry points that libTALO calls.
 *
 * libTALO does not link against the driver: it opens libTvcdrv.so at run time
 * and binds every entry point by name. This header fixes the C signatures of
 * the 50 entry points the library calls and the record-buffer callback, so the
 * library's binding, the simulated board and any third-party driver agree.
 *
 * Every entry point returns int32_t; channel and integer arguments are int32_t;
 * buffers, texts, records and the callback are pointers.
 */
#ifndef TALO_TVCDRV_H
#define TALO_TVCDRV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Record filled by TvcGetDrvInfo: 8 bytes. */
#pragma pack(push, 1)
typedef struct TvcDrvInfo {
    int16_t channel_total; /* channels on all boards */
    uint8_t board_count;   /* number of boards */
    uint8_t reserved[5];   /* not read by the library */
} TvcDrvInfo;
#pragma pack(pop)

/* Size of one dual-buffer record buffer, and the format code of IMA ADPCM. */
#define TVC_RECORD_BUFFER_SIZE 2560
#define TVC_RECORD_FORMAT_IMA_ADPCM 4

/* Channel types reported by TvcGetChType. */
#define TVC_CHTYPE_LINE 0
#define TVC_CHTYPE_USER 1
#define TVC_CHTYPE_TRUNK 2
/* Types 3 to 7: further line interfaces, followed and recorded as lines. */
#define TVC_CHTYPE_LINE_OTHER_FIRST 3
#define TVC_CHTYPE_LINE_OTHER_LAST 7
#define TVC_CHTYPE_IDLE 10
#define TVC_CHTYPE_NONE 255

/* Channel states reported by TvcGetChState. */
#define TVC_STATE_FREE 0
#define TVC_STATE_PICKED_UP 1
#define TVC_STATE_OFF_HOOK 2
#define TVC_STATE_RINGING 3
#define TVC_STATE_EMPTY 4
#define TVC_STATE_FAR_END_GONE 9

/*
 * Called by the driver, on a thread of its own, each time an armed buffer has
 * been filled. `last` is the offset of the last byte written (2559 for a full
 * buffer); `context` is the value given when the buffer was armed.
 */
typedef void (*TvcRecordCallback)(int32_t ch, int32_t unused, void *buffer,
                                  int32_t last, void *context);

/*
 * The called entry points: X(name, parameter list). The list is used to
 * declare the prototypes below and the function-pointer types the library
 * binds; it must stay in step with both.
 */
#define TVCDRV_CALLED_ENTRIES(X)                                                              \
    X(TvcStartDualBuffRecordC, (int32_t ch, int32_t format, void *buffer, int32_t size,       \
                                TvcRecordCallback callback, void *context))                   \
    X(TvcLoadDrvA, (void))                                                                    \
    X(TvcFreeDrv, (void))                                                                     \
    X(TvcGetDrvInfo, (TvcDrvInfo *info))                                                      \
    X(TvcGetChType, (int32_t ch))                                                             \
    X(TvcGetDtmfStr, (int32_t ch, char *buffer, int32_t max_digits, int32_t flag))            \
    X(TvcClrRxDtmfBuf, (int32_t ch))                                                          \
    X(TvcStartSendTone, (int32_t ch, int32_t tone, int32_t arg3, int32_t arg4))               \
    X(TvcGetBusyCount, (int32_t ch))                                                          \
    X(TvcClearBusyCount, (int32_t ch))                                                        \
    X(TvcPickUp, (int32_t ch))                                                                \
    X(TvcHangUp, (int32_t ch))                                                                \
    X(TvcGetChState, (int32_t ch))                                                            \
    X(TvcGetRingCount, (int32_t ch))                                                          \
    X(TvcClearRingCount, (int32_t ch))                                                        \
    X(TvcIsSound, (int32_t ch))                                                               \
    X(TvcSetNoSoundDtrTime, (int32_t ch, int32_t ms))                                         \
    X(TvcSetBargeInSensitive, (int32_t ch, int32_t level))                                    \
    X(TvcGetPolarCount, (int32_t ch))                                                         \
    X(TvcClearPolarCount, (int32_t ch))                                                       \
    X(TvcGetCallerId, (int32_t ch, char *buffer, int32_t max_chars))                          \
    X(TvcClrCallerIdBuf, (int32_t ch))                                                        \
    X(TvcStopRecord, (int32_t ch))                                                            \
    X(TvcSetRecAgc, (int32_t ch, int32_t on))                                                 \
    X(TvcSetRecVol, (int32_t ch, int32_t volume))                                             \
    X(TvcStartPlayFile, (int32_t ch, const char *path, int32_t arg3, int32_t arg4,            \
                         int32_t arg5))                                                       \
    X(TvcGetPlayStat, (int32_t ch))                                                           \
    X(TvcStopPlay, (int32_t ch))                                                              \
    X(TvcAppendFileToList, (int32_t ch, const char *path, int32_t arg3, int32_t arg4))        \
    X(TvcClearFileList, (int32_t ch))                                                         \
    X(TvcSTartPlayFileList, (int32_t ch))                                                     \
    X(TvcSendFlash, (int32_t ch))                                                             \
    X(TvcSetLinkWith, (int32_t ch1, int32_t arg2, int32_t ch2, int32_t arg4))                 \
    X(TvcClearLinkWith, (int32_t ch))                                                         \
    X(TvcDialOut, (int32_t ch, const char *digits, int32_t arg3, int32_t arg4, int32_t arg5)) \
    X(TvcRecPlayVoiceVol, (int32_t ch, int32_t volume))                                       \
    X(TvcStartToneAnalyze, (int32_t ch))                                                      \
    X(TvcCloseToneAnalyze, (int32_t ch))                                                      \
    X(TvcGetToneAnalyzeResult, (int32_t ch))                                                  \
    X(TvcStopRing, (int32_t ch))                                                              \
    X(TvcGetFlashCount, (int32_t ch))                                                         \
    X(TvcClearFlashCount, (int32_t ch))                                                       \
    X(TvcStartRingEx, (int32_t ch, const char *number))                                       \
    X(TvcStartRxFax, (int32_t ch, const char *path))                                          \
    X(TvcStartTxFax, (int32_t ch, const char *path))                                          \
    X(TvcGetFaxState, (int32_t ch))                                                           \
    X(TvcGetFaxIsEnd, (int32_t ch))                                                           \
    X(TvcGetSpecFreqDetectFlag, (int32_t ch))                                                 \
    X(TvcStartSpecFreqDetector, (int32_t ch, int32_t frequency, int32_t arg3))                \
    X(TvcStopSpecFreqDetector, (int32_t ch))

#define TVCDRV_DECLARE_(name, params) int32_t name params;
#define TVCDRV_TYPEDEF_(name, params) typedef int32_t(*PFN_##name) params;
TVCDRV_CALLED_ENTRIES(TVCDRV_DECLARE_)
TVCDRV_CALLED_ENTRIES(TVCDRV_TYPEDEF_)
#undef TVCDRV_DECLARE_
#undef TVCDRV_TYPEDEF_

#ifdef __cplusplus
}
#endif

#endif /* TALO_TVCDRV_H */

/*
 * talo.h - the public C interface of libTALO, the voice-board device library.
 *
 * A host loads libTALO.so (dlopen or link), calls QV_InitDll, installs its
 * event handlers with QV_SetCallBakFunc, activates the boards with
 * QV_SetActive(1), drives channels through the QV_ exports, and deactivates
 * with QV_SetActive(0) before it unloads the library.
 *
 * Every event handler runs on the host thread that activated the library,
 * while the channel worker that raised it waits. A Linux host services those
 * calls by polling QV_GetMessageFd() and calling QV_ProcessMessages(), or by
 * calling QV_ProcessMessages() from its own loop.
 *
 * Threads. Call the exports from the thread that activated the library (the
 * host's main thread): it owns the channel workers and runs every handler.
 * QV_ProcessMessages and QV_GetMessageFd serve whichever thread calls them;
 * QV_SetDebugOutput may be called from any thread. QV_SetActive makes and
 * frees the channel workers: an export that reaches a channel, called on
 * another thread while QV_SetActive runs, is refused with its usual refusal
 * value and a trace line, and a QV_SetActive called while another thread is
 * in QV_SetActive or in such an export waits up to 5 s for it, then returns 0
 * with a trace line. Beyond that guard, exports called concurrently from
 * several threads are not supported.
 * Handlers may call exports. An export that would wait for the very worker
 * whose event is being handled is refused instead of hanging: QV_SetActive(0)
 * returns 0 (and says why in the trace), and a dial-out or fax request on that
 * channel returns its busy code. The host's process_messages is only ever
 * called on the thread that activated the library.
 *
 * Booleans are uint8_t (only the low 8 bits count); texts are zero-terminated
 * 8-bit strings.
 */
#ifndef TALO_TALO_H
#define TALO_TALO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TALO_EXPORT __attribute__((visibility("default")))
#else
#define TALO_EXPORT
#endif

/* ---------------------------------------------------------------- host objects */

/* The host application object handed to QV_InitDll (NULL keeps the library's own). */
typedef struct QV_HostApplication {
    void *context;
    void (*process_messages)(void *context); /* may be NULL */
    uint8_t (*terminated)(void *context);    /* may be NULL: never terminating */
} QV_HostApplication;

/* A live-monitor listener's connection; the listener pointer is its identity. */
typedef struct QV_MonitorConnection {
    void *context;
    uint8_t (*connected)(void *context);
    int32_t (*write)(void *context, const void *data, int32_t size); /* 0 = written */
    void (*disconnect)(void *context);
} QV_MonitorConnection;

typedef struct QV_MonitorListener {
    QV_MonitorConnection *connection; /* NULL: the listener has no connection */
} QV_MonitorListener;

/* --------------------------------------------------------------- reply records */

#pragma pack(push, 1)

/* Filled by the host in OnIncomingCall. */
typedef struct QV_IncomingPlan {
    int32_t IncomingMode;   /* 0 ring the station through, 1 answer at the second ring and
                               take a message, 2 ring the station first, then take a message */
    int32_t UserRingTimeout; /* ms to ring the user phone */
    char GreetingFile[256];
    uint8_t NumberEntryEnabled;
    char NumberPromptFile[256];
    char ClosingFile[256];
} QV_IncomingPlan;

typedef struct QV_UserPickUpReply {
    uint8_t SignOnRequired;
    uint8_t SignedOn;
} QV_UserPickUpReply;

typedef struct QV_CommandReply {
    uint8_t CommandAccepted;
    char CommandReplyText[256];
} QV_CommandReply;

typedef struct QV_DialCheckReply {
    uint8_t DialBlocked;
    char BlockedPromptFile[256];
} QV_DialCheckReply;

typedef struct QV_AnswerReply {
    uint8_t PlayAnswerPrompts;
    uint8_t AnnounceChars;
    char AnnounceText[256];
    char CallerPromptFile[256];
    char UserPromptFile[256];
} QV_AnswerReply;

typedef struct QV_ConnectReply {
    uint8_t PolarityPrompts;
    char PolarityTrunkFile[256];
    char PolarityUserFile[256];
} QV_ConnectReply;

#pragma pack(pop)

#if defined(__cplusplus)
static_assert(sizeof(QV_IncomingPlan) == 777, "IncomingPlan is 777 bytes");
static_assert(sizeof(QV_UserPickUpReply) == 2, "UserPickUpReply is 2 bytes");
static_assert(sizeof(QV_CommandReply) == 257, "CommandReply is 257 bytes");
static_assert(sizeof(QV_DialCheckReply) == 257, "DialCheckReply is 257 bytes");
static_assert(sizeof(QV_AnswerReply) == 770, "AnswerReply is 770 bytes");
static_assert(sizeof(QV_ConnectReply) == 513, "ConnectReply is 513 bytes");
#else
_Static_assert(sizeof(QV_IncomingPlan) == 777, "IncomingPlan is 777 bytes");
_Static_assert(sizeof(QV_UserPickUpReply) == 2, "UserPickUpReply is 2 bytes");
_Static_assert(sizeof(QV_CommandReply) == 257, "CommandReply is 257 bytes");
_Static_assert(sizeof(QV_DialCheckReply) == 257, "DialCheckReply is 257 bytes");
_Static_assert(sizeof(QV_AnswerReply) == 770, "AnswerReply is 770 bytes");
_Static_assert(sizeof(QV_ConnectReply) == 513, "ConnectReply is 513 bytes");
#endif

/* -------------------------------------------------------------- event handlers */

/* Slot indices of QV_HostEvents, in their fixed order. */
enum QV_EventSlot {
    QV_SLOT_ACTIVE_CHANGED = 0,
    QV_SLOT_OFF_HOOK = 1,
    QV_SLOT_HANG_UP = 2,
    QV_SLOT_CALLER_ID = 3,
    QV_SLOT_RING = 4,
    QV_SLOT_SILENCE = 5,
    QV_SLOT_LINE_EMPTY = 6,
    QV_SLOT_DTMF = 7,
    QV_SLOT_RECORD_LIMIT = 8,
    QV_SLOT_INCOMING_CALL = 9,
    QV_SLOT_LEAVE_MESSAGE = 10,
    QV_SLOT_LEAVE_MESSAGE_END = 11,
    QV_SLOT_USER_PICK_UP = 12,
    QV_SLOT_SIGN_OFF = 13,
    QV_SLOT_SIGN_ON = 14,
    QV_SLOT_DIAL_CHECK = 15,
    QV_SLOT_INCOMING_ANSWERED = 16,
    QV_SLOT_TRUNK_CONNECTED = 17,
    QV_SLOT_FAX_START = 18,
    QV_SLOT_FAX_END = 19,
    QV_SLOT_QUERY = 20,
    QV_SLOT_SPARE1 = 21,
    QV_SLOT_SPARE2 = 22,
    QV_SLOT_COUNT = 23
};

/* Each handler gets its slot's context first, then the event's arguments. */
typedef void (*QV_OnActiveChanged)(void *context, uint8_t active);
typedef void (*QV_OnOffHook)(void *context, int32_t ch, uint8_t afterRing);
typedef void (*QV_OnHangUp)(void *context, int32_t ch, uint8_t flag);
typedef void (*QV_OnCallerId)(void *context, int32_t ch, const char *number, const char *extra);
typedef void (*QV_OnRing)(void *context, int32_t ch, uint8_t ringing);
typedef void (*QV_OnSilence)(void *context, int32_t ch, uint8_t silent);
typedef void (*QV_OnLineEmpty)(void *context, int32_t ch, uint8_t empty);
typedef void (*QV_OnDtmf)(void *context, int32_t ch, const char *digits);
typedef void (*QV_OnRecordLimit)(void *context, int32_t ch);
typedef void (*QV_OnIncomingCall)(void *context, int32_t ch, QV_IncomingPlan *plan);
typedef void (*QV_OnLeaveMessage)(void *context, int32_t ch, const char *number);
typedef void (*QV_OnLeaveMessageEnd)(void *context, int32_t ch);
typedef void (*QV_OnUserPickUp)(void *context, int32_t pairedCh, QV_UserPickUpReply *reply);
typedef void (*QV_OnSignOff)(void *context, int32_t pairedCh, int32_t ch);
typedef void (*QV_OnSignOn)(void *context, int32_t pairedCh, int32_t ch, const char *field1,
                            const char *field2, QV_CommandReply *reply);
typedef void (*QV_OnDialCheck)(void *context, int32_t pairedCh, const char *field1,
                               const char *digits, QV_DialCheckReply *reply);
typedef void (*QV_OnIncomingAnswered)(void *context, int32_t ch, QV_AnswerReply *reply);
typedef void (*QV_OnTrunkConnected)(void *context, int32_t pairedCh, QV_ConnectReply *reply);
typedef void (*QV_OnFaxStart)(void *context, int32_t ch, int32_t faxCh, int32_t direction);
typedef void (*QV_OnFaxEnd)(void *context, int32_t ch, int32_t faxCh, int32_t direction,
                            const char *file, int32_t result);
typedef void (*QV_OnQuery)(void *context, int32_t code, void *arg, void *result);

/* One handler slot: the code (one of the typedefs above, cast to void *) and its context. */
typedef struct QV_EventSlotRec {
    void *code; /* NULL: unassigned */
    void *context;
} QV_EventSlotRec;

typedef struct QV_HostEvents {
    QV_EventSlotRec slots[QV_SLOT_COUNT];
} QV_HostEvents;

/* Query codes passed to OnQuery. */
enum QV_QueryCode {
    QV_QUERY_FAX_ONLY = 10,         /* arg: int32_t *channel;    result: uint8_t * */
    QV_QUERY_FAX_CHANNEL = 20,      /* arg: NULL;                result: int32_t * (-1: none) */
    QV_QUERY_FAX_RX_PROMPT = 30,    /* arg: NULL;                result: char[128] */
    QV_QUERY_FAX_TX_PROMPT = 40,    /* arg: NULL;                result: char[128] */
    QV_QUERY_FAX_FILE_NAME = 50,    /* arg: QV_FaxFileNameArg *; result: char[128] */
    QV_QUERY_CALLER_REJECTED = 60   /* arg: char[128] number;    result: uint8_t * */
};

#pragma pack(push, 1)
typedef struct QV_FaxFileNameArg {
    int32_t channel;
    int32_t mode;
    char caller[256];
} QV_FaxFileNameArg;
#pragma pack(pop)

/* ----------------------------------------------------------------- exports */

/* Library lifecycle and channel registry. */
TALO_EXPORT void QV_InitDll(const QV_HostApplication *application, int32_t reserved1,
                            int32_t reserved2, int32_t reserved3);
TALO_EXPORT uint8_t QV_SetActive(uint8_t active);
TALO_EXPORT uint8_t QV_GetActive(void);
TALO_EXPORT int32_t QV_GetDeviceCount(void);
TALO_EXPORT int32_t QV_GetChannelCount(void);
TALO_EXPORT uint8_t QV_SetChannelCount(int32_t count);
TALO_EXPORT const char *QV_GetDeviceType(void);
TALO_EXPORT int32_t QV_GetChannelType(int32_t ch);

/* Channel kinds answered by QV_GetChannelType. */
#define QV_CHANNEL_LINE 0     /* a line the library listens to and records */
#define QV_CHANNEL_TRUNK 1    /* an outside line paired with a station phone */
#define QV_CHANNEL_STATION 2  /* the station phone of a trunk (it has no worker) */
#define QV_CHANNEL_IDLE 5     /* a channel whose worker does nothing */
#define QV_CHANNEL_NONE (-1)  /* no channel, or a kind the library does not use */

/* Host events. */
TALO_EXPORT uint8_t QV_SetCallBakFunc(QV_HostEvents events);

/* Channel settings and manual recording. */
TALO_EXPORT int32_t QV_SetRecordAGC(int32_t ch, uint8_t agc, int32_t unused);
TALO_EXPORT uint8_t QV_SetRecMode(int32_t ch, int32_t mode);
TALO_EXPORT uint8_t QV_SetSilenceTime(int32_t ch, int32_t seconds);
TALO_EXPORT uint8_t QV_SetSilencelevel(int32_t ch, int32_t level);
TALO_EXPORT uint8_t QV_SetFileLen(int32_t ch, int32_t minutes);
TALO_EXPORT int32_t QV_StartRecord(int32_t ch, const char *path);
TALO_EXPORT uint8_t QV_StopRecord(int32_t ch);
TALO_EXPORT const char *QV_GetFilePreChar(void);
TALO_EXPORT uint8_t QV_WavToLeaveMsgFile(const char *source, const char *destination);
TALO_EXPORT void QV_SetTrunkUserStep(int32_t step);

/*
 * Soft dial-out and fax send requests, on a trunk channel. Both block the
 * calling (host main) thread until the first result, dispatching the
 * library's messages meanwhile, so the handlers of the events raised on the
 * way run inside the call. A request that was accepted is always answered:
 * when the trunk takes an incoming call before the request (a race with the
 * ring), the request returns its busy code; when the library is deactivated
 * or the host terminates during the wait, it returns its refusal code
 * (QV_DIAL_BUSY_RESULT, or 2 for a fax send), never a result of a call that
 * was not made.
 *
 * QV_SoftDialOut: dials `number` (cut to 127 characters; whole in one driver
 * call when dialWhole is nonzero, else digit by digit) and rings the paired
 * station. 0 the station answered (the call goes on until it hangs up or
 * QV_StopSoftDialOut), 1 busy tone before dialling, 3 no answer in 30 s,
 * 5 stopped, QV_DIAL_BUSY_RESULT refused (no trunk worker, a call or dial-out
 * in progress, NULL or empty number). A dial-out may take over a trunk that
 * is sending or receiving a fax or carrying a station's own call: that
 * procedure ends first (a fax send still waiting for its first result
 * returns 3; a fax channel the host handed out comes back through OnFaxEnd
 * with result 4).
 *
 * QV_SoftSendFax: 0 a fax channel was obtained and the send has begun (its
 * outcome arrives in OnFaxEnd), 1 channel out of range, 2 no worker, 3 busy or
 * not a trunk, 4 no fax channel free, 5 `file` does not exist (NULL counts as
 * missing, and so does a path longer than 255 characters, which the request
 * cannot hold whole).
 *
 * OnFaxEnd's result: for a send 0 the engine ended the transfer, 1 busy,
 * 2 no fax tone, 3 no fax channel (reported when the option is 2 or more);
 * for a reception 0; for either, 4 a dial-out took the trunk over.
 */
#define QV_DIAL_BUSY_RESULT 0xFFFF
TALO_EXPORT int32_t QV_SoftDialOut(int32_t ch, const char *number, uint8_t dialWhole);
TALO_EXPORT void QV_StopSoftDialOut(int32_t ch);
TALO_EXPORT int32_t QV_SoftSendFax(int32_t ch, const char *number, const char *file,
                                   int32_t option);

/*
 * Live monitor fan-out. A channel's monitor thread calls each listener's
 * connected, write and, after a failed write, disconnect, one listener and one
 * block after the other. Adding and removing listeners never waits for
 * another listener's callbacks, so one stuck in a write holds up only the
 * blocks behind it, not the host.
 *
 * QV_StopNetMonitor hands the listener back: once it returns, no callback of
 * that listener runs or will run, and the host may free it. If one of its
 * callbacks is running, it waits for that callback to return (for that
 * listener only). Deactivation waits likewise for at most the callback in
 * progress. A listener's own callbacks may call QV_StartNetMonitor and
 * QV_StopNetMonitor (for itself or others): there QV_StopNetMonitor does not
 * wait, it only makes sure no new callback of the listener starts, and
 * QV_StartNetMonitor returns 0 for a channel that has no listener yet.
 */
TALO_EXPORT uint8_t QV_StartNetMonitor(int32_t ch, QV_MonitorListener *listener);
TALO_EXPORT uint8_t QV_StopNetMonitor(int32_t ch, QV_MonitorListener *listener);
TALO_EXPORT int32_t QV_StartPlayDevice(int32_t a, int32_t b, int32_t c);
TALO_EXPORT uint8_t QV_StopPlayDevice(int32_t a);
TALO_EXPORT uint8_t QV_StartMonitorDevice(int32_t a);
TALO_EXPORT uint8_t QV_StopMonitorDevice(void);

/* Host integration on Linux. */
/* Runs every synchronizer call waiting for the calling thread; returns how many ran. */
TALO_EXPORT int32_t QV_ProcessMessages(void);
/* An eventfd that polls readable while calls wait for the calling thread. */
TALO_EXPORT int32_t QV_GetMessageFd(void);
/* Routes debug-trace lines; NULL restores the default (TALO_DEBUG_OUTPUT). */
TALO_EXPORT void QV_SetDebugOutput(void (*sink)(void *context, const char *line), void *context);

#ifdef __cplusplus
}
#endif

#endif /* TALO_TALO_H */

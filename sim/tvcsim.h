/*
 * tvcsim.h - control API of the simulated voice board (libTvcdrv.so).
 *
 * The simulated board implements the driver entry points declared in
 * talo/tvcdrv.h and adds the TvcSim* functions below, through which tests,
 * the scenario runner and the demo host set up lines, push caller numbers
 * and digits, choose the audio each channel records, drive time, and look at
 * what the library did with the board. Usable from C and C++.
 *
 * Defaults after load and after TvcSimReset(): 8 channels, 1 board, every
 * channel type 0, state 0, counters 0, audio silence, time scale 100 (real
 * time), TvcLoadDrvA result 0, call log on and empty.
 *
 * Results: functions returning int32_t answer TVCSIM_OK (0) or a negative
 * TVCSIM_E_* code unless stated otherwise. Text getters follow snprintf:
 * they write at most size-1 characters plus a zero byte and return the full
 * length of the text.
 *
 * ---------------------------------------------------------------------------
 * Board clock
 *
 * The board keeps its own millisecond clock, starting at 0 on load/reset. It
 * runs at `time scale` percent of real time (100 = real time, 1000 = ten
 * times faster, 0 = stopped) and can be moved forward by hand with
 * TvcSimAdvance(). Playback lengths, fax durations, script events, the
 * trunk caller, the station phone and the far end of a call dialled out
 * (below) are measured on this clock.
 * The automatic delivery of recorded buffers (one per 630 ms per armed
 * channel) follows only the running part of the clock: with time scale 0
 * buffers are delivered only on demand (TvcSimDeliver), and TvcSimAdvance()
 * never delivers buffers.
 *
 * ---------------------------------------------------------------------------
 * Line script language (TvcSimLoadScript / TvcSimLoadScriptFile)
 *
 * One event per line; blank lines and lines whose first non-blank character
 * is '#' are ignored (there are no trailing comments: '#' is a DTMF digit
 * and the rest of a wav line is its path):
 *
 *     at <ms> ch <channel> <event> [arguments]
 *
 * <ms> is the board time in milliseconds after TvcSimStartScript(); events
 * fire in time order, events with the same time in file order. Events:
 *
 *     state <n>            channel state reported by TvcGetChState
 *     rings <n> | +<n>     ring counter: set to n, or add n
 *     busy <n> | +<n>      busy-tone counter
 *     flashes <n> | +<n>   hook-flash counter
 *     polarity <n> | +<n>  polarity-reversal counter
 *     callerid <number>    caller number waiting to be read (one word)
 *     nocallerid           discard the waiting caller number
 *     dtmf <digits>        digits received (0-9 * # A-D), appended
 *     sound 0|1            what TvcIsSound reports
 *     toneresult <n>       tone-analysis result (1 dial tone, 2 busy)
 *     freqflag 0|1         frequency-detector flag
 *     silence              audio source: silence
 *     tone <hz> <amp>      audio source: sine tone, 1..3999 Hz, amp 0..32767
 *     wav <path>           audio source: 16-bit 8 kHz mono PCM WAV, once
 *     wavloop <path>       the same, repeated
 *     faxend <status>      the channel's fax operation ends now with status
 *     incoming <number|-> <rings> [<every_ms>]
 *                          a caller rings the trunk (TvcSimIncomingCall);
 *                          '-' presents no number, every_ms defaults to 4000
 *     callerhangup         the caller hangs up (TvcSimCallerHangUp)
 *     autoanswer <ms>|never  the station phone answers ms after it starts
 *                          ringing (TvcSimSetAutoAnswer)
 *     lift                 the station phone is lifted (state 1)
 *     hangup               the station phone is put down (state 0)
 *     flash                the station flashes its hook (flash counter +1)
 *     keys <digits>        the same as dtmf: digits keyed on the channel
 *     answer               the far end answers an outgoing call on the trunk
 *                          (polarity counter +1)
 *     dialtone <ms>|never  the exchange gives dial tone ms after the trunk is
 *                          picked up (TvcSimSetLineTone); never: no tone plan
 *     busyline [<ms>]      the exchange gives busy tone instead (ms default 0)
 *     farfax <ms>|never    the number dialled reaches a fax machine answering
 *                          ms after the last digit (TvcSimSetFarFax); never:
 *                          nobody in particular again
 *     farbusy              the number dialled is busy (TvcSimSetFarBusy)
 *     faxplan <ms> <1|2>   the channel's next fax operations last ms and end
 *                          with that status (TvcSimSetFaxPlan)
 *     faxplan default      back to the default: a send by its file's size,
 *                          a reception 5000 ms, status 1
 *     faxsource <path>     file a reception stores (TvcSimSetFaxReceiveSource);
 *                          the rest of the line, checked at load time
 *
 * Example:
 *
 *     at 1200 ch 0 state 3
 *     at 1200 ch 0 rings 1
 *     at 1500 ch 0 callerid 5551234
 *     at 3000 ch 0 state 2
 *     at 3500 ch 0 dtmf 123
 *     at 4000 ch 0 wav /path/x.wav
 *     at 9000 ch 0 state 0
 *
 * WAV paths are read when the script is loaded (relative paths of a script
 * file are taken from the script file's directory), so a missing or wrong
 * file is a load error. Setting a user phone to state 1 (lifted) ends its
 * ringing, as a real phone does. An event takes effect at its own time even
 * when TvcSimAdvance moves the clock past it: rings counted up to then, a
 * caller hanging up then.
 *
 * An incoming trunk call, answered by station 3:
 *
 *     at 0     ch 3 autoanswer 6000
 *     at 0     ch 2 incoming 5551234 3 4000
 *     at 9000  ch 3 flash
 *     at 10000 ch 3 keys 12
 *     at 15000 ch 3 hangup
 *
 * ---------------------------------------------------------------------------
 * Trunks and station phones
 *
 * On a trunk (channel type 2) TvcPickUp turns state 0 or 3 into 2 (a call in
 * progress) and TvcHangUp turns 2 or 9 back into 0; on other channel types
 * the library's hook changes only off_hook. TvcPickUp also clears the ring
 * count on every channel.
 *
 * The caller of an incoming call lives on the board: TvcSimIncomingCall sets
 * state 3 and ring count 1, then adds a ring every period of board time.
 * TvcPickUp answers it (no more rings). A caller nobody answers gives up one
 * period after its last ring: ring count 0, state 0, caller number discarded.
 * When the caller hangs up (TvcSimCallerHangUp) before the trunk is picked up
 * the same happens at once; after it was picked up the trunk reads state 9
 * with one more busy-tone cadence, until TvcHangUp frees it.
 *
 * A station phone (channel type 1) with auto-answer lifts itself (state 1,
 * ending the ringing) a set time after TvcStartRingEx rings it; TvcStopRing
 * first means it is not lifted.
 *
 * ---------------------------------------------------------------------------
 * Dialling out: the line and the far end
 *
 * The exchange's tone (TvcSimSetLineTone): while tone analysis runs,
 * TvcGetToneAnalyzeResult reports the planned tone (1 dial tone, 2 busy) once
 * the channel has been off hook for the planned time; dial tone stops at the
 * first digit dialled, busy tone does not. Before that, and without a plan,
 * it reports the result set with TvcSimSetToneResult (default 0).
 *
 * The far end (TvcSimSetFarFax, TvcSimSetFarBusy) acts on the board clock
 * counting from the last TvcDialOut made off hook since the pick-up: a fax
 * machine answers after its delay, and from then on the frequency detector
 * reports 1 while it runs (else the flag set with TvcSimSetFreqFlag); a busy
 * number adds one busy-tone cadence every 500 ms, the first 500 ms after the
 * digit. TvcPickUp and TvcHangUp end the call: nothing further happens until
 * the next number is dialled. The digits dialled since the last pick-up are
 * read with TvcSimGetDialled.
 *
 * ---------------------------------------------------------------------------
 * Fax engine and fax resource channels
 *
 * TvcStartTxFax / TvcStartRxFax run on any channel; the host decides which
 * channels are its fax resources and links a trunk with one (TvcSetLinkWith,
 * seen as linked_to on both). Giving such a channel the type
 * TVCSIM_CHTYPE_FAX keeps the library off it: it starts no channel worker for
 * that type. While an operation runs TvcGetFaxState is 1 and TvcGetFaxIsEnd 0;
 * then 0 and the end status. Without a plan a send lasts 1000 ms per 4096
 * bytes of its file (rounded up), at least 2000 ms, and ends with 1; a file
 * that cannot be read fails at once (-1, end status 2). A reception lasts
 * 5000 ms, ends with 1 and copies the receive source into its path (2 when
 * that fails). A plan (TvcSimSetFaxPlan) sets the time and status of both.
 * ---------------------------------------------------------------------------
 */
#ifndef TALO_TVCSIM_H
#define TALO_TVCSIM_H

#include <stdint.h>

#if defined(__GNUC__)
#define TVCSIM_API __attribute__((visibility("default")))
#else
#define TVCSIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define TVCSIM_OK 0
#define TVCSIM_E_ARG (-1)         /* bad channel or argument */
#define TVCSIM_E_IO (-2)          /* file cannot be opened or read */
#define TVCSIM_E_FORMAT (-3)      /* not a well-formed RIFF/WAVE file */
#define TVCSIM_E_UNSUPPORTED (-4) /* WAVE but not 16-bit 8000 Hz mono PCM */
#define TVCSIM_E_PARSE (-5)       /* script syntax error */
#define TVCSIM_E_STATE (-6)       /* nothing to do in the current state */

/* Counters for TvcSimSetCounter / TvcSimAddCounter. */
#define TVCSIM_COUNTER_RING 0
#define TVCSIM_COUNTER_BUSY 1
#define TVCSIM_COUNTER_FLASH 2
#define TVCSIM_COUNTER_POLARITY 3

/* Tones of TvcSimSetLineTone, as TvcGetToneAnalyzeResult reports them. */
#define TVCSIM_TONE_DIAL 1
#define TVCSIM_TONE_BUSY 2

/* A channel type for fax resource channels: not one the library serves with
 * a channel worker (it serves 0, 2-7 and 10). */
#define TVCSIM_CHTYPE_FAX 20

/* Fax modes in TvcSimChannelInfo.fax_mode. */
#define TVCSIM_FAX_NONE 0
#define TVCSIM_FAX_RECEIVE 1
#define TVCSIM_FAX_SEND 2

/* Snapshot of one channel, filled by TvcSimGetChannelInfo. A setting the
 * library never made reads -1. */
typedef struct TvcSimChannelInfo {
    int32_t type;
    int32_t state;
    int32_t ring_count;
    int32_t busy_count;
    int32_t flash_count;
    int32_t polarity_count;
    int32_t sound;
    int32_t tone_result;
    int32_t tone_analyzing;    /* TvcStartToneAnalyze ... TvcCloseToneAnalyze */
    int32_t freq_flag;
    int32_t freq_detecting;    /* TvcStartSpecFreqDetector ... Stop */
    int32_t freq_detector_hz;  /* frequency given to the detector, or -1 */
    int32_t off_hook;          /* TvcPickUp ... TvcHangUp */
    int32_t ringing;           /* TvcStartRingEx ... TvcStopRing */
    int32_t linked_to;         /* channel linked with TvcSetLinkWith, or -1 */
    int32_t playing;           /* playback running now */
    int32_t play_list_length;  /* entries appended since TvcClearFileList */
    int32_t plays_started;     /* successful TvcStartPlayFile / list starts */
    int32_t last_tone;         /* last tone code of TvcStartSendTone, or -1 */
    int32_t tones_sent;
    int32_t flashes_sent;      /* TvcSendFlash calls */
    int32_t dial_calls;        /* TvcDialOut calls */
    int32_t fax_mode;          /* TVCSIM_FAX_* of the last fax operation */
    int32_t fax_state;         /* as TvcGetFaxState */
    int32_t fax_end;           /* as TvcGetFaxIsEnd */
    int32_t armed;             /* record buffers armed now */
    int32_t full_delivered;    /* full buffers delivered since reset */
    int32_t partial_delivered; /* partial buffers delivered since reset */
    int32_t overruns;          /* due times that found no armed buffer */
    int32_t rec_agc;           /* TvcSetRecAgc */
    int32_t rec_volume;        /* TvcSetRecVol */
    int32_t play_volume;       /* TvcRecPlayVoiceVol */
    int32_t no_sound_ms;       /* TvcSetNoSoundDtrTime */
    int32_t barge_in_level;    /* TvcSetBargeInSensitive */
    int32_t pending_dtmf;      /* digits received and not yet read */
    int32_t has_caller_id;     /* a caller number waits to be read */
    int32_t auto_answer_ms;    /* TvcSimSetAutoAnswer, -1 never */
    int32_t caller_ringing;    /* the caller of TvcSimIncomingCall still rings */
    int32_t caller_rings_left; /* rings to come before it gives up, -1 no limit */
    int32_t line_tone;         /* TVCSIM_TONE_* of TvcSimSetLineTone, 0 none */
    int32_t line_tone_after_ms; /* its delay after the pick-up, -1 none */
    int32_t far_fax_ms;        /* TvcSimSetFarFax, -1 no fax machine */
    int32_t far_busy;          /* TvcSimSetFarBusy */
    int32_t far_answered;      /* the far fax machine answered: its tone is on the line */
    int32_t fax_duration_ms;   /* length of the last fax operation started, -1 none */
} TvcSimChannelInfo;

/* ---- configuration ---- */

/* Back to the defaults: stops every recording (waiting for a callback in
 * flight unless called from inside one), clears scripts, the call log, taps
 * and all channel state. */
TVCSIM_API void TvcSimReset(void);
/* Channel total reported by TvcGetDrvInfo, 1..4096. Channels added get the
 * defaults; recording on removed channels stops. */
TVCSIM_API int32_t TvcSimSetChannelTotal(int32_t total);
TVCSIM_API int32_t TvcSimSetBoardCount(int32_t count); /* 0..255 */
TVCSIM_API int32_t TvcSimSetChannelType(int32_t ch, int32_t type);
TVCSIM_API void TvcSimSetLoadResult(int32_t result); /* what TvcLoadDrvA returns */
/* 1 between TvcLoadDrvA (returning 0) and TvcFreeDrv, else 0. */
TVCSIM_API int32_t TvcSimIsLoaded(void);

/* ---- line state ---- */

TVCSIM_API int32_t TvcSimSetState(int32_t ch, int32_t state);
TVCSIM_API int32_t TvcSimSetCounter(int32_t ch, int32_t counter, int32_t value);
TVCSIM_API int32_t TvcSimAddCounter(int32_t ch, int32_t counter, int32_t delta);
/* NULL or "" discards the waiting number. At most 127 characters are kept. */
TVCSIM_API int32_t TvcSimSetCallerId(int32_t ch, const char *number);
/* Appends received digits; only 0-9 * # A-D are accepted (else TVCSIM_E_ARG). */
TVCSIM_API int32_t TvcSimPushDtmf(int32_t ch, const char *digits);
TVCSIM_API int32_t TvcSimSetSound(int32_t ch, int32_t sound);
TVCSIM_API int32_t TvcSimSetToneResult(int32_t ch, int32_t result);
TVCSIM_API int32_t TvcSimSetFreqFlag(int32_t ch, int32_t flag);

/* ---- trunk caller and station phone ---- */

/* A caller rings the channel (a trunk): state 3, the number waiting as caller
 * ID (NULL or "": the caller-ID buffer is left as it is; at most 127
 * characters), ring count 1 now and one more every ring_every_ms (0: 4000) of
 * board time. After `rings` rings (0: no limit) unanswered the caller gives
 * up one period later; TvcPickUp answers. A new call replaces one ringing. */
TVCSIM_API int32_t TvcSimIncomingCall(int32_t ch, const char *number, int32_t rings,
                                      int32_t ring_every_ms);
/* The far end hangs up. Before the channel is picked up: ringing ends, ring
 * count 0, state 0, caller number discarded. While picked up: state 9 and one
 * more busy-tone cadence. TVCSIM_E_STATE when no call is there to end. */
TVCSIM_API int32_t TvcSimCallerHangUp(int32_t ch);
/* The station phone lifts itself (state 1) ms of board time after
 * TvcStartRingEx starts it ringing; -1 (the default) never. Set while the
 * phone rings, it counts from now. 0..86400000 or -1. */
TVCSIM_API int32_t TvcSimSetAutoAnswer(int32_t ch, int32_t ms);

/* ---- dialling out: the line and the far end (see above) ---- */

/* While tone analysis runs, the channel reports `tone` (TVCSIM_TONE_DIAL or
 * TVCSIM_TONE_BUSY) once it has been off hook for after_ms; -1 removes the
 * plan (tone is then ignored). 0..86400000 or -1. */
TVCSIM_API int32_t TvcSimSetLineTone(int32_t ch, int32_t after_ms, int32_t tone);
/* The numbers dialled on the channel reach a fax machine that answers
 * answer_after_ms after the last digit: the frequency-detector flag turns 1.
 * -1: no fax machine (nobody in particular answers). 0..86400000 or -1. */
TVCSIM_API int32_t TvcSimSetFarFax(int32_t ch, int32_t answer_after_ms);
/* 1: the numbers dialled are busy, a busy-tone cadence every 500 ms after the
 * last digit; 0: nobody in particular answers. Replaces a far fax machine. */
TVCSIM_API int32_t TvcSimSetFarBusy(int32_t ch, int32_t busy);

/* ---- playback and fax engine ---- */

/* Playback length of a file. By default (and after a rate of 0) it is the
 * length of its audio: a RIFF/WAVE file plays for its data chunk at the
 * byte rate of its fmt chunk, any other file is taken as the board's IMA
 * ADPCM, 63 ms for every started 256-byte block. A positive rate makes every
 * file play for size / bytes_per_second instead. */
TVCSIM_API int32_t TvcSimSetPlayRate(int32_t bytes_per_second);
/* Ends the channel's playback now. */
TVCSIM_API int32_t TvcSimFinishPlay(int32_t ch);
/* How the next fax operations on a (fax) channel end: after duration_ms of
 * board time with end status 1 or 2, whatever the file's size. duration_ms -1
 * goes back to the default (a send by its file's size, a reception 5000 ms,
 * status 1; end_status is then ignored). */
TVCSIM_API int32_t TvcSimSetFaxPlan(int32_t ch, int32_t duration_ms, int32_t end_status);
/* File copied into the receive path when a reception ends with status 1;
 * NULL: the receive path is left untouched. */
TVCSIM_API int32_t TvcSimSetFaxReceiveSource(int32_t ch, const char *path);
/* Ends the running fax operation now with the given status (1 or 2). */
TVCSIM_API int32_t TvcSimFinishFax(int32_t ch, int32_t end_status);

/* ---- audio sources of recording ---- */

TVCSIM_API int32_t TvcSimSetAudioSilence(int32_t ch);
TVCSIM_API int32_t TvcSimSetAudioTone(int32_t ch, int32_t frequency_hz, int32_t amplitude);
/* 16-bit 8000 Hz mono PCM WAV; loop nonzero repeats it, else silence after.
 * TVCSIM_E_IO, TVCSIM_E_FORMAT or TVCSIM_E_UNSUPPORTED leave the source as it was. */
TVCSIM_API int32_t TvcSimSetAudioWav(int32_t ch, const char *path, int32_t loop);
/* Samples copied from memory, 8000 Hz. */
TVCSIM_API int32_t TvcSimSetAudioSamples(int32_t ch, const int16_t *samples, int32_t count,
                                         int32_t loop);

/* ---- time ---- */

TVCSIM_API int32_t TvcSimSetTimeScale(int32_t percent); /* 0..100000 */
TVCSIM_API int32_t TvcSimGetTimeScale(void);
TVCSIM_API int64_t TvcSimGetBoardTime(void); /* milliseconds */
/* Moves the board clock forward by ms (0..86400000) and fires due events. */
TVCSIM_API int32_t TvcSimAdvance(int32_t ms);

/* ---- recording delivery ---- */

/* Delivers up to count full buffers of the channel now, oldest armed first,
 * on the board's delivery thread, and waits until they were delivered.
 * Returns how many were delivered (fewer when the library did not re-arm).
 * Called from inside a record callback it only queues the request and
 * returns 0: the buffers follow once the callback has returned. */
TVCSIM_API int32_t TvcSimDeliver(int32_t ch, int32_t count);
/* Delivers one buffer reporting `last` (0..2559) as the offset of the last
 * byte written; 2559 is a full buffer. Same threading as TvcSimDeliver. */
TVCSIM_API int32_t TvcSimDeliverPartial(int32_t ch, int32_t last);
TVCSIM_API int32_t TvcSimGetDelivered(int32_t ch, int32_t *full, int32_t *partial);
/* Number of record buffers armed on the channel (0 = not recording). */
TVCSIM_API int32_t TvcSimGetArmedCount(int32_t ch);
/* Appends a copy of every full buffer delivered on the channel to the file;
 * NULL or "" stops the tap. */
TVCSIM_API int32_t TvcSimSetTapPath(int32_t ch, const char *path);

/* ---- scripts ---- */

/* Parses a script (language above) and keeps it ready; it replaces any
 * earlier script, running or not. On error returns TVCSIM_E_PARSE (or the
 * WAV error) and writes "line N: reason" into error (may be NULL). */
TVCSIM_API int32_t TvcSimLoadScript(const char *text, char *error, int32_t error_size);
TVCSIM_API int32_t TvcSimLoadScriptFile(const char *path, char *error, int32_t error_size);
/* Starts the loaded script at the current board time; returns the number of
 * events, or TVCSIM_E_STATE when no script is loaded. */
TVCSIM_API int32_t TvcSimStartScript(void);
TVCSIM_API void TvcSimStopScript(void);
/* Events of the started script that have not fired yet. */
TVCSIM_API int32_t TvcSimGetPendingEvents(void);

/* ---- call log ----
 * Every driver entry point call adds one line: its name and arguments in
 * call order, e.g. TvcGetChType(3) or TvcStartPlayFile(2,"/x/y.dat",1,0,0).
 * Integers are decimal, addresses 0x-hex, texts in double quotes with \\, \"
 * and \xNN escapes, null pointers NULL. The newest `capacity` entries are
 * kept (default 100000). */

TVCSIM_API void TvcSimSetCallLogEnabled(int32_t on);
TVCSIM_API int32_t TvcSimSetCallLogCapacity(int32_t capacity); /* 1..10000000 */
TVCSIM_API void TvcSimClearCallLog(void);
/* Number of entries kept. */
TVCSIM_API int32_t TvcSimGetCallLogCount(void);
/* All kept entries, oldest first, one per line ending in '\n'. */
TVCSIM_API int32_t TvcSimGetCallLog(char *buffer, int32_t size);
/* Entry `index` (0 = oldest kept) without a line end. */
TVCSIM_API int32_t TvcSimGetCallLogLine(int32_t index, char *buffer, int32_t size);
/* Calls of an entry point since the last clear (counted even after the entry
 * left the bounded log). */
TVCSIM_API int32_t TvcSimCountCalls(const char *name);
/* Kept entries of `name` whose first argument is ch. */
TVCSIM_API int32_t TvcSimCountCallsOnChannel(const char *name, int32_t ch);

/* ---- what the library did ---- */

TVCSIM_API int32_t TvcSimGetChannelInfo(int32_t ch, TvcSimChannelInfo *info);
/* 1 while the channel (a user phone) rings, 0 if not, TVCSIM_E_ARG. */
TVCSIM_API int32_t TvcSimIsRinging(int32_t ch);
/* Number presented by the last TvcStartRingEx of the channel. */
TVCSIM_API int32_t TvcSimGetRingNumber(int32_t ch, char *buffer, int32_t size);
/* Digits dialled with TvcDialOut since the channel was last picked up. */
TVCSIM_API int32_t TvcSimGetDialled(int32_t ch, char *buffer, int32_t size);
/* Text of the last TvcDialOut call. */
TVCSIM_API int32_t TvcSimGetLastDial(int32_t ch, char *buffer, int32_t size);
/* Channel linked with ch; -1 when not linked or no such channel. */
TVCSIM_API int32_t TvcSimGetLink(int32_t ch);
/* Path of the file playing now ("" when nothing plays). */
TVCSIM_API int32_t TvcSimGetPlaying(int32_t ch, char *buffer, int32_t size);
/* Path given to the last TvcStartRxFax / TvcStartTxFax of the channel. */
TVCSIM_API int32_t TvcSimGetFaxPath(int32_t ch, char *buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* TALO_TVCSIM_H */

// The driver entry points the library calls, as the capture board answers them.
//
// A passive tap hears calls; it cannot place, answer, play to or hang up one: those entries
// refuse with -1, the stops and clears succeed, and the queries answer "nothing running".
// A channel number outside the board answers -1 (TvcGetChType: 255). No exception leaves
// an entry point.
#include <algorithm>
#include <cstring>
#include <string>

#include "talo/tvcdrv.h"
#include "voip_board.h"

namespace {

using talo::voip::Line;
using talo::voip::VoipBoard;

constexpr int32_t kBad = -1;

VoipBoard &B() { return VoipBoard::Instance(); }

template <typename F>
int32_t Guarded(F &&f) noexcept {
  try {
    return f();
  } catch (...) {
    return kBad;
  }
}

// A line query or change.
template <typename F>
int32_t OnLine(int32_t ch, F &&f) noexcept {
  return Guarded([&] { return B().OnLine(ch, kBad, f); });
}

// Accepted on any line, changing nothing.
int32_t Accepted(int32_t ch) noexcept {
  return OnLine(ch, [](Line &) { return 0; });
}

// What a passive tap cannot do.
int32_t Refused(int32_t) noexcept { return kBad; }

// Copies at most max_chars characters and a zero byte, taking them from the text.
int32_t TakeText(std::string &text, char *buffer, int32_t max_chars, bool consume) {
  if (!buffer || max_chars <= 0) return 0;
  const size_t n = std::min(text.size(), static_cast<size_t>(max_chars));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  if (consume) text.erase(0, n);
  return static_cast<int32_t>(n);
}

}  // namespace

// The library binds these by name: they must be seen whatever the build's default visibility.
#pragma GCC visibility push(default)
extern "C" {

int32_t TvcStartDualBuffRecordC(int32_t ch, int32_t format, void *buffer, int32_t size,
                                TvcRecordCallback callback, void *context) {
  return Guarded([&] {
    // Only what the library asks for is recorded: IMA ADPCM into 2560-byte buffers.
    if (format != TVC_RECORD_FORMAT_IMA_ADPCM || size != TVC_RECORD_BUFFER_SIZE || !buffer || !callback)
      return kBad;
    return B().Arm(ch, buffer, callback, context);
  });
}

int32_t TvcLoadDrvA(void) {
  return Guarded([] { return B().Load(); });
}

int32_t TvcFreeDrv(void) {
  return Guarded([] {
    B().Free();
    return 0;
  });
}

int32_t TvcGetDrvInfo(TvcDrvInfo *info) {
  return Guarded([&] {
    const int32_t total = B().ChannelCount();
    if (!info || total < 0) return kBad;
    std::memset(info, 0, sizeof *info);
    info->channel_total = static_cast<int16_t>(total);
    info->board_count = 1;
    return 0;
  });
}

int32_t TvcGetChType(int32_t ch) {
  const int32_t type = OnLine(ch, [](Line &) { return TVC_CHTYPE_LINE; });
  return type == kBad ? TVC_CHTYPE_NONE : type;
}

int32_t TvcGetDtmfStr(int32_t ch, char *buffer, int32_t max_digits, int32_t) {
  return OnLine(ch, [&](Line &l) { return TakeText(l.digits, buffer, max_digits, true); });
}

int32_t TvcClrRxDtmfBuf(int32_t ch) {
  return OnLine(ch, [](Line &l) {
    l.digits.clear();
    return 0;
  });
}

int32_t TvcGetChState(int32_t ch) {
  return OnLine(ch, [](Line &l) { return l.state; });
}

int32_t TvcGetRingCount(int32_t ch) {
  return OnLine(ch, [](Line &l) { return l.ring_count; });
}

int32_t TvcClearRingCount(int32_t ch) {
  return OnLine(ch, [](Line &l) {
    l.ring_count = 0;
    return 0;
  });
}

int32_t TvcGetCallerId(int32_t ch, char *buffer, int32_t max_chars) {
  return OnLine(ch, [&](Line &l) { return TakeText(l.caller_id, buffer, max_chars, false); });
}

int32_t TvcClrCallerIdBuf(int32_t ch) {
  return OnLine(ch, [](Line &l) {
    l.caller_id.clear();
    return 0;
  });
}

int32_t TvcIsSound(int32_t ch) {
  return Guarded([&] { return B().IsSound(ch); });
}

int32_t TvcSetNoSoundDtrTime(int32_t ch, int32_t ms) {
  return Guarded([&] { return B().SetNoSoundMs(ch, ms); });
}

int32_t TvcStopRecord(int32_t ch) {
  return Guarded([&] { return B().StopRecord(ch); });
}

// Settings a tap has no use for, and counters of signals a tap never sees.
int32_t TvcSetRecAgc(int32_t ch, int32_t) { return Accepted(ch); }
int32_t TvcSetRecVol(int32_t ch, int32_t) { return Accepted(ch); }
int32_t TvcRecPlayVoiceVol(int32_t ch, int32_t) { return Accepted(ch); }
int32_t TvcSetBargeInSensitive(int32_t ch, int32_t) { return Accepted(ch); }
int32_t TvcGetBusyCount(int32_t ch) { return Accepted(ch); }
int32_t TvcClearBusyCount(int32_t ch) { return Accepted(ch); }
int32_t TvcGetPolarCount(int32_t ch) { return Accepted(ch); }
int32_t TvcClearPolarCount(int32_t ch) { return Accepted(ch); }
int32_t TvcGetFlashCount(int32_t ch) { return Accepted(ch); }
int32_t TvcClearFlashCount(int32_t ch) { return Accepted(ch); }

// Nothing ever plays, analyses, detects or sends a fax here: stopping succeeds, asking
// answers "not running".
int32_t TvcStopPlay(int32_t ch) { return Accepted(ch); }
int32_t TvcClearFileList(int32_t ch) { return Accepted(ch); }
int32_t TvcClearLinkWith(int32_t ch) { return Accepted(ch); }
int32_t TvcCloseToneAnalyze(int32_t ch) { return Accepted(ch); }
int32_t TvcStopRing(int32_t ch) { return Accepted(ch); }
int32_t TvcStopSpecFreqDetector(int32_t ch) { return Accepted(ch); }
int32_t TvcGetPlayStat(int32_t ch) { return Accepted(ch); }
int32_t TvcGetToneAnalyzeResult(int32_t ch) { return Accepted(ch); }
int32_t TvcGetFaxState(int32_t ch) { return Accepted(ch); }
int32_t TvcGetFaxIsEnd(int32_t ch) { return Accepted(ch); }
int32_t TvcGetSpecFreqDetectFlag(int32_t ch) { return Accepted(ch); }

int32_t TvcStartSendTone(int32_t ch, int32_t, int32_t, int32_t) { return Refused(ch); }
int32_t TvcPickUp(int32_t ch) { return Refused(ch); }
int32_t TvcHangUp(int32_t ch) { return Refused(ch); }
int32_t TvcStartPlayFile(int32_t ch, const char *, int32_t, int32_t, int32_t) { return Refused(ch); }
int32_t TvcAppendFileToList(int32_t ch, const char *, int32_t, int32_t) { return Refused(ch); }
int32_t TvcSTartPlayFileList(int32_t ch) { return Refused(ch); }
int32_t TvcSendFlash(int32_t ch) { return Refused(ch); }
int32_t TvcSetLinkWith(int32_t ch, int32_t, int32_t, int32_t) { return Refused(ch); }
int32_t TvcDialOut(int32_t ch, const char *, int32_t, int32_t, int32_t) { return Refused(ch); }
int32_t TvcStartToneAnalyze(int32_t ch) { return Refused(ch); }
int32_t TvcStartRingEx(int32_t ch, const char *) { return Refused(ch); }
int32_t TvcStartRxFax(int32_t ch, const char *) { return Refused(ch); }
int32_t TvcStartTxFax(int32_t ch, const char *) { return Refused(ch); }
int32_t TvcStartSpecFreqDetector(int32_t ch, int32_t, int32_t) { return Refused(ch); }

// The board's counters as a JSON object, for operators and tests: returns the length, or
// -1 when the buffer is missing or too small.
int32_t TvcVoipGetStats(char *buffer, int32_t size) {
  return Guarded([&] {
    const std::string json = B().StatsJson();
    if (!buffer || size <= 0 || json.size() + 1 > static_cast<size_t>(size)) return kBad;
    std::memcpy(buffer, json.c_str(), json.size() + 1);
    return static_cast<int32_t>(json.size());
  });
}

}  // extern "C"
#pragma GCC visibility pop

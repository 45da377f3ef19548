// The driver entry points the library calls, as the simulated board implements them.
//
// Every call is logged, then served under the board lock; with the call log off, the
// polling queries may be answered from the channel's view instead (board.h). A channel
// number outside the board answers -1 (TvcGetChType: 255, "no channel"). No exception
// leaves an entry point.
#include <algorithm>
#include <cstring>

#include "board.h"
#include "tvcsim.h"

namespace {

using tvcsim::Board;
using tvcsim::Channel;
using tvcsim::EntryId;
using tvcsim::Int;
using tvcsim::Ptr;
using tvcsim::Text;

constexpr int32_t kBad = -1;
constexpr size_t kMaxPlayList = 4096;

Board& B() { return tvcsim::TheBoard(); }

template <typename F>
int32_t Guarded(int32_t on_error, F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return on_error;
  }
}

// Logs the call, finds the channel and runs f on it; kBad for a channel not on the board.
template <typename F>
int32_t OnChannel(EntryId id, std::initializer_list<tvcsim::LogArg> args, int32_t ch, F&& f) {
  return Guarded(kBad, [&]() -> int32_t {
    auto lk = B().Enter(id, args);
    Channel* c = B().Find(ch);
    if (!c) return kBad;
    B().Refresh(*c);
    return f(*c);
  });
}

// A polling query: read from the channel's view when that answers what the locked call
// would, else served under the lock like any other call.
template <typename Read>
int32_t Polled(EntryId id, int32_t ch, Read&& read) {
  return Guarded(kBad, [&]() -> int32_t {
    if (const tvcsim::ChannelView* view = B().QuietView(ch)) return read(*view);
    return OnChannel(id, {Int(ch)}, ch, [&](Channel& c) { return read(c); });
  });
}

// Copies at most max_chars characters and a zero byte; returns the count copied.
int32_t CopyOut(const std::string& text, char* buffer, int32_t max_chars) {
  if (!buffer || max_chars <= 0) return 0;
  const size_t n = std::min(text.size(), static_cast<size_t>(max_chars));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

int32_t StartPlayback(Board& b, Channel& c, std::vector<tvcsim::PlayItem> items) {
  if (items.empty()) return kBad;
  int64_t total = 0;
  for (const auto& item : items) total += item.duration_ms;
  c.playback.active = true;
  c.playback.items = std::move(items);
  c.playback.start_ms = b.NowMs();
  c.playback.end_ms = c.playback.start_ms + total;
  ++c.plays_started;
  b.Refresh(c);  // an empty file ends at once
  return 0;
}

// A file plays as long as its audio lasts; a missing one cannot play.
bool PlayItemFor(const Board& b, const char* path, tvcsim::PlayItem* item) {
  const std::string p = tvcsim::HostPath(path);
  const int64_t length = tvcsim::PlayLengthMs(p, b.play_bytes_per_second);
  if (length < 0) return false;
  item->path = p;
  item->duration_ms = length;
  return true;
}

}  // namespace

extern "C" {

TVCSIM_API int32_t TvcStartDualBuffRecordC(int32_t ch, int32_t format, void* buffer, int32_t size,
                                           TvcRecordCallback callback, void* context) {
  return Guarded(kBad, [&]() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcStartDualBuffRecordC,
                        {Int(ch), Int(format), Ptr(buffer), Int(size),
                         Ptr(reinterpret_cast<const void*>(callback)), Ptr(context)});
    // The board records only what the library asks for: IMA ADPCM into 2560-byte buffers.
    if (format != TVC_RECORD_FORMAT_IMA_ADPCM || size != TVC_RECORD_BUFFER_SIZE || !buffer ||
        !callback) {
      return kBad;
    }
    return B().Arm(ch, tvcsim::ArmedBuffer{buffer, callback, context});
  });
}

TVCSIM_API int32_t TvcLoadDrvA(void) {
  return Guarded(kBad, []() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcLoadDrvA, {});
    B().loaded = B().load_result == 0;
    return B().load_result;
  });
}

TVCSIM_API int32_t TvcFreeDrv(void) {
  return Guarded(kBad, []() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcFreeDrv, {});
    B().StopAllRecording(lk);
    B().loaded = false;
    return 0;
  });
}

TVCSIM_API int32_t TvcGetDrvInfo(TvcDrvInfo* info) {
  return Guarded(kBad, [&]() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcGetDrvInfo, {Ptr(info)});
    if (!info) return kBad;
    std::memset(info, 0, sizeof *info);
    info->channel_total = static_cast<int16_t>(B().channel_total());
    info->board_count = static_cast<uint8_t>(B().board_count);
    return 0;
  });
}

TVCSIM_API int32_t TvcGetChType(int32_t ch) {
  return Guarded(TVC_CHTYPE_NONE, [&]() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcGetChType, {Int(ch)});
    Channel* c = B().Find(ch);
    return c ? c->type : TVC_CHTYPE_NONE;
  });
}

TVCSIM_API int32_t TvcGetDtmfStr(int32_t ch, char* buffer, int32_t max_digits, int32_t flag) {
  // Taking digits changes the channel; only "none waiting" is answered from the view.
  if (const tvcsim::ChannelView* view = B().QuietView(ch);
      view && view->dtmf_empty.load(std::memory_order_relaxed)) {
    return CopyOut(std::string(), buffer, max_digits);
  }
  return OnChannel(EntryId::kTvcGetDtmfStr, {Int(ch), Ptr(buffer), Int(max_digits), Int(flag)},
                   ch, [&](Channel& c) {
                     const int32_t n = CopyOut(c.dtmf, buffer, max_digits);
                     c.dtmf.erase(0, static_cast<size_t>(n));
                     return n;
                   });
}

TVCSIM_API int32_t TvcClrRxDtmfBuf(int32_t ch) {
  return OnChannel(EntryId::kTvcClrRxDtmfBuf, {Int(ch)}, ch, [](Channel& c) {
    c.dtmf.clear();
    return 0;
  });
}

TVCSIM_API int32_t TvcStartSendTone(int32_t ch, int32_t tone, int32_t arg3, int32_t arg4) {
  return OnChannel(EntryId::kTvcStartSendTone, {Int(ch), Int(tone), Int(arg3), Int(arg4)}, ch,
                   [&](Channel& c) {
                     c.last_tone = tone;
                     ++c.tones_sent;
                     return 0;
                   });
}

TVCSIM_API int32_t TvcGetBusyCount(int32_t ch) {
  return Polled(EntryId::kTvcGetBusyCount, ch, [](const auto& c) -> int32_t { return c.busy_count; });
}

TVCSIM_API int32_t TvcClearBusyCount(int32_t ch) {
  return OnChannel(EntryId::kTvcClearBusyCount, {Int(ch)}, ch, [](Channel& c) {
    c.busy_count = 0;
    return 0;
  });
}

TVCSIM_API int32_t TvcPickUp(int32_t ch) {
  return OnChannel(EntryId::kTvcPickUp, {Int(ch)}, ch, [](Channel& c) {
    Board::PickUp(c, B().NowMs());
    return 0;
  });
}

TVCSIM_API int32_t TvcHangUp(int32_t ch) {
  return OnChannel(EntryId::kTvcHangUp, {Int(ch)}, ch, [](Channel& c) {
    Board::HangUp(c);
    return 0;
  });
}

TVCSIM_API int32_t TvcGetChState(int32_t ch) {
  return Polled(EntryId::kTvcGetChState, ch, [](const auto& c) -> int32_t { return c.state; });
}

TVCSIM_API int32_t TvcGetRingCount(int32_t ch) {
  return Polled(EntryId::kTvcGetRingCount, ch, [](const auto& c) -> int32_t { return c.ring_count; });
}

TVCSIM_API int32_t TvcClearRingCount(int32_t ch) {
  return OnChannel(EntryId::kTvcClearRingCount, {Int(ch)}, ch, [](Channel& c) {
    c.ring_count = 0;
    return 0;
  });
}

TVCSIM_API int32_t TvcIsSound(int32_t ch) {
  return Polled(EntryId::kTvcIsSound, ch, [](const auto& c) -> int32_t { return c.sound; });
}

TVCSIM_API int32_t TvcSetNoSoundDtrTime(int32_t ch, int32_t ms) {
  return OnChannel(EntryId::kTvcSetNoSoundDtrTime, {Int(ch), Int(ms)}, ch, [&](Channel& c) {
    c.no_sound_ms = ms;
    return 0;
  });
}

TVCSIM_API int32_t TvcSetBargeInSensitive(int32_t ch, int32_t level) {
  return OnChannel(EntryId::kTvcSetBargeInSensitive, {Int(ch), Int(level)}, ch, [&](Channel& c) {
    c.barge_in_level = level;
    return 0;
  });
}

TVCSIM_API int32_t TvcGetPolarCount(int32_t ch) {
  return Polled(EntryId::kTvcGetPolarCount, ch,
                [](const auto& c) -> int32_t { return c.polarity_count; });
}

TVCSIM_API int32_t TvcClearPolarCount(int32_t ch) {
  return OnChannel(EntryId::kTvcClearPolarCount, {Int(ch)}, ch, [](Channel& c) {
    c.polarity_count = 0;
    return 0;
  });
}

TVCSIM_API int32_t TvcGetCallerId(int32_t ch, char* buffer, int32_t max_chars) {
  // With no number waiting the buffer gets an empty text, so no older number survives.
  return OnChannel(EntryId::kTvcGetCallerId, {Int(ch), Ptr(buffer), Int(max_chars)}, ch,
                   [&](Channel& c) { return CopyOut(c.caller_id, buffer, max_chars); });
}

TVCSIM_API int32_t TvcClrCallerIdBuf(int32_t ch) {
  return OnChannel(EntryId::kTvcClrCallerIdBuf, {Int(ch)}, ch, [](Channel& c) {
    c.caller_id.clear();
    return 0;
  });
}

TVCSIM_API int32_t TvcStopRecord(int32_t ch) {
  return Guarded(kBad, [&]() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcStopRecord, {Int(ch)});
    if (!B().Find(ch)) return kBad;
    B().StopRecording(lk, ch);
    return 0;
  });
}

TVCSIM_API int32_t TvcSetRecAgc(int32_t ch, int32_t on) {
  return OnChannel(EntryId::kTvcSetRecAgc, {Int(ch), Int(on)}, ch, [&](Channel& c) {
    c.rec_agc = on;
    return 0;
  });
}

TVCSIM_API int32_t TvcSetRecVol(int32_t ch, int32_t volume) {
  return OnChannel(EntryId::kTvcSetRecVol, {Int(ch), Int(volume)}, ch, [&](Channel& c) {
    c.rec_volume = volume;
    return 0;
  });
}

TVCSIM_API int32_t TvcStartPlayFile(int32_t ch, const char* path, int32_t arg3, int32_t arg4,
                                    int32_t arg5) {
  return OnChannel(EntryId::kTvcStartPlayFile, {Int(ch), Text(path), Int(arg3), Int(arg4), Int(arg5)},
                   ch, [&](Channel& c) {
                     tvcsim::PlayItem item;
                     if (!PlayItemFor(B(), path, &item)) return kBad;
                     return StartPlayback(B(), c, {item});
                   });
}

TVCSIM_API int32_t TvcGetPlayStat(int32_t ch) {
  return OnChannel(EntryId::kTvcGetPlayStat, {Int(ch)}, ch,
                   [](Channel& c) { return c.playback.active ? 1 : 0; });
}

TVCSIM_API int32_t TvcStopPlay(int32_t ch) {
  return OnChannel(EntryId::kTvcStopPlay, {Int(ch)}, ch, [](Channel& c) {
    c.playback.active = false;
    return 0;
  });
}

TVCSIM_API int32_t TvcAppendFileToList(int32_t ch, const char* path, int32_t arg3, int32_t arg4) {
  return OnChannel(EntryId::kTvcAppendFileToList, {Int(ch), Text(path), Int(arg3), Int(arg4)}, ch,
                   [&](Channel& c) {
                     if (!path || c.play_list.size() >= kMaxPlayList) return kBad;
                     c.play_list.push_back(tvcsim::HostPath(path));
                     return 0;
                   });
}

TVCSIM_API int32_t TvcClearFileList(int32_t ch) {
  return OnChannel(EntryId::kTvcClearFileList, {Int(ch)}, ch, [](Channel& c) {
    c.play_list.clear();
    return 0;
  });
}

TVCSIM_API int32_t TvcSTartPlayFileList(int32_t ch) {
  // Files of the list that do not exist are skipped; a list with nothing playable fails.
  return OnChannel(EntryId::kTvcSTartPlayFileList, {Int(ch)}, ch, [](Channel& c) {
    std::vector<tvcsim::PlayItem> items;
    for (const std::string& path : c.play_list) {
      tvcsim::PlayItem item;
      if (PlayItemFor(B(), path.c_str(), &item)) items.push_back(std::move(item));
    }
    return StartPlayback(B(), c, std::move(items));
  });
}

TVCSIM_API int32_t TvcSendFlash(int32_t ch) {
  return OnChannel(EntryId::kTvcSendFlash, {Int(ch)}, ch, [](Channel& c) {
    ++c.flashes_sent;
    return 0;
  });
}

TVCSIM_API int32_t TvcSetLinkWith(int32_t ch1, int32_t arg2, int32_t ch2, int32_t arg4) {
  return Guarded(kBad, [&]() -> int32_t {
    auto lk = B().Enter(EntryId::kTvcSetLinkWith, {Int(ch1), Int(arg2), Int(ch2), Int(arg4)});
    Channel* a = B().Find(ch1);
    Channel* b = B().Find(ch2);
    if (!a || !b || ch1 == ch2) return kBad;
    // A channel is linked with one other at a time: earlier links of either end go.
    for (Channel* c : {a, b}) {
      if (Channel* old = B().Find(c->link)) old->link = -1;
      c->link = -1;
    }
    a->link = ch2;
    b->link = ch1;
    return 0;
  });
}

TVCSIM_API int32_t TvcClearLinkWith(int32_t ch) {
  return OnChannel(EntryId::kTvcClearLinkWith, {Int(ch)}, ch, [](Channel& c) {
    if (Channel* other = B().Find(c.link)) other->link = -1;
    c.link = -1;
    return 0;
  });
}

TVCSIM_API int32_t TvcDialOut(int32_t ch, const char* digits, int32_t arg3, int32_t arg4,
                              int32_t arg5) {
  return OnChannel(EntryId::kTvcDialOut, {Int(ch), Text(digits), Int(arg3), Int(arg4), Int(arg5)},
                   ch, [&](Channel& c) {
                     if (!digits) return kBad;
                     Board::DialOut(c, digits, B().NowMs());
                     B().Refresh(c);  // a far end acting after 0 ms does so at once
                     return 0;
                   });
}

TVCSIM_API int32_t TvcRecPlayVoiceVol(int32_t ch, int32_t volume) {
  return OnChannel(EntryId::kTvcRecPlayVoiceVol, {Int(ch), Int(volume)}, ch, [&](Channel& c) {
    c.play_volume = volume;
    return 0;
  });
}

TVCSIM_API int32_t TvcStartToneAnalyze(int32_t ch) {
  return OnChannel(EntryId::kTvcStartToneAnalyze, {Int(ch)}, ch, [](Channel& c) {
    c.tone_analyzing = true;
    return 0;
  });
}

TVCSIM_API int32_t TvcCloseToneAnalyze(int32_t ch) {
  return OnChannel(EntryId::kTvcCloseToneAnalyze, {Int(ch)}, ch, [](Channel& c) {
    c.tone_analyzing = false;
    return 0;
  });
}

TVCSIM_API int32_t TvcGetToneAnalyzeResult(int32_t ch) {
  // Nothing is analysed unless analysis was started.
  return OnChannel(EntryId::kTvcGetToneAnalyzeResult, {Int(ch)}, ch, [](Channel& c) {
    return c.tone_analyzing ? Board::ToneHeard(c, B().NowMs()) : 0;
  });
}

TVCSIM_API int32_t TvcStopRing(int32_t ch) {
  return OnChannel(EntryId::kTvcStopRing, {Int(ch)}, ch, [](Channel& c) {
    c.ringing = false;
    return 0;
  });
}

TVCSIM_API int32_t TvcGetFlashCount(int32_t ch) {
  return Polled(EntryId::kTvcGetFlashCount, ch, [](const auto& c) -> int32_t { return c.flash_count; });
}

TVCSIM_API int32_t TvcClearFlashCount(int32_t ch) {
  return OnChannel(EntryId::kTvcClearFlashCount, {Int(ch)}, ch, [](Channel& c) {
    c.flash_count = 0;
    return 0;
  });
}

TVCSIM_API int32_t TvcStartRingEx(int32_t ch, const char* number) {
  return OnChannel(EntryId::kTvcStartRingEx, {Int(ch), Text(number)}, ch, [&](Channel& c) {
    Board::StartRinging(c, number ? std::string(number, strnlen(number, 127)) : std::string(),
                        B().NowMs());
    B().Refresh(c);  // a station answering after 0 ms is lifted at once
    return 0;
  });
}

TVCSIM_API int32_t TvcStartRxFax(int32_t ch, const char* path) {
  return OnChannel(EntryId::kTvcStartRxFax, {Int(ch), Text(path)}, ch, [&](Channel& c) {
    if (!path || !*path) return kBad;
    return B().StartFax(c, TVCSIM_FAX_RECEIVE, tvcsim::HostPath(path), B().NowMs());
  });
}

TVCSIM_API int32_t TvcStartTxFax(int32_t ch, const char* path) {
  return OnChannel(EntryId::kTvcStartTxFax, {Int(ch), Text(path)}, ch, [&](Channel& c) {
    return B().StartFax(c, TVCSIM_FAX_SEND, tvcsim::HostPath(path), B().NowMs());
  });
}

TVCSIM_API int32_t TvcGetFaxState(int32_t ch) {
  return OnChannel(EntryId::kTvcGetFaxState, {Int(ch)}, ch,
                   [](Channel& c) { return c.fax.running ? 1 : 0; });
}

TVCSIM_API int32_t TvcGetFaxIsEnd(int32_t ch) {
  return OnChannel(EntryId::kTvcGetFaxIsEnd, {Int(ch)}, ch,
                   [](Channel& c) { return c.fax.end_status; });
}

TVCSIM_API int32_t TvcGetSpecFreqDetectFlag(int32_t ch) {
  return OnChannel(EntryId::kTvcGetSpecFreqDetectFlag, {Int(ch)}, ch,
                   [](Channel& c) { return c.freq_detecting ? Board::FreqFlagHeard(c) : 0; });
}

TVCSIM_API int32_t TvcStartSpecFreqDetector(int32_t ch, int32_t frequency, int32_t arg3) {
  return OnChannel(EntryId::kTvcStartSpecFreqDetector, {Int(ch), Int(frequency), Int(arg3)}, ch,
                   [&](Channel& c) {
                     c.freq_detecting = true;
                     c.freq_detector_hz = frequency;
                     return 0;
                   });
}

TVCSIM_API int32_t TvcStopSpecFreqDetector(int32_t ch) {
  return OnChannel(EntryId::kTvcStopSpecFreqDetector, {Int(ch)}, ch, [](Channel& c) {
    c.freq_detecting = false;
    return 0;
  });
}

}  // extern "C"

// Every called entry point above must match the header's prototype exactly.
#define TVCSIM_CHECK_SIGNATURE_(name, params) \
  static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name " signature");
TVCDRV_CALLED_ENTRIES(TVCSIM_CHECK_SIGNATURE_)
#undef TVCSIM_CHECK_SIGNATURE_

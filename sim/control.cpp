// The board's control API (tvcsim.h): setting up lines and audio, driving time, and
// looking at what the library did. Control calls are not entered in the call log.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "board.h"
#include "script.h"
#include "tvcsim.h"

namespace {

using tvcsim::Board;
using tvcsim::Channel;

Board& B() { return tvcsim::TheBoard(); }

template <typename F>
int32_t Guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return TVCSIM_E_STATE;
  }
}

template <typename F>
int32_t OnChannel(int32_t ch, F&& f) {
  return Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    Channel* c = B().Find(ch);
    if (!c) return TVCSIM_E_ARG;
    B().Refresh(*c);
    return f(*c);
  });
}

// snprintf-like: writes what fits with a zero byte, returns the full length.
int32_t CopyText(const std::string& text, char* buffer, int32_t size) {
  if (buffer && size > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
}

// Rings still to come before the caller gives up: -1 without a limit, 0 when nobody rings.
int32_t RingsLeft(const tvcsim::Caller& k) {
  if (!k.ringing) return 0;
  if (k.rings == 0) return -1;
  return static_cast<int32_t>(k.rings - k.rung);
}

void SetError(const std::string& why, char* error, int32_t size) { CopyText(why, error, size); }

int32_t LoadScriptText(const std::string& text, const std::string& base_dir, char* error,
                       int32_t error_size) {
  int32_t total = 0;
  {
    auto lk = B().Lock();
    total = B().channel_total();
  }
  // WAV files are read outside the board lock.
  std::vector<tvcsim::ScriptEvent> events;
  std::string why;
  const int32_t rc = tvcsim::ParseScript(text, total, base_dir, &events, &why);
  if (rc != TVCSIM_OK) {
    SetError(why, error, error_size);
    return rc;
  }
  SetError("", error, error_size);
  auto lk = B().Lock();
  B().LoadScript(std::move(events));
  return TVCSIM_OK;
}

}  // namespace

extern "C" {

// ---- configuration ----

TVCSIM_API void TvcSimReset(void) {
  Guarded([]() -> int32_t {
    auto lk = B().Lock();
    B().Reset(lk);
    return 0;
  });
}

TVCSIM_API int32_t TvcSimSetChannelTotal(int32_t total) {
  return Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    return B().SetChannelTotal(lk, total);
  });
}

TVCSIM_API int32_t TvcSimSetBoardCount(int32_t count) {
  return Guarded([&]() -> int32_t {
    if (count < 0 || count > 255) return TVCSIM_E_ARG;
    auto lk = B().Lock();
    B().board_count = count;
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetChannelType(int32_t ch, int32_t type) {
  return OnChannel(ch, [&](Channel& c) {
    c.type = type;
    return TVCSIM_OK;
  });
}

TVCSIM_API void TvcSimSetLoadResult(int32_t result) {
  Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    B().load_result = result;
    return 0;
  });
}

TVCSIM_API int32_t TvcSimIsLoaded(void) {
  return Guarded([]() -> int32_t {
    auto lk = B().Lock();
    return B().loaded ? 1 : 0;
  });
}

// ---- line state ----

TVCSIM_API int32_t TvcSimSetState(int32_t ch, int32_t state) {
  return OnChannel(ch, [&](Channel& c) {
    Board::SetState(c, state);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetCounter(int32_t ch, int32_t counter, int32_t value) {
  if (value < 0) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) { return Board::SetCounter(c, counter, value, false); });
}

TVCSIM_API int32_t TvcSimAddCounter(int32_t ch, int32_t counter, int32_t delta) {
  return OnChannel(ch, [&](Channel& c) { return Board::SetCounter(c, counter, delta, true); });
}

TVCSIM_API int32_t TvcSimSetCallerId(int32_t ch, const char* number) {
  return OnChannel(ch, [&](Channel& c) {
    c.caller_id = number ? std::string(number, strnlen(number, 127)) : std::string();
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimPushDtmf(int32_t ch, const char* digits) {
  if (!digits) return TVCSIM_E_ARG;
  const size_t n = strnlen(digits, 4097);
  if (n > 4096) return TVCSIM_E_ARG;
  for (size_t i = 0; i < n; ++i) {
    if (!tvcsim::IsDtmfDigit(digits[i])) return TVCSIM_E_ARG;
  }
  return OnChannel(ch, [&](Channel& c) {
    c.dtmf.append(digits, n);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetSound(int32_t ch, int32_t sound) {
  return OnChannel(ch, [&](Channel& c) {
    c.sound = sound;
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetToneResult(int32_t ch, int32_t result) {
  return OnChannel(ch, [&](Channel& c) {
    c.tone_result = result;
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetFreqFlag(int32_t ch, int32_t flag) {
  return OnChannel(ch, [&](Channel& c) {
    c.freq_flag = flag;
    return TVCSIM_OK;
  });
}

// ---- trunk caller and station phone ----

TVCSIM_API int32_t TvcSimIncomingCall(int32_t ch, const char* number, int32_t rings,
                                      int32_t ring_every_ms) {
  if (rings < 0 || ring_every_ms < 0 || ring_every_ms > 86400000) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) {
    Board::IncomingCall(c, number ? std::string(number, strnlen(number, 127)) : std::string(),
                        rings, ring_every_ms, B().NowMs());
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimCallerHangUp(int32_t ch) {
  return OnChannel(ch, [](Channel& c) { return Board::CallerHangUp(c); });
}

TVCSIM_API int32_t TvcSimSetAutoAnswer(int32_t ch, int32_t ms) {
  if (ms < -1 || ms > 86400000) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) {
    Board::SetAutoAnswer(c, ms, B().NowMs());
    B().Refresh(c);
    return TVCSIM_OK;
  });
}

// ---- the line and the far end of a call dialled out ----

TVCSIM_API int32_t TvcSimSetLineTone(int32_t ch, int32_t after_ms, int32_t tone) {
  if (after_ms < -1 || after_ms > 86400000 ||
      (after_ms >= 0 && tone != TVCSIM_TONE_DIAL && tone != TVCSIM_TONE_BUSY)) {
    return TVCSIM_E_ARG;
  }
  return OnChannel(ch, [&](Channel& c) {
    Board::SetLineTone(c, after_ms, tone);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetFarFax(int32_t ch, int32_t answer_after_ms) {
  if (answer_after_ms < -1 || answer_after_ms > 86400000) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) {
    Board::SetFarEnd(c, answer_after_ms < 0 ? tvcsim::FarKind::kNobody : tvcsim::FarKind::kFax,
                     answer_after_ms, B().NowMs());
    B().Refresh(c);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetFarBusy(int32_t ch, int32_t busy) {
  if (busy != 0 && busy != 1) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) {
    Board::SetFarEnd(c, busy ? tvcsim::FarKind::kBusy : tvcsim::FarKind::kNobody, -1,
                     B().NowMs());
    return TVCSIM_OK;
  });
}

// ---- playback and fax ----

TVCSIM_API int32_t TvcSimSetPlayRate(int32_t bytes_per_second) {
  return Guarded([&]() -> int32_t {
    if (bytes_per_second < 0) return TVCSIM_E_ARG;
    auto lk = B().Lock();
    B().play_bytes_per_second = bytes_per_second;
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimFinishPlay(int32_t ch) {
  return OnChannel(ch, [&](Channel& c) {
    c.playback.active = false;
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetFaxPlan(int32_t ch, int32_t duration_ms, int32_t end_status) {
  if (duration_ms < -1 || (duration_ms >= 0 && end_status != 1 && end_status != 2)) {
    return TVCSIM_E_ARG;
  }
  return OnChannel(ch, [&](Channel& c) {
    Board::SetFaxPlan(c, duration_ms, end_status);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetFaxReceiveSource(int32_t ch, const char* path) {
  return OnChannel(ch, [&](Channel& c) {
    c.fax.receive_source = tvcsim::HostPath(path);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimFinishFax(int32_t ch, int32_t end_status) {
  if (end_status != 1 && end_status != 2) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) {
    if (!c.fax.running) return TVCSIM_E_STATE;
    B().FinishFax(c, end_status);
    return TVCSIM_OK;
  });
}

// ---- audio ----

TVCSIM_API int32_t TvcSimSetAudioSilence(int32_t ch) {
  return OnChannel(ch, [](Channel& c) {
    c.audio.SetSilence();
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetAudioTone(int32_t ch, int32_t frequency_hz, int32_t amplitude) {
  if (frequency_hz < 1 || frequency_hz > 3999 || amplitude < 0 || amplitude > 32767) {
    return TVCSIM_E_ARG;
  }
  return OnChannel(ch, [&](Channel& c) {
    c.audio.SetTone(frequency_hz, amplitude);
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimSetAudioWav(int32_t ch, const char* path, int32_t loop) {
  return Guarded([&]() -> int32_t {
    if (!path) return TVCSIM_E_ARG;
    {
      auto lk = B().Lock();
      if (!B().Find(ch)) return TVCSIM_E_ARG;
    }
    tvcsim::SampleData samples;
    const int32_t rc = tvcsim::LoadWavFile(tvcsim::HostPath(path), &samples, nullptr);
    if (rc != TVCSIM_OK) return rc;
    return OnChannel(ch, [&](Channel& c) {
      c.audio.SetSamples(samples, loop != 0);
      return TVCSIM_OK;
    });
  });
}

TVCSIM_API int32_t TvcSimSetAudioSamples(int32_t ch, const int16_t* samples, int32_t count,
                                         int32_t loop) {
  if (count < 0 || (count > 0 && !samples)) return TVCSIM_E_ARG;
  return Guarded([&]() -> int32_t {
    auto data = std::make_shared<const std::vector<int16_t>>(samples, samples + count);
    return OnChannel(ch, [&](Channel& c) {
      c.audio.SetSamples(data, loop != 0);
      return TVCSIM_OK;
    });
  });
}

// ---- time ----

TVCSIM_API int32_t TvcSimSetTimeScale(int32_t percent) {
  return Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    return B().SetTimeScale(percent);
  });
}

TVCSIM_API int32_t TvcSimGetTimeScale(void) {
  return Guarded([]() -> int32_t {
    auto lk = B().Lock();
    return B().time_scale();
  });
}

TVCSIM_API int64_t TvcSimGetBoardTime(void) {
  try {
    auto lk = B().Lock();
    return B().NowMs();
  } catch (...) {
    return TVCSIM_E_STATE;
  }
}

TVCSIM_API int32_t TvcSimAdvance(int32_t ms) {
  if (ms < 0 || ms > 86400000) return TVCSIM_E_ARG;
  return Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    B().Advance(ms);
    return TVCSIM_OK;
  });
}

// ---- delivery ----

TVCSIM_API int32_t TvcSimDeliver(int32_t ch, int32_t count) {
  return Guarded([&]() -> int32_t { return B().Deliver(ch, count, tvcsim::kFullLast); });
}

TVCSIM_API int32_t TvcSimDeliverPartial(int32_t ch, int32_t last) {
  return Guarded([&]() -> int32_t { return B().Deliver(ch, 1, last); });
}

TVCSIM_API int32_t TvcSimGetDelivered(int32_t ch, int32_t* full, int32_t* partial) {
  return OnChannel(ch, [&](Channel& c) {
    if (full) *full = c.full_delivered;
    if (partial) *partial = c.partial_delivered;
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimGetArmedCount(int32_t ch) {
  return OnChannel(ch, [](Channel& c) { return static_cast<int32_t>(c.armed.size()); });
}

TVCSIM_API int32_t TvcSimSetTapPath(int32_t ch, const char* path) {
  return OnChannel(ch, [&](Channel& c) { return B().SetTap(c, path); });
}

// ---- scripts ----

TVCSIM_API int32_t TvcSimLoadScript(const char* text, char* error, int32_t error_size) {
  return Guarded([&]() -> int32_t {
    if (!text) {
      SetError("no script text", error, error_size);
      return TVCSIM_E_ARG;
    }
    return LoadScriptText(text, "", error, error_size);
  });
}

TVCSIM_API int32_t TvcSimLoadScriptFile(const char* path, char* error, int32_t error_size) {
  return Guarded([&]() -> int32_t {
    const std::string p = tvcsim::HostPath(path);
    std::ifstream in(p, std::ios::binary);
    if (!path || !in) {
      SetError("cannot open script file", error, error_size);
      return TVCSIM_E_IO;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const size_t slash = p.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : p.substr(0, slash);
    return LoadScriptText(text.str(), dir.empty() ? "/" : dir, error, error_size);
  });
}

TVCSIM_API int32_t TvcSimStartScript(void) {
  return Guarded([]() -> int32_t {
    auto lk = B().Lock();
    return B().StartScript();
  });
}

TVCSIM_API void TvcSimStopScript(void) {
  Guarded([]() -> int32_t {
    auto lk = B().Lock();
    B().StopScript();
    return 0;
  });
}

TVCSIM_API int32_t TvcSimGetPendingEvents(void) {
  return Guarded([]() -> int32_t {
    auto lk = B().Lock();
    return B().PendingEvents();
  });
}

// ---- call log ----

TVCSIM_API void TvcSimSetCallLogEnabled(int32_t on) {
  Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    B().log().SetEnabled(on != 0);
    return 0;
  });
}

TVCSIM_API int32_t TvcSimSetCallLogCapacity(int32_t capacity) {
  if (capacity < 1 || capacity > 10000000) return TVCSIM_E_ARG;
  return Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    B().log().SetCapacity(static_cast<size_t>(capacity));
    return TVCSIM_OK;
  });
}

TVCSIM_API void TvcSimClearCallLog(void) {
  Guarded([]() -> int32_t {
    auto lk = B().Lock();
    B().log().Clear();
    return 0;
  });
}

TVCSIM_API int32_t TvcSimGetCallLogCount(void) {
  return Guarded([]() -> int32_t {
    auto lk = B().Lock();
    return static_cast<int32_t>(B().log().size());
  });
}

TVCSIM_API int32_t TvcSimGetCallLog(char* buffer, int32_t size) {
  return Guarded([&]() -> int32_t {
    std::string all;
    {
      auto lk = B().Lock();
      for (size_t i = 0; i < B().log().size(); ++i) {
        all += B().log().Line(i);
        all += '\n';
      }
    }
    return CopyText(all, buffer, size);
  });
}

TVCSIM_API int32_t TvcSimGetCallLogLine(int32_t index, char* buffer, int32_t size) {
  return Guarded([&]() -> int32_t {
    auto lk = B().Lock();
    if (index < 0 || static_cast<size_t>(index) >= B().log().size()) return TVCSIM_E_ARG;
    return CopyText(B().log().Line(static_cast<size_t>(index)), buffer, size);
  });
}

TVCSIM_API int32_t TvcSimCountCalls(const char* name) {
  return Guarded([&]() -> int32_t {
    const tvcsim::EntryId id = tvcsim::EntryByName(name);
    if (id == tvcsim::EntryId::kCount) return TVCSIM_E_ARG;
    auto lk = B().Lock();
    return static_cast<int32_t>(std::min<uint64_t>(B().log().Total(id), INT32_MAX));
  });
}

TVCSIM_API int32_t TvcSimCountCallsOnChannel(const char* name, int32_t ch) {
  return Guarded([&]() -> int32_t {
    const tvcsim::EntryId id = tvcsim::EntryByName(name);
    if (id == tvcsim::EntryId::kCount) return TVCSIM_E_ARG;
    auto lk = B().Lock();
    return static_cast<int32_t>(B().log().CountOnChannel(id, ch));
  });
}

// ---- queries ----

TVCSIM_API int32_t TvcSimGetChannelInfo(int32_t ch, TvcSimChannelInfo* info) {
  if (!info) return TVCSIM_E_ARG;
  return OnChannel(ch, [&](Channel& c) {
    *info = TvcSimChannelInfo{};
    info->type = c.type;
    info->state = c.state;
    info->ring_count = c.ring_count;
    info->busy_count = c.busy_count;
    info->flash_count = c.flash_count;
    info->polarity_count = c.polarity_count;
    info->sound = c.sound;
    info->tone_result = c.tone_result;
    info->tone_analyzing = c.tone_analyzing;
    info->freq_flag = c.freq_flag;
    info->freq_detecting = c.freq_detecting;
    info->freq_detector_hz = c.freq_detector_hz;
    info->off_hook = c.off_hook;
    info->ringing = c.ringing;
    info->linked_to = c.link;
    info->playing = c.playback.active;
    info->play_list_length = static_cast<int32_t>(c.play_list.size());
    info->plays_started = c.plays_started;
    info->last_tone = c.last_tone;
    info->tones_sent = c.tones_sent;
    info->flashes_sent = c.flashes_sent;
    info->dial_calls = c.dial_calls;
    info->fax_mode = c.fax.mode;
    info->fax_state = c.fax.running;
    info->fax_end = c.fax.end_status;
    info->armed = static_cast<int32_t>(c.armed.size());
    info->full_delivered = c.full_delivered;
    info->partial_delivered = c.partial_delivered;
    info->overruns = c.overruns;
    info->rec_agc = c.rec_agc;
    info->rec_volume = c.rec_volume;
    info->play_volume = c.play_volume;
    info->no_sound_ms = c.no_sound_ms;
    info->barge_in_level = c.barge_in_level;
    info->pending_dtmf = static_cast<int32_t>(c.dtmf.size());
    info->has_caller_id = !c.caller_id.empty();
    info->auto_answer_ms = c.auto_answer_ms;
    info->caller_ringing = c.caller.ringing;
    info->caller_rings_left = RingsLeft(c.caller);
    info->line_tone = c.line_tone;
    info->line_tone_after_ms = c.line_tone_after_ms;
    info->far_fax_ms = c.far.kind == tvcsim::FarKind::kFax ? c.far.answer_ms : -1;
    info->far_busy = c.far.kind == tvcsim::FarKind::kBusy;
    info->far_answered = c.far.answered;
    info->fax_duration_ms = static_cast<int32_t>(std::min<int64_t>(c.fax.duration_ms, INT32_MAX));
    return TVCSIM_OK;
  });
}

TVCSIM_API int32_t TvcSimIsRinging(int32_t ch) {
  return OnChannel(ch, [](Channel& c) { return c.ringing ? 1 : 0; });
}

TVCSIM_API int32_t TvcSimGetRingNumber(int32_t ch, char* buffer, int32_t size) {
  return OnChannel(ch, [&](Channel& c) { return CopyText(c.ring_number, buffer, size); });
}

TVCSIM_API int32_t TvcSimGetDialled(int32_t ch, char* buffer, int32_t size) {
  return OnChannel(ch, [&](Channel& c) { return CopyText(c.dialled, buffer, size); });
}

TVCSIM_API int32_t TvcSimGetLastDial(int32_t ch, char* buffer, int32_t size) {
  return OnChannel(ch, [&](Channel& c) { return CopyText(c.last_dial, buffer, size); });
}

TVCSIM_API int32_t TvcSimGetLink(int32_t ch) {
  const int32_t r = OnChannel(ch, [](Channel& c) { return c.link; });
  return r < 0 ? -1 : r;
}

TVCSIM_API int32_t TvcSimGetPlaying(int32_t ch, char* buffer, int32_t size) {
  return OnChannel(ch, [&](Channel& c) {
    std::string now_playing;
    if (c.playback.active) {
      int64_t t = B().NowMs() - c.playback.start_ms;
      for (const auto& item : c.playback.items) {
        if (t < item.duration_ms) {
          now_playing = item.path;
          break;
        }
        t -= item.duration_ms;
      }
    }
    return CopyText(now_playing, buffer, size);
  });
}

TVCSIM_API int32_t TvcSimGetFaxPath(int32_t ch, char* buffer, int32_t size) {
  return OnChannel(ch, [&](Channel& c) { return CopyText(c.fax.path, buffer, size); });
}

}  // extern "C"

// The line-recording loop: follows a line the library only listens to, reports
// every change to the host and drains the capture queue into the record file.
#include "channel/line_loop.h"

#include <cstring>

#include "channel/record_channel.h"
#include "driver/driver.h"
#include "threading/host_application.h"
#include "platform/sleep.h"
#include "platform/tick.h"

namespace talo::channel {

using driver::DriverApi;

std::string TrimBlanks(const char *text, size_t size) {
  size_t begin = 0, end = size;
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text + begin, end - begin);
}

uint32_t ParsePassMs(const char *text, bool *rejected) {
  *rejected = false;
  if (!text) return kDefaultPassMs;
  uint32_t value = 0;
  const char *p = text;
  // Digits only, and no more than fit: "10ms", "-5", " 7" or "1e3" are not values.
  while (*p >= '0' && *p <= '9' && value <= kMaxPassMs) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  if (p == text || *p != '\0' || value < 1 || value > kMaxPassMs) {
    *rejected = true;
    return kDefaultPassMs;
  }
  return value;
}

namespace {

uint32_t Now() { return platform::GetTickCount(); }

// Unsigned difference: correct across the wrap of the tick counter.
uint32_t Since(uint32_t tick) { return Now() - tick; }

}  // namespace

bool TRecordChnl_VC::LineLoopShouldRun() const { return !(StopRequested() || threading::Terminated()); }

void TRecordChnl_VC::PassSleep() {
  if (PassMs <= kDefaultPassMs)
    platform::SleepMs(PassMs);
  else
    WaitForStopOrWake(PassMs);
}

void TRecordChnl_VC::LineRecordingLoop() {
  LineLoopStart();
  while (LineLoopShouldRun()) {
    PassSleep();  // without the hold: exports may hold the worker now
    LineLoopPass();
  }
  LineLoopFinish();
}

void TRecordChnl_VC::LineLoopStart() {
  Hold hold(hold_);
  LineLoopState &s = LineLoop;
  s.RingAliveTick = s.CallerIdBase = Now();
  s.HangUpTick = 0;
  if (RecMode == 0 || RecMode == 2) {
    LineStatus = kLineEmpty;
    try {
      Raise(&TRecordChnl_VC::RaiseLineEmpty);
    } catch (...) {
      // The loop must still arm the recording below.
    }
  } else if (RecMode == 1) {
    LineStatus = kLineSilence;
  }
  driver::Call<&DriverApi::TvcSetRecVol>(ChannelNo, kRecordVolume);
  ArmCapture();
  s.PendingDigits.clear();
  s.LastDigitTick = UINT32_MAX;
}

void TRecordChnl_VC::LineLoopPass() {
  Hold hold(hold_);
  try {
    CheckRecordLimit();
    DrainCaptureQueue();
    CheckRecordLimit();
    WatchCapture();
    if (RecMode == 0 || RecMode == 2)
      LineStateStep();
    else if (RecMode == 1)
      SoundStep();
  } catch (...) {
    // A failure, a host handler's included, ends this pass only.
  }
}

void TRecordChnl_VC::LineLoopFinish() {
  Hold hold(hold_);
  try {
    if ((RecMode == 0 || RecMode == 2) && LineStatus == kLineOffHook)
      Raise(&TRecordChnl_VC::RaiseHangUp);
    else if (RecMode == 1 && LineStatus == kLineSound)
      Raise(&TRecordChnl_VC::RaiseSilence);
  } catch (...) {
    // The thread body must not end by a failure.
  }
}

void TRecordChnl_VC::CheckRecordLimit() {
  const uint32_t limit = FileLenLimit;
  const uint32_t start = RecordStartTick;
  if (limit == 0 || start == 0 || Since(start) < limit) return;
  // Cleared first: the event fires once per recording.
  RecordStartTick = 0;
  Raise(&TRecordChnl_VC::RaiseRecordLimit);
}

void TRecordChnl_VC::CollectCallerDigits() {
  LineLoopState &s = LineLoop;
  std::memset(s.DtmfBuffer, 0, sizeof s.DtmfBuffer);
  if (driver::Call<&DriverApi::TvcGetDtmfStr>(ChannelNo, s.DtmfBuffer, kDtmfCapacity, 1) <= 0)
    return;
  s.PendingDigits.append(s.DtmfBuffer, strnlen(s.DtmfBuffer, kDtmfCapacity));
  if (Since(s.LastDigitTick) > kDigitGroupMs) {
    std::string text = TrimBlanks(s.PendingDigits.data(), s.PendingDigits.size());
    const size_t n = std::min(text.size(), sizeof CallerNumber - 1);
    std::memcpy(CallerNumber, text.data(), n);
    CallerNumber[n] = '\0';
    Raise(&TRecordChnl_VC::RaiseCallerId);
    s.PendingDigits.clear();
  }
  s.LastDigitTick = Now();
}

void TRecordChnl_VC::LineStateStep() {
  LineLoopState &s = LineLoop;
  // A state left over from sound mode counts as a call in progress.
  // Every entry into state 1 clears HangUpTick: a free reading left from an
  // earlier call must not make the first free blip of this one a hang-up.
  if (LineStatus == kLineSound || LineStatus == kLineSilence) {
    LineStatus = kLineOffHook;
    s.HangUpTick = 0;
  }
  switch (LineStatus) {
    case kLineIdle: {
      const int32_t state = driver::GetChannelState(ChannelNo);
      if (state == kChanOffHook) {
        Raise(&TRecordChnl_VC::RaiseOffHook);
        LineStatus = kLineOffHook;
        s.HangUpTick = 0;
        s.PendingDigits.clear();
        s.LastDigitTick = UINT32_MAX;
      } else if (state == kChanRinging) {
        LineStatus = kLineRinging;
        Raise(&TRecordChnl_VC::RaiseRing);
        std::memset(CallerNumber, 0, sizeof CallerNumber);
        s.CallerIdBase = s.RingAliveTick = Now();
      } else if (state == kChanEmpty) {
        Raise(&TRecordChnl_VC::RaiseHangUp);
        LineStatus = kLineEmpty;
        Raise(&TRecordChnl_VC::RaiseLineEmpty);
      }
      CollectCallerDigits();
      return;
    }

    case kLineOffHook: {
      const int32_t state = driver::GetChannelState(ChannelNo);
      if (state == kChanFree) {
        if (s.HangUpTick == 0) {
          s.HangUpTick = Now();
        } else if (Since(s.HangUpTick) > kHangUpDebounceMs) {
          Raise(&TRecordChnl_VC::RaiseHangUp);
          LineStatus = kLineIdle;
        }
      } else if (state == kChanEmpty) {
        Raise(&TRecordChnl_VC::RaiseHangUp);
        LineStatus = kLineEmpty;
        Raise(&TRecordChnl_VC::RaiseLineEmpty);
      } else {
        s.HangUpTick = 0;
      }
      std::memset(s.DtmfBuffer, 0, sizeof s.DtmfBuffer);
      if (driver::Call<&DriverApi::TvcGetDtmfStr>(ChannelNo, s.DtmfBuffer, kDtmfCapacity, 1) > 0) {
        DtmfText.assign(s.DtmfBuffer, strnlen(s.DtmfBuffer, kDtmfCapacity));
        Raise(&TRecordChnl_VC::RaiseDtmf);
      }
      return;
    }

    case kLineRinging: {
      CollectCallerDigits();
      if (Since(s.CallerIdBase) > kCallerIdDelayMs &&
          driver::Call<&DriverApi::TvcGetCallerId>(ChannelNo, CallerNumber, 32) > 0) {
        driver::Call<&DriverApi::TvcClrCallerIdBuf>(ChannelNo);
        // The host reads it as zero-terminated text, whatever the driver left.
        CallerNumber[sizeof CallerNumber - 1] = '\0';
        if (!TrimBlanks(CallerNumber, strnlen(CallerNumber, sizeof CallerNumber)).empty())
          Raise(&TRecordChnl_VC::RaiseCallerId);
      }
      if (driver::GetChannelState(ChannelNo) == kChanOffHook) {
        Raise(&TRecordChnl_VC::RaiseOffHook);  // after-ring flag: LineStatus is still 2
        LineStatus = kLineOffHook;
        s.HangUpTick = 0;
        s.PendingDigits.clear();
        s.LastDigitTick = UINT32_MAX;
      } else if (driver::GetChannelState(ChannelNo) == kChanRinging) {
        s.RingAliveTick = Now();
      } else if (Since(s.RingAliveTick) > kRingEndMs) {
        LineStatus = kLineIdle;
        Raise(&TRecordChnl_VC::RaiseRing);  // ringing flag: LineStatus is already 0
      }
      return;
    }

    case kLineEmpty: {
      const int32_t state = driver::GetChannelState(ChannelNo);
      if (state == kChanFree) {
        LineStatus = kLineIdle;
        Raise(&TRecordChnl_VC::RaiseHangUp);
      } else if (state == kChanOffHook) {
        LineStatus = kLineOffHook;
        s.HangUpTick = 0;
        Raise(&TRecordChnl_VC::RaiseOffHook);
      } else if (state == kChanRinging) {
        LineStatus = kLineRinging;
        Raise(&TRecordChnl_VC::RaiseRing);
      }
      return;
    }

    default:
      return;
  }
}

void TRecordChnl_VC::SoundStep() {
  switch (LineStatus) {
    case kLineSound:
      if (driver::Call<&DriverApi::TvcIsSound>(ChannelNo) == 0) {
        LineStatus = kLineSilence;
        Raise(&TRecordChnl_VC::RaiseSilence);
      }
      return;
    case kLineSilence:
      if (driver::Call<&DriverApi::TvcIsSound>(ChannelNo) == 1) {
        LineStatus = kLineSound;
        Raise(&TRecordChnl_VC::RaiseSound);
      }
      return;
    default:
      // A line state left over from the line-state machine: treat it as sound.
      if (LineStatus >= kLineIdle && LineStatus <= kLineEmpty) {
        LineStatus = kLineSound;
        Raise(&TRecordChnl_VC::RaiseSound);
      }
      return;
  }
}

}  // namespace talo::channel

// The line-recording loop, pass by pass.
#include "callflow/line_loop.h"

#include <algorithm>
#include <cstring>

#include "channel/line_status.h"
#include "channel/record_channel.h"
#include "driver/driver.h"
#include "platform/fixed_text.h"
#include "platform/tick.h"

namespace talo::callflow {
namespace {

using channel::TRecordChnl_VC;
using driver::DriverApi;

uint32_t Now() { return platform::GetTickCount(); }
// Unsigned difference: correct across the wrap of the tick counter.
uint32_t Since(uint32_t tick) { return Now() - tick; }

bool FollowsLineState(int32_t mode) { return mode == 0 || mode == 2; }
bool FollowsSound(int32_t mode) { return mode == 1; }

}  // namespace

void LineLoop::Run() {
  Start();
  while (w_.ShouldRun()) {
    w_.PassSleep();  // without the hold: exports may hold the worker now
    Pass();
  }
  Finish();
}

void LineLoop::Start() {
  channel::Hold hold(w_.Holder());
  s_.RingAliveTick = s_.CallerIdBase = Now();
  s_.HangUpTick = 0;
  if (FollowsLineState(w_.RecMode)) {
    w_.LineStatus = channel::kLineEmpty;
    try {
      w_.Raise(&TRecordChnl_VC::RaiseLineEmpty);
    } catch (...) {
      // The loop must still arm the recording below.
    }
  } else if (FollowsSound(w_.RecMode)) {
    w_.LineStatus = channel::kLineSilence;
  }
  driver::Call<&DriverApi::TvcSetRecVol>(w_.ChannelNo, kRecordVolume);
  w_.ArmCapture();
  s_.PendingDigits.clear();
  s_.LastDigitTick = UINT32_MAX;
}

void LineLoop::Pass() {
  channel::Hold hold(w_.Holder());
  try {
    w_.CheckRecordLimit();
    w_.DrainCaptureQueue();
    w_.CheckRecordLimit();
    w_.WatchCapture();
    if (FollowsLineState(w_.RecMode))
      LineStateStep();
    else if (FollowsSound(w_.RecMode))
      SoundStep();
  } catch (...) {
    // A failure, a host handler's included, ends this pass only.
  }
}

void LineLoop::Finish() {
  channel::Hold hold(w_.Holder());
  try {
    if (FollowsLineState(w_.RecMode) && w_.LineStatus == channel::kLineOffHook)
      w_.Raise(&TRecordChnl_VC::RaiseHangUp);
    else if (FollowsSound(w_.RecMode) && w_.LineStatus == channel::kLineSound)
      w_.Raise(&TRecordChnl_VC::RaiseSilence);
  } catch (...) {
    // The thread body must not end by a failure.
  }
}

// ---------------------------------------------------------------- the line-state machine

void LineLoop::LineStateStep() {
  // A state left over from sound mode counts as a call in progress.
  // Every entry into off-hook clears HangUpTick: a free reading left from an
  // earlier call must not make the first free blip of this one a hang-up.
  if (w_.LineStatus == channel::kLineSound || w_.LineStatus == channel::kLineSilence) {
    w_.LineStatus = channel::kLineOffHook;
    s_.HangUpTick = 0;
  }
  switch (w_.LineStatus) {
    case channel::kLineIdle: Idle(); break;
    case channel::kLineOffHook: OffHook(); break;
    case channel::kLineRinging: Ringing(); break;
    case channel::kLineEmpty: NoLine(); break;
    default: break;
  }
}

void LineLoop::AnswerSeen() {
  w_.Raise(&TRecordChnl_VC::RaiseOffHook);  // after-ring flag: LineStatus is still the old one
  w_.LineStatus = channel::kLineOffHook;
  s_.HangUpTick = 0;
  s_.PendingDigits.clear();
  s_.LastDigitTick = UINT32_MAX;
}

void LineLoop::Idle() {
  const int32_t state = driver::GetChannelState(w_.ChannelNo);
  if (state == driver::kChanOffHook) {
    AnswerSeen();
  } else if (state == driver::kChanRinging) {
    w_.LineStatus = channel::kLineRinging;
    w_.Raise(&TRecordChnl_VC::RaiseRing);
    std::memset(w_.CallerNumber, 0, sizeof w_.CallerNumber);
    s_.CallerIdBase = s_.RingAliveTick = Now();
  } else if (state == driver::kChanEmpty) {
    w_.Raise(&TRecordChnl_VC::RaiseHangUp);
    w_.LineStatus = channel::kLineEmpty;
    w_.Raise(&TRecordChnl_VC::RaiseLineEmpty);
  }
  CollectCallerDigits();
}

void LineLoop::OffHook() {
  const int32_t state = driver::GetChannelState(w_.ChannelNo);
  if (state == driver::kChanFree) {
    if (s_.HangUpTick == 0) {
      s_.HangUpTick = Now();
    } else if (Since(s_.HangUpTick) > kHangUpDebounceMs) {
      w_.Raise(&TRecordChnl_VC::RaiseHangUp);
      w_.LineStatus = channel::kLineIdle;
    }
  } else if (state == driver::kChanEmpty) {
    w_.Raise(&TRecordChnl_VC::RaiseHangUp);
    w_.LineStatus = channel::kLineEmpty;
    w_.Raise(&TRecordChnl_VC::RaiseLineEmpty);
  } else {
    s_.HangUpTick = 0;
  }
  ReportCallDigits();
}

void LineLoop::Ringing() {
  CollectCallerDigits();
  if (Since(s_.CallerIdBase) > kCallerIdDelayMs &&
      driver::Call<&DriverApi::TvcGetCallerId>(w_.ChannelNo, w_.CallerNumber, 32) > 0) {
    driver::Call<&DriverApi::TvcClrCallerIdBuf>(w_.ChannelNo);
    // The host reads it as zero-terminated text, whatever the driver left.
    w_.CallerNumber[sizeof w_.CallerNumber - 1] = '\0';
    if (!platform::TrimBlanks(w_.CallerNumber, strnlen(w_.CallerNumber, sizeof w_.CallerNumber)).empty())
      w_.Raise(&TRecordChnl_VC::RaiseCallerId);
  }
  // Two readings of the state, as the line may change between them.
  if (driver::GetChannelState(w_.ChannelNo) == driver::kChanOffHook) {
    AnswerSeen();
  } else if (driver::GetChannelState(w_.ChannelNo) == driver::kChanRinging) {
    s_.RingAliveTick = Now();
  } else if (Since(s_.RingAliveTick) > kRingEndMs) {
    w_.LineStatus = channel::kLineIdle;
    w_.Raise(&TRecordChnl_VC::RaiseRing);  // ringing flag: LineStatus is already idle
  }
}

// The line came back: the host hears the new state after it is set, so an
// answer seen here is not one after ringing.
void LineLoop::NoLine() {
  const int32_t state = driver::GetChannelState(w_.ChannelNo);
  if (state == driver::kChanFree) {
    w_.LineStatus = channel::kLineIdle;
    w_.Raise(&TRecordChnl_VC::RaiseHangUp);
  } else if (state == driver::kChanOffHook) {
    w_.LineStatus = channel::kLineOffHook;
    s_.HangUpTick = 0;
    w_.Raise(&TRecordChnl_VC::RaiseOffHook);
  } else if (state == driver::kChanRinging) {
    w_.LineStatus = channel::kLineRinging;
    w_.Raise(&TRecordChnl_VC::RaiseRing);
  }
}

// ---------------------------------------------------------------- digits

void LineLoop::CollectCallerDigits() {
  std::memset(s_.DtmfBuffer, 0, sizeof s_.DtmfBuffer);
  if (driver::Call<&DriverApi::TvcGetDtmfStr>(w_.ChannelNo, s_.DtmfBuffer, kLineDtmfCapacity, 1) <= 0)
    return;
  s_.PendingDigits.append(s_.DtmfBuffer, strnlen(s_.DtmfBuffer, kLineDtmfCapacity));
  if (Since(s_.LastDigitTick) > kDigitGroupMs) {
    platform::SetField(w_.CallerNumber, platform::TrimBlanks(s_.PendingDigits.data(), s_.PendingDigits.size()));
    w_.Raise(&TRecordChnl_VC::RaiseCallerId);
    s_.PendingDigits.clear();
  }
  s_.LastDigitTick = Now();
}

void LineLoop::ReportCallDigits() {
  std::memset(s_.DtmfBuffer, 0, sizeof s_.DtmfBuffer);
  if (driver::Call<&DriverApi::TvcGetDtmfStr>(w_.ChannelNo, s_.DtmfBuffer, kLineDtmfCapacity, 1) <= 0) return;
  w_.DtmfText.assign(s_.DtmfBuffer, strnlen(s_.DtmfBuffer, kLineDtmfCapacity));
  w_.Raise(&TRecordChnl_VC::RaiseDtmf);
}

// ---------------------------------------------------------------- sound mode

void LineLoop::SoundStep() {
  switch (w_.LineStatus) {
    case channel::kLineSound:
      if (driver::Call<&DriverApi::TvcIsSound>(w_.ChannelNo) == 0) {
        w_.LineStatus = channel::kLineSilence;
        w_.Raise(&TRecordChnl_VC::RaiseSilence);
      }
      return;
    case channel::kLineSilence:
      if (driver::Call<&DriverApi::TvcIsSound>(w_.ChannelNo) == 1) {
        w_.LineStatus = channel::kLineSound;
        w_.Raise(&TRecordChnl_VC::RaiseSound);
      }
      return;
    default:
      // A line state left over from the line-state machine: treat it as sound.
      if (w_.LineStatus >= channel::kLineIdle && w_.LineStatus <= channel::kLineEmpty) {
        w_.LineStatus = channel::kLineSound;
        w_.Raise(&TRecordChnl_VC::RaiseSound);
      }
      return;
  }
}

}  // namespace talo::callflow

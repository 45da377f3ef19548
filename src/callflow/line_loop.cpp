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

using platform::Since;

uint32_t Now() { return platform::GetTickCount(); }

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
  if (FollowsLineState(w_.Recording.RecMode)) {
    w_.Call.LineStatus = channel::kLineEmpty;
    try {
      w_.RaiseLineEmpty();
    } catch (...) {
      // The loop must still arm the recording below.
    }
  } else if (FollowsSound(w_.Recording.RecMode)) {
    w_.Call.LineStatus = channel::kLineSilence;
  }
  driver::Call<&DriverApi::TvcSetRecVol>(w_.Id.ChannelNo, kRecordVolume);
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
    if (FollowsLineState(w_.Recording.RecMode))
      LineStateStep();
    else if (FollowsSound(w_.Recording.RecMode))
      SoundStep();
  } catch (...) {
    // A failure, a host handler's included, ends this pass only.
  }
}

void LineLoop::Finish() {
  channel::Hold hold(w_.Holder());
  try {
    if (FollowsLineState(w_.Recording.RecMode) && w_.Call.LineStatus == channel::kLineOffHook)
      w_.RaiseHangUp();
    else if (FollowsSound(w_.Recording.RecMode) && w_.Call.LineStatus == channel::kLineSound)
      w_.RaiseSilence();
  } catch (...) {
    // The thread body must not end by a failure.
  }
}

// ---------------------------------------------------------------- the line-state machine

void LineLoop::LineStateStep() {
  // A state left over from sound mode counts as a call in progress.
  // Every entry into off-hook clears HangUpTick: a free reading left from an
  // earlier call must not make the first free blip of this one a hang-up.
  if (w_.Call.LineStatus == channel::kLineSound || w_.Call.LineStatus == channel::kLineSilence) {
    w_.Call.LineStatus = channel::kLineOffHook;
    s_.HangUpTick = 0;
  }
  switch (w_.Call.LineStatus) {
    case channel::kLineIdle: Idle(); break;
    case channel::kLineOffHook: OffHook(); break;
    case channel::kLineRinging: Ringing(); break;
    case channel::kLineEmpty: NoLine(); break;
    default: break;
  }
}

void LineLoop::AnswerSeen() {
  w_.RaiseOffHook();  // after-ring flag: LineStatus is still the old one
  w_.Call.LineStatus = channel::kLineOffHook;
  s_.HangUpTick = 0;
  s_.PendingDigits.clear();
  s_.LastDigitTick = UINT32_MAX;
}

void LineLoop::Idle() {
  const int32_t state = driver::GetChannelState(w_.Id.ChannelNo);
  if (state == driver::kChanOffHook) {
    AnswerSeen();
  } else if (state == driver::kChanRinging) {
    w_.Call.LineStatus = channel::kLineRinging;
    w_.RaiseRing();
    std::memset(w_.Call.CallerNumber, 0, sizeof w_.Call.CallerNumber);
    s_.CallerIdBase = s_.RingAliveTick = Now();
  } else if (state == driver::kChanEmpty) {
    w_.RaiseHangUp();
    w_.Call.LineStatus = channel::kLineEmpty;
    w_.RaiseLineEmpty();
  }
  CollectCallerDigits();
}

void LineLoop::OffHook() {
  const int32_t state = driver::GetChannelState(w_.Id.ChannelNo);
  if (state == driver::kChanFree) {
    if (s_.HangUpTick == 0) {
      s_.HangUpTick = Now();
    } else if (Since(s_.HangUpTick) > kHangUpDebounceMs) {
      w_.RaiseHangUp();
      w_.Call.LineStatus = channel::kLineIdle;
    }
  } else if (state == driver::kChanEmpty) {
    w_.RaiseHangUp();
    w_.Call.LineStatus = channel::kLineEmpty;
    w_.RaiseLineEmpty();
  } else {
    s_.HangUpTick = 0;
  }
  ReportCallDigits();
}

void LineLoop::Ringing() {
  CollectCallerDigits();
  if (Since(s_.CallerIdBase) > kCallerIdDelayMs &&
      driver::Call<&DriverApi::TvcGetCallerId>(w_.Id.ChannelNo, w_.Call.CallerNumber, 32) > 0) {
    driver::Call<&DriverApi::TvcClrCallerIdBuf>(w_.Id.ChannelNo);
    // The host reads it as zero-terminated text, whatever the driver left.
    w_.Call.CallerNumber[sizeof w_.Call.CallerNumber - 1] = '\0';
    if (!platform::TrimBlanks(w_.Call.CallerNumber, strnlen(w_.Call.CallerNumber, sizeof w_.Call.CallerNumber)).empty())
      w_.RaiseCallerId();
  }
  // Two readings of the state, as the line may change between them.
  if (driver::GetChannelState(w_.Id.ChannelNo) == driver::kChanOffHook) {
    AnswerSeen();
  } else if (driver::GetChannelState(w_.Id.ChannelNo) == driver::kChanRinging) {
    s_.RingAliveTick = Now();
  } else if (Since(s_.RingAliveTick) > kRingEndMs) {
    w_.Call.LineStatus = channel::kLineIdle;
    w_.RaiseRing();  // ringing flag: LineStatus is already idle
  }
}

// The line came back: the host hears the new state after it is set, so an
// answer seen here is not one after ringing.
void LineLoop::NoLine() {
  const int32_t state = driver::GetChannelState(w_.Id.ChannelNo);
  if (state == driver::kChanFree) {
    w_.Call.LineStatus = channel::kLineIdle;
    w_.RaiseHangUp();
  } else if (state == driver::kChanOffHook) {
    w_.Call.LineStatus = channel::kLineOffHook;
    s_.HangUpTick = 0;
    w_.RaiseOffHook();
  } else if (state == driver::kChanRinging) {
    w_.Call.LineStatus = channel::kLineRinging;
    w_.RaiseRing();
  }
}

// ---------------------------------------------------------------- digits

void LineLoop::CollectCallerDigits() {
  std::memset(s_.DtmfBuffer, 0, sizeof s_.DtmfBuffer);
  if (driver::Call<&DriverApi::TvcGetDtmfStr>(w_.Id.ChannelNo, s_.DtmfBuffer, kDtmfCapacity, 1) <= 0)
    return;
  s_.PendingDigits.append(s_.DtmfBuffer, strnlen(s_.DtmfBuffer, kDtmfCapacity));
  if (Since(s_.LastDigitTick) > kDigitGroupMs) {
    platform::SetField(w_.Call.CallerNumber, platform::TrimBlanks(s_.PendingDigits.data(), s_.PendingDigits.size()));
    w_.RaiseCallerId();
    s_.PendingDigits.clear();
  }
  s_.LastDigitTick = Now();
}

void LineLoop::ReportCallDigits() {
  std::memset(s_.DtmfBuffer, 0, sizeof s_.DtmfBuffer);
  if (driver::Call<&DriverApi::TvcGetDtmfStr>(w_.Id.ChannelNo, s_.DtmfBuffer, kDtmfCapacity, 1) <= 0) return;
  w_.RaiseDtmf(std::string(s_.DtmfBuffer, strnlen(s_.DtmfBuffer, kDtmfCapacity)));
}

// ---------------------------------------------------------------- sound mode

void LineLoop::SoundStep() {
  switch (w_.Call.LineStatus) {
    case channel::kLineSound:
      if (driver::Call<&DriverApi::TvcIsSound>(w_.Id.ChannelNo) == 0) {
        w_.Call.LineStatus = channel::kLineSilence;
        w_.RaiseSilence();
      }
      return;
    case channel::kLineSilence:
      if (driver::Call<&DriverApi::TvcIsSound>(w_.Id.ChannelNo) == 1) {
        w_.Call.LineStatus = channel::kLineSound;
        w_.RaiseSound();
      }
      return;
    default:
      // A line state left over from the line-state machine: treat it as sound.
      if (w_.Call.LineStatus >= channel::kLineIdle && w_.Call.LineStatus <= channel::kLineEmpty) {
        w_.Call.LineStatus = channel::kLineSound;
        w_.RaiseSound();
      }
      return;
  }
}

}  // namespace talo::callflow

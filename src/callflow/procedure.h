// What the trunk loop and its call procedures share: the clock, the calls
// that name the station phone, the fixed sleeps, the texts of reply records
// and the character prompts.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "callflow/loop_state.h"
#include "channel/line_status.h"
#include "channel/record_channel.h"
#include "driver/driver.h"
#include "platform/fixed_text.h"
#include "platform/tick.h"

namespace talo::callflow {

using channel::TRecordChnl_VC;
using driver::DriverApi;
using channel::kLineIdle;
using channel::kLineOffHook;
using channel::kLineRinging;
using channel::kLineEmpty;
using driver::kChanFree;
using driver::kChanPickedUp;
using driver::kChanEmpty;
using driver::kChanFarEndGone;

uint32_t Now();
using platform::Since;

// The station phone paired with the trunk, or -1 when there is none that a
// driver call may name (unpaired, negative, past the board, or the trunk
// itself).
int32_t StationOf(const TRecordChnl_VC &w);

// Calls an entry for the station phone. Without a station the driver is not
// called at all and the entry's refusal value comes back (-1 for the state),
// so nothing can answer and no driver call names a channel that is not there.
template <auto Entry, typename... Args>
int32_t StationCall(const TRecordChnl_VC &w, Args... args) {
  const int32_t station = StationOf(w);
  if (station < 0) return driver::kRefusal<Entry>;
  return driver::Call<Entry>(station, args...);
}

template <auto Entry, typename... Args>
int32_t TrunkCall(const TRecordChnl_VC &w, Args... args) {
  return driver::Call<Entry>(w.Id.ChannelNo, args...);
}

inline int32_t StationState(const TRecordChnl_VC &w) {
  return StationCall<&DriverApi::TvcGetChState>(w);
}
inline int32_t TrunkState(const TRecordChnl_VC &w) { return driver::GetChannelState(w.Id.ChannelNo); }

// The caller left: the trunk reads free or far end gone, or busy tone is heard.
bool CallerDeparted(const TRecordChnl_VC &w);

// One of the fixed waits inside a step. The hold is let go meanwhile, so an
// export never waits for it.
void FixedSleep(TRecordChnl_VC &w, uint32_t ms);
// Test seam: replaces the sleep of FixedSleep (nullptr restores it).
using SleepHook = void (*)(uint32_t ms);
void SetSleepHook(SleepHook hook);

// The interruptible wait of the fax procedures: dispatches this thread's own
// calls and ends early on a stop request. The test seam of FixedSleep
// replaces it too.
void PumpingWait(TRecordChnl_VC &w, uint32_t ms);

// Starts a prompt the host named on the trunk, if the file is there; a
// prompt that does not exist is skipped. True when it plays.
bool PlayPromptIfExists(TRecordChnl_VC &w, const std::string &path);

// Reads `count` digits (1 or 32) into the zero-filled DtmfBuffer; the digits
// read, empty when none came.
std::string ReadDigits(TrunkLoopState &s, int32_t ch, int32_t count);
// The same from the station phone; empty without one.
std::string ReadStationDigits(const TRecordChnl_VC &w, TrunkLoopState &s, int32_t count);

void Trace(const TRecordChnl_VC &w, std::string_view text);

using platform::FieldText;
using platform::SetField;

// The announcement prompt of one character: "<executable dir>Sound/Char/<c>.dat".
// Empty for a character that cannot name a file of that folder.
std::string CharPromptPath(char c);
// Test seam: the folder that holds "Sound/Char/" (empty restores the executable's).
void SetPromptBaseForTests(std::string dir);

// The call procedures: each looks at its step once and returns.
void CallIn(TRecordChnl_VC &w, TrunkLoopState &s);
void LeaveMessage(TRecordChnl_VC &w, TrunkLoopState &s);
void UserPhone(TRecordChnl_VC &w, TrunkLoopState &s);
void SoftDial(TRecordChnl_VC &w, TrunkLoopState &s);
void FaxReceive(TRecordChnl_VC &w, TrunkLoopState &s);
void FaxSend(TRecordChnl_VC &w, TrunkLoopState &s);

// A dial-out takes the trunk over (only the loop's take calls these): the
// procedure that owned it ends at once, answers a request still waiting for
// its first result, gives a fax channel back to the host through OnFaxEnd,
// and leaves its step at the start for its next call.
void AbandonUserPhone(TRecordChnl_VC &w, TrunkLoopState &s);
void AbandonFaxReceive(TRecordChnl_VC &w, TrunkLoopState &s);
void AbandonFaxSend(TRecordChnl_VC &w, TrunkLoopState &s);

// Dial-out stops: whether one is being carried out already, and the loop's
// turning of QV_StopSoftDialOut into the next step (before or after the answer).
bool DialStopUnderWay(const TRecordChnl_VC &w);
void ApplyDialStop(TRecordChnl_VC &w);

}  // namespace talo::callflow

#include "channel/record_channel.h"

#include <algorithm>

#include "threading/host_application.h"
#include "platform/sleep.h"
#include "platform/tick.h"

namespace talo::channel {

TRecordChnl_VC::TRecordChnl_VC(int32_t channel, const QV_HostEvents &events)
    : threading::TThreadEx(/*create_suspended=*/true), Id{channel, events} {}

TRecordChnl_VC::~TRecordChnl_VC() {
  if (Requests.DialDone) Requests.DialDone->Refuse();
  if (Requests.FaxDone) Requests.FaxDone->Refuse();
}

void TRecordChnl_VC::Run() {
  if (program_) program_->Run();
}

bool TRecordChnl_VC::ShouldRun() const { return !(StopRequested() || threading::Terminated()); }

void TRecordChnl_VC::PassSleep() {
  if (Id.PassMs <= kDefaultPassMs)
    platform::SleepMs(Id.PassMs);
  else
    WaitForStopOrWake(Id.PassMs);
}

void TRecordChnl_VC::CheckRecordLimit() {
  const uint32_t limit = Recording.FileLenLimit;
  const uint32_t start = Recording.RecordStartTick;
  if (limit == 0 || start == 0 || platform::Since(start) < limit) return;
  // Cleared first: the event fires once per recording.
  Recording.RecordStartTick = 0;
  RaiseRecordLimit();
}

void TRecordChnl_VC::OnWaitBegin() { released_depth_ = hold_.ReleaseAll(); }

void TRecordChnl_VC::OnWaitEnd() {
  hold_.Restore(released_depth_);
  released_depth_ = 0;
}

namespace {

// The workers whose events this thread is handling now, innermost last: a
// handler may call an export that dispatches, and so run another's handler.
// Plain values, so nothing needs destroying when the thread ends.
constexpr int kMaxNestedRaises = 32;
thread_local const TRecordChnl_VC *t_raising[kMaxNestedRaises];
thread_local int t_raising_depth = 0;

}  // namespace

bool TRecordChnl_VC::HandlerRunningFor(const TRecordChnl_VC *worker) {
  for (int i = 0; i < std::min(t_raising_depth, kMaxNestedRaises); ++i)
    if (t_raising[i] == worker) return true;
  return false;
}

bool TRecordChnl_VC::AnyHandlerRunning() { return t_raising_depth > 0; }

void TRecordChnl_VC::RaiseTrampoline(void *self) {
  auto *worker = static_cast<TRecordChnl_VC *>(self);
  if (t_raising_depth < kMaxNestedRaises) t_raising[t_raising_depth] = worker;
  ++t_raising_depth;
  try {
    worker->pending_call_(worker->pending_body_);
  } catch (...) {
    --t_raising_depth;
    throw;
  }
  --t_raising_depth;
}

}  // namespace talo::channel

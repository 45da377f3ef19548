#include "channel/record_channel.h"

#include "host/host_application.h"
#include "platform/sleep.h"

namespace talo::channel {

TRecordChnl_VC::TRecordChnl_VC(int32_t channel, const QV_HostEvents &events)
    : threading::TThreadEx(/*create_suspended=*/true), ChannelNo(channel), HostEvents(events) {}

void TRecordChnl_VC::Run() {
  switch (ChannelType) {
    case 0:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
      LineRecordingLoop();
      return;
    case 1:
    case 2:
      TrunkUserLoop();
      return;
    default:
      IdleWork();
      return;
  }
}

bool TRecordChnl_VC::IdleStep() { return !(StopRequested() || host::Terminated()); }

void TRecordChnl_VC::IdleWork() {
  while (IdleStep()) platform::SleepMs(100);
}

void TRecordChnl_VC::OnWaitBegin() { released_depth_ = hold_.ReleaseAll(); }

void TRecordChnl_VC::OnWaitEnd() {
  hold_.Restore(released_depth_);
  released_depth_ = 0;
}

void TRecordChnl_VC::RaiseTrampoline(void *self) {
  auto *worker = static_cast<TRecordChnl_VC *>(self);
  RaiseOp op = worker->pending_raise_;
  (worker->*op)();
}

void TRecordChnl_VC::Raise(RaiseOp op) {
  pending_raise_ = op;
  Synchronize(threading::SyncCall{&RaiseTrampoline, this});
}

}  // namespace talo::channel

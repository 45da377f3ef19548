#include "callflow/worker_programs.h"

#include "callflow/line_loop.h"
#include "callflow/trunk_loop.h"
#include "channel/record_channel.h"
#include "driver/channel_type.h"

namespace talo::callflow {
namespace {

// A channel with a worker and nothing to do. It waits on the stop request
// itself, so deactivation need not sit out a sleep; the 100 ms limit is how
// late a terminating host is noticed.
class IdleProgram : public channel::WorkerProgram {
 public:
  explicit IdleProgram(channel::TRecordChnl_VC &worker) : w_(worker) {}
  void Run() override {
    while (w_.ShouldRun()) w_.WaitForStop(kTerminationPollMs);
  }

 private:
  static constexpr uint32_t kTerminationPollMs = 100;
  channel::TRecordChnl_VC &w_;
};

}  // namespace

std::unique_ptr<channel::WorkerProgram> ProgramFor(channel::TRecordChnl_VC &worker) {
  switch (driver::WorkerKindOf(worker.Id.ChannelType)) {
    case driver::WorkerKind::kLine: return std::make_unique<LineLoop>(worker);
    case driver::WorkerKind::kTrunk: return std::make_unique<TrunkLoop>(worker);
    case driver::WorkerKind::kIdle: return std::make_unique<IdleProgram>(worker);
    case driver::WorkerKind::kNone: break;
  }
  return nullptr;
}

}  // namespace talo::callflow

// The trunk and user loop: the work of a trunk channel paired with a station
// phone. Each pass takes one captured buffer (all of them when a blocking step
// left a backlog), checks the record length limit, looks for a new call while
// idle, and lets the procedure that owns the call advance by one step.
#pragma once
#include "callflow/loop_state.h"
#include "channel/worker_program.h"

namespace talo::channel {
class TRecordChnl_VC;
}

namespace talo::callflow {

class TrunkLoop : public channel::WorkerProgram {
 public:
  explicit TrunkLoop(channel::TRecordChnl_VC &worker) : w_(worker) {}

  // Start, then a pass every PassMs milliseconds until the worker is asked to stop or
  // the host terminates. Nothing is raised on the way out.
  void Run() override;

  // One step at a time, for tests on the owner thread; each takes the hold.
  void Start();
  // One pass without its leading sleep; a failure ends the pass only.
  void Pass();

  TrunkLoopState &State() { return s_; }

 private:
  void LookForNewCall();
  void Dispatch();
  void TraceOnChange();

  channel::TRecordChnl_VC &w_;
  TrunkLoopState s_;  // worker thread only
};

}  // namespace talo::callflow

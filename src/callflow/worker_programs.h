// The program activation gives a worker, by the driver type of its channel.
#pragma once
#include <memory>

#include "channel/worker_program.h"

namespace talo::channel {
class TRecordChnl_VC;
}

namespace talo::callflow {

// The line loop, the trunk loop, or idling until the stop; nullptr for a
// type that gets no worker.
std::unique_ptr<channel::WorkerProgram> ProgramFor(channel::TRecordChnl_VC &worker);

}  // namespace talo::callflow

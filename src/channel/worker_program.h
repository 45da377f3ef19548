// What a worker does on its thread. Activation hands each worker its
// program (the line loop, the trunk loop, or idling), so the worker knows
// nothing of the loops above it.
#pragma once

namespace talo::channel {

class WorkerProgram {
 public:
  virtual ~WorkerProgram() = default;
  // Worker thread: runs until the worker is asked to stop or the host
  // terminates. May raise: the worker's thread body catches it.
  virtual void Run() = 0;
};

}  // namespace talo::channel

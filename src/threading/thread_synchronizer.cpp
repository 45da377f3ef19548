#include "threading/thread_synchronizer.h"

#include "platform/debug_output.h"
#include "platform/thread_id.h"
#include "threading/sync_manager.h"

namespace talo::threading {

TclThreadSynchronizer::TclThreadSynchronizer() : OwnerThreadId_(platform::CurrentThreadId()) {
  TclSynchronizerManager::Instance().AttachSynchronizer(this);
}

TclThreadSynchronizer::~TclThreadSynchronizer() {
  try {
    TclSynchronizerManager::Instance().DetachSynchronizer(this);
  } catch (const std::exception &e) {
    platform::DebugOutput(std::string("QV_ZPR->") + e.what());
  } catch (...) {
  }
}

void TclThreadSynchronizer::SyncCallProc(void *self_ptr) {
  auto *self = static_cast<TclThreadSynchronizer *>(self_ptr);
  self->CallError_ = nullptr;
  try {
    if (self->PendingCall_.code) self->PendingCall_.code(self->PendingCall_.context);
  } catch (...) {
    self->CallError_ = std::current_exception();
  }
}

void TclThreadSynchronizer::RunOnOwnerThread(SyncCall call) {
  CallError_ = nullptr;
  PendingCall_ = call;
  auto window = TclSynchronizerManager::Instance().RequireWindow(OwnerThreadId_);
  // Without a window the call is not run, as a message to a missing window is lost.
  if (!window) return;
  window->Send(&SyncCallProc, this);
  if (CallError_) {
    std::exception_ptr error = CallError_;
    CallError_ = nullptr;
    std::rethrow_exception(error);
  }
}

}  // namespace talo::threading

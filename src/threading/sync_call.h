#pragma once

namespace talo::threading {

// A call handed to another thread: the code is invoked with the context as its
// only argument.
struct SyncCall {
  void (*code)(void *context) = nullptr;
  void *context = nullptr;
};

}  // namespace talo::threading

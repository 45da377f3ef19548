// No failure may cross the C boundary: every export runs its body through
// this guard and answers its usual refusal value when something was raised.
#pragma once
#include <exception>

#include "platform/debug_trace.h"

namespace talo::host {

template <typename R, typename F>
R ExportGuard(R refusal, F &&body) noexcept {
  try {
    return body();
  } catch (const std::exception &e) {
    try {
      platform::DebugTrace(-1, e.what());
    } catch (...) {
    }
  } catch (...) {
  }
  return refusal;
}

template <typename F>
void ExportGuardVoid(F &&body) noexcept {
  try {
    body();
  } catch (const std::exception &e) {
    try {
      platform::DebugTrace(-1, e.what());
    } catch (...) {
    }
  } catch (...) {
  }
}

}  // namespace talo::host

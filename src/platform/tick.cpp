#include "platform/tick.h"

#include <atomic>
#include <cstdlib>
#include <ctime>

namespace talo::platform {
namespace {

uint32_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

// Written by tests and at first use; read by every thread.
std::atomic<TickSource> g_source{nullptr};
std::atomic<uint32_t> g_offset{0};

struct EnvStart {
  EnvStart() {
    if (const char *start = std::getenv("TALO_TICK_START")) {
      char *end = nullptr;
      unsigned long long v = std::strtoull(start, &end, 0);
      if (end != start) SetTickStart(static_cast<uint32_t>(v));
    }
  }
} g_env_start;

}  // namespace

uint32_t GetTickCount() {
  if (TickSource source = g_source.load(std::memory_order_acquire)) return source();
  return MonotonicMs() + g_offset.load(std::memory_order_relaxed);
}

void SetTickSource(TickSource source) { g_source.store(source, std::memory_order_release); }

void SetTickStart(uint32_t first_tick) {
  g_offset.store(first_tick - MonotonicMs(), std::memory_order_relaxed);
}

}  // namespace talo::platform

// The finished calls the benchmarks fill an index with: a 90 s call that
// was answered after 3 s, on one of 64 channels, from one of 100,000 callers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "call_index.h"

namespace talo_bench {

inline talo_recorder::CallRow BenchCall(int64_t i, int32_t channel, int64_t caller, int64_t start_ms) {
  talo_recorder::CallRow r;
  r.channel = channel;
  r.direction = "line";
  r.number = "555" + std::to_string(1000000 + caller).substr(1);
  r.start_ms = start_ms;
  r.answer_ms = start_ms + 3000;
  r.end_ms = start_ms + 90000;
  r.duration_ms = 87000;
  r.bytes = 87000 / 63 * 256;
  r.path = "2026/x/ch" + std::to_string(channel) + "_" + std::to_string(i) + ".v";
  r.state = talo_recorder::CallState::kDone;
  return r;
}

// Writes calls 0..calls-1 made by `make(i)`, 50,000 to a bulk insert.
template <typename Make>
void FillIndex(talo_recorder::CallIndex &index, int64_t calls, Make make) {
  std::vector<talo_recorder::CallRow> batch;
  for (int64_t i = 0; i < calls; ++i) {
    batch.push_back(make(i));
    if (batch.size() == 50000 || i + 1 == calls) {
      index.BulkInsert(batch);
      batch.clear();
    }
  }
}

}  // namespace talo_bench

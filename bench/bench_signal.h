// Line-like test audio for the benchmarks: two tones under a slow swell, with noise.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace talo_bench {

inline std::vector<int16_t> MakeLineSignal(size_t samples, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<int16_t> out(samples);
  constexpr double kPi = 3.14159265358979323846;
  for (size_t n = 0; n < samples; ++n) {
    const double t = static_cast<double>(n) / 8000.0;
    const double swell = 0.55 + 0.45 * std::sin(2 * kPi * 0.3 * t);
    const double v = swell * (8000 * std::sin(2 * kPi * 350 * t) + 5000 * std::sin(2 * kPi * 1780 * t)) +
                     noise(rng);
    out[n] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
  }
  return out;
}

}  // namespace talo_bench

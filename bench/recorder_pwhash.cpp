// talo-recorder's password hashes: how long one argon2id hash takes at a few
// costs, the best of N each, to pick the one that takes 0.1-0.5 s here.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "accounts.h"

int main(int argc, char **argv) {
  CLI::App app{"Times talo-recorder's password hash at a few costs"};
  int rounds = 3;
  app.add_option("--rounds", rounds, "hashes per cost (the best is shown)")->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  const struct {
    uint64_t ops;
    size_t mib;
  } costs[] = {{2, 64}, {3, 64}, {3, 128}, {3, 256}};
  for (const auto &c : costs) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
      const auto start = std::chrono::steady_clock::now();
      talo_recorder::HashPassword("correct horse battery", {c.ops, c.mib << 20});
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%llu operations, %zu MiB: %.3f s%s\n", static_cast<unsigned long long>(c.ops), c.mib, best,
                c.ops == talo_recorder::HashCost{}.ops && (c.mib << 20) == talo_recorder::HashCost{}.mem
                    ? " (the recorder's)"
                    : "");
  }
  return 0;
}

// talo-recorder's call index: fills a database with N calls (numbers spread
// over 100,000 callers, 64 channels, a year of start times) and times the
// console's searches on it: by a whole number, by a prefix, by channel and
// by a day's range, each the first page of 50 with the total count.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "bench_calls.h"
#include "call_index.h"

int main(int argc, char **argv) {
  CLI::App app{"Times searches in talo-recorder's call index"};
  int64_t calls = 1000000;
  int rounds = 200;
  std::string db = "recorder_search.sqlite";
  app.add_option("--calls", calls, "calls in the index");
  app.add_option("--rounds", rounds, "searches of each kind");
  app.add_option("--db", db, "database file (made afresh)");
  CLI11_PARSE(app, argc, argv);
  std::filesystem::remove(db);
  std::filesystem::remove(db + "-wal");
  std::filesystem::remove(db + "-shm");
  talo_recorder::CallIndex index(db, "/nonexistent", [](const std::string &line) {
    std::fprintf(stderr, "%s\n", line.c_str());
  });
  index.Open();
  std::mt19937_64 random(7);
  const int64_t year_start = 1767225600000;  // 2026-01-01
  auto number = [](int64_t n) { return "555" + std::to_string(1000000 + n).substr(1); };
  const auto fill_start = std::chrono::steady_clock::now();
  talo_bench::FillIndex(index, calls, [&](int64_t i) {
    const auto channel = static_cast<int32_t>(random() % 64);
    const auto caller = static_cast<int64_t>(random() % 100000);
    return talo_bench::BenchCall(i, channel, caller, year_start + static_cast<int64_t>(random() % (365LL * 86400000)));
  });
  std::printf("filled %lld calls in %.1f s\n", static_cast<long long>(calls),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - fill_start).count());
  struct Kind {
    const char *name;
    std::function<talo_recorder::CallQuery(int)> query;
  } kinds[] = {
      {"whole number", [&](int i) { return talo_recorder::CallQuery{.number = number(i * 397 % 100000)}; }},
      {"number prefix (100 numbers)", [&](int i) {
         return talo_recorder::CallQuery{.number = number(i * 397 % 100000).substr(0, 6)};
       }},
      {"channel, one day", [&](int i) {
         const int64_t day = year_start + (i % 365) * 86400000LL;
         return talo_recorder::CallQuery{.channel = i % 64, .from_ms = day, .to_ms = day + 86400000};
       }},
      {"one day, page 3", [&](int i) {
         const int64_t day = year_start + (i % 365) * 86400000LL;
         return talo_recorder::CallQuery{.from_ms = day, .to_ms = day + 86400000, .offset = 100};
       }},
  };
  for (const Kind &k : kinds) {
    std::vector<double> ms;
    int64_t found = 0;
    for (int i = 0; i < rounds; ++i) {
      const auto q = k.query(i);
      const auto t0 = std::chrono::steady_clock::now();
      const auto page = index.Search(q);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      found += page.total;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-28s median %.3f ms  p99 %.3f ms  max %.3f ms  (%.1f calls found on average)\n", k.name,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), static_cast<double>(found) / rounds);
  }
  index.Close();
  return 0;
}

// talo-recorder's shipper: fills a node's index with N finished calls (their
// outbox with them) and times shipping the whole outbox to a central
// PostgreSQL index, batch after batch, as the shipper's thread does.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench_calls.h"
#include "call_index.h"
#include "shipper.h"

int main(int argc, char **argv) {
  CLI::App app{"Times shipping talo-recorder's call rows to a central PostgreSQL index"};
  int64_t calls = 200000;
  int32_t batch = 500;
  std::string db = "recorder_ship.sqlite";
  std::string url;
  std::string node = "bench";
  app.add_option("--calls", calls, "calls in the outbox");
  app.add_option("--batch", batch, "rows per upsert");
  app.add_option("--db", db, "local index file (made afresh)");
  app.add_option("--url", url, "the central index (PostgreSQL URI)")->required();
  app.add_option("--node", node, "the node the rows go under");
  CLI11_PARSE(app, argc, argv);
  for (const char *suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
  const auto say = [](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  talo_recorder::CallIndex index(db, "/nonexistent", say, node);
  index.Open();
  talo_bench::FillIndex(index, calls, [&](int64_t i) {
    auto r = talo_bench::BenchCall(i, static_cast<int32_t>(i % 64), i % 100000, 1767225600000 + i * 1000);
    r.node = node;
    return r;
  });
  index.Close();
  talo_recorder::Shipper shipper(url, batch, db, node, say);
  try {
    shipper.Connect();
    const auto t0 = std::chrono::steady_clock::now();
    size_t shipped = 0;
    while (const size_t n = shipper.ShipBatch()) shipped += n;
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("shipped %zu rows in batches of %d in %.2f s: %.0f rows/s\n", shipped, batch, s, shipped / s);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "recorder_ship: %s\n", e.what());
    return 1;
  }
  return 0;
}

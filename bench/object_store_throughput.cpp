// Object-store throughput: a file of N MB put to and read back from an S3
// gateway through ObjectStore, against reading the same file locally, each
// run a few times with the best kept. The gateway is started by
// bench/object_store_throughput.sh.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "integrity.h"
#include "object_store.h"
#include "safe_fs.h"

using talo_recorder::ObjectStore;

namespace {

double BestSeconds(int runs, const std::function<bool()> &run) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto begin = std::chrono::steady_clock::now();
    if (!run()) return -1;
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"ObjectStore throughput against an S3 gateway"};
  talo_recorder::ObjectStoreConfig config;
  std::string folder = "/tmp";
  int mb = 50, runs = 3;
  app.add_option("--endpoint", config.endpoint)->required();
  app.add_option("--access", config.access_key)->required();
  app.add_option("--secret", config.secret_key)->required();
  app.add_option("--bucket", config.bucket)->default_val("talo-bench");
  app.add_option("--folder", folder, "where the local file is written");
  app.add_option("--mb", mb);
  app.add_option("--runs", runs);
  CLI11_PARSE(app, argc, argv);

  const ObjectStore store(config);
  store.CreateBucket();
  if (const auto check = store.Check(); !check.ok) {
    std::fprintf(stderr, "%s\n", check.message.c_str());
    return 2;
  }
  const int64_t bytes = int64_t{mb} << 20;
  {
    std::vector<char> data(static_cast<size_t>(bytes));
    std::mt19937_64 random(1);
    for (char &c : data) c = static_cast<char>(random());
    std::ofstream(folder + "/object-bench.bin", std::ios::binary).write(data.data(), bytes);
  }
  const auto digest = talo_recorder::HashFileUnder(folder, "object-bench.bin");
  if (!digest) return 1;

  std::vector<char> buffer(1 << 20);
  const double local = BestSeconds(runs, [&] {
    talo_recorder::Fd fd(::open((folder + "/object-bench.bin").c_str(), O_RDONLY));
    int64_t total = 0;
    for (ssize_t got; (got = ::read(fd.Get(), buffer.data(), buffer.size())) > 0;) total += got;
    return total == bytes;
  });
  const double put = BestSeconds(runs, [&] {
    talo_recorder::Fd fd(::open((folder + "/object-bench.bin").c_str(), O_RDONLY));
    const auto result = store.Put("bench/object.bin", fd.Get(), bytes, digest->sha256);
    if (!result.ok) std::fprintf(stderr, "%s\n", result.message.c_str());
    return result.ok;
  });
  const double get = BestSeconds(runs, [&] {
    int64_t total = 0;
    const auto result = store.Get("bench/object.bin", 0, -1, [&](std::string_view part) {
      total += static_cast<int64_t>(part.size());
      return true;
    });
    if (!result.ok) std::fprintf(stderr, "%s\n", result.message.c_str());
    return result.ok && total == bytes;
  });
  store.Delete("bench/object.bin");
  ::unlink((folder + "/object-bench.bin").c_str());
  if (local < 0 || put < 0 || get < 0) return 1;
  const double megabytes = static_cast<double>(bytes) / (1 << 20);
  std::printf("%d MB, best of %d\n", mb, runs);
  std::printf("local read   %8.3f s  %8.1f MB/s\n", local, megabytes / local);
  std::printf("gateway GET  %8.3f s  %8.1f MB/s  (%.1fx the local read's time)\n", get, megabytes / get, get / local);
  std::printf("gateway PUT  %8.3f s  %8.1f MB/s\n", put, megabytes / put);
  return 0;
}

// talo-recorder's retention sweep over a large index: N finished calls over
// three years (the older half past a 365-day retention, each with a small
// file in its day folder), then one sweep, timed, while a second thread keeps
// writing the rows of calls in progress through the index's own writer, as
// the recorder does, and times how long each round of rows waits for the file.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audit_log.h"
#include "call_index.h"
#include "config.h"
#include "retention.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// "YYYY/MM/DD" of an epoch ms, UTC.
std::string DayFolder(int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char text[40];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Times one retention sweep over a large index while calls in progress are written"};
  int64_t calls = 1000000;
  std::string dir = "recorder_sweep_work";
  bool files = true;
  int live = 64;
  int every_ms = 100;
  app.add_option("--calls", calls, "finished calls in the index, half of them expired");
  app.add_option("--dir", dir, "work folder (made afresh, removed at the end)");
  app.add_option("--files", files, "write a file for every expired call (false: the sweep finds them missing)");
  app.add_option("--live", live, "calls in progress written meanwhile");
  app.add_option("--every-ms", every_ms, "milliseconds between two rounds of their rows");
  CLI11_PARSE(app, argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each step as it ends, also into a file
  fs::remove_all(dir);
  const fs::path root = fs::absolute(dir) / "rec";
  fs::create_directories(root);
  const std::string db = (root / "index.sqlite").string();
  talo_recorder::CallIndex index(db, root.string(), [](const std::string &line) {
    std::fprintf(stderr, "%s\n", line.c_str());
  });
  // Opened empty: the rows below go in without the start's scan or hashing.
  index.Open();

  const int64_t now = *talo_recorder::ParseDay("2026-01-01");
  const int64_t year = 365 * talo_recorder::kDayMs;
  const int64_t expired = calls / 2;
  auto fill_start = Clock::now();
  std::vector<talo_recorder::CallRow> batch;
  std::vector<std::string> expired_paths;
  for (int64_t i = 0; i < calls; ++i) {
    talo_recorder::CallRow r;
    r.channel = static_cast<int32_t>(i % 64);
    r.direction = "line";
    // The older half over the two years before the last one, the rest over the last year.
    r.start_ms = i < expired ? now - 3 * year + i * (2 * year - talo_recorder::kDayMs) / expired
                             : now - year + talo_recorder::kDayMs + (i - expired) * (year - 2 * talo_recorder::kDayMs) /
                                                                        (calls - expired);
    r.end_ms = r.start_ms + 90000;
    r.duration_ms = 90000;
    r.bytes = 256;
    r.path = DayFolder(r.start_ms) + "/ch" + std::to_string(r.channel) + "_" + std::to_string(i) + ".v";
    r.state = talo_recorder::CallState::kDone;
    if (i < expired && files) expired_paths.push_back(r.path);
    batch.push_back(std::move(r));
    if (batch.size() == 50000 || i + 1 == calls) {
      index.BulkInsert(batch);
      batch.clear();
    }
  }
  std::printf("filled %lld calls in %.1f s\n", static_cast<long long>(calls), Seconds(fill_start));
  fill_start = Clock::now();
  const std::string block(256, 'x');
  std::string made;
  for (const std::string &path : expired_paths) {
    const std::string folder = path.substr(0, 10);
    if (folder != made) fs::create_directories(root / folder), made = folder;
    const int fd = ::open((root / path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    ::close(fd);
  }
  if (files)
    std::printf("wrote %zu files in %.1f s\n", expired_paths.size(), Seconds(fill_start));

  talo_recorder::RetentionConfig config;
  config.days = 365;
  // The trail takes a row per purge, as in the recorder: its writer shares the file too.
  talo_recorder::AuditLog audit(db);
  talo_recorder::Retention retention(db, root.string(), config, &audit, [](const std::string &line) {
    std::fprintf(stderr, "%s\n", line.c_str());
  });

  // The calls in progress: each round the rows of all of them grow, as the
  // recorder's event path queues them; the wait is until the writer has
  // them all in the file.
  std::atomic<bool> sweeping{true};
  std::vector<double> waits_ms;
  std::thread writer([&] {
    std::vector<talo_recorder::CallRow> rows(static_cast<size_t>(live));
    for (int c = 0; c < live; ++c) {
      rows[c].channel = c;
      rows[c].direction = "incoming";
      rows[c].start_ms = now;
      rows[c].path = "live/ch" + std::to_string(c) + ".v";
      rows[c].state = talo_recorder::CallState::kRecording;
    }
    auto next = Clock::now();
    while (sweeping) {
      const auto t0 = Clock::now();
      for (auto &r : rows) {
        r.bytes += 2560;
        index.Put(r);
      }
      while (!index.Idle()) std::this_thread::sleep_for(std::chrono::microseconds(200));
      waits_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      next += std::chrono::milliseconds(every_ms);
      std::this_thread::sleep_until(next);
    }
  });
  const auto sweep_start = Clock::now();
  const talo_recorder::SweepResult result = retention.Sweep(now);
  const double sweep_s = Seconds(sweep_start);
  audit.Flush();
  const double audited_s = Seconds(sweep_start);
  sweeping = false;
  writer.join();
  std::printf("sweep: %lld of %lld expired calls purged (%lld bytes) in %.2f s, %.0f calls/s; audit rows all written "
              "at %.2f s\n",
              static_cast<long long>(result.purged), static_cast<long long>(expired),
              static_cast<long long>(result.bytes), sweep_s, static_cast<double>(result.purged) / sweep_s, audited_s);
  std::sort(waits_ms.begin(), waits_ms.end());
  if (!waits_ms.empty())
    std::printf("rows of %d calls in progress every %d ms, %zu rounds: median %.2f ms  p99 %.2f ms  max %.2f ms\n",
                live, every_ms, waits_ms.size(), waits_ms[waits_ms.size() / 2], waits_ms[waits_ms.size() * 99 / 100],
                waits_ms.back());
  index.Close();
  fs::remove_all(dir);
  return result.purged == expired ? 0 : 1;
}

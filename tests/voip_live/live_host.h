// A host on the capture driver, as talo-recorder is: libTALO.so opened with dlopen after the
// driver was loaded by its path, a record file per call from the answer to the hang-up, and
// every event kept per channel. Real traffic on loopback; the tests need to capture there
// (root or CAP_NET_RAW) and SIPp.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "blackbox/talo_host.h"

namespace talo::voip_live {

namespace fs = std::filesystem;

// Ports of the tests' own, away from a real SIP service on this machine.
inline constexpr uint16_t kCallerSipPort = 15060, kCalleeSipPort = 15070;
inline constexpr int kNoMediaTimeoutS = 2;

struct ChannelLog {
  std::vector<std::string> events;  // "Ring 1", "CallerId 2001>3001", "OffHook 1", "Dtmf 5", "HangUp 1"
  std::vector<fs::path> files;      // one per answered call, in order
};

class LiveHost {
 public:
  static LiveHost &Get();  // loads and activates once; skips the test when it cannot capture

  blackbox::Talo &t() { return *talo_; }
  const fs::path &dir() const { return dir_; }
  // Pumps until done() or ms pass.
  template <class F>
  bool Until(int ms, F done) {
    return blackbox::PumpUntil(*talo_, ms, [&] {
      std::lock_guard lock(mu_);
      return done();
    });
  }
  // Runs a program to its end (at most `seconds`) while the host pumps; its exit status.
  int Run(const std::vector<std::string> &argv, int seconds);
  std::map<int, ChannelLog> Logs() {
    std::lock_guard lock(mu_);
    return logs_;
  }
  void Clear() {
    std::lock_guard lock(mu_);
    logs_.clear();
  }
  int32_t ChannelState(int32_t ch) const { return state_(ch); }
  // The board's counters, by name.
  uint64_t Stat(const std::string &name) const;
  bool ok() const { return ok_; }
  const std::string &why() const { return why_; }

  std::map<int, ChannelLog> logs_;  // guarded by mu_
  std::mutex mu_;

 private:
  LiveHost();
  void Add(int32_t ch, const std::string &event);

  blackbox::Talo *talo_ = nullptr;
  blackbox::EventLog events_;
  fs::path dir_;
  void *driver_ = nullptr;
  int32_t (*state_)(int32_t) = nullptr;
  int32_t (*stats_)(char *, int32_t) = nullptr;
  bool ok_ = false;
  std::string why_;
  int calls_ = 0;  // host thread only: names the record files
};

// Runs a program to its end (at most `seconds`); its exit status, or -1.
int RunProgram(const std::vector<std::string> &argv, int seconds);
// Starts a program in the background; its pid.
int StartProgram(const std::vector<std::string> &argv);
// Waits for a program started in the background (killed after `seconds`); its exit status.
int WaitProgram(int pid, int seconds);

}  // namespace talo::voip_live

// The simulated day: on the simulated board the recorder plays the scripted
// day of calls (host_kit/day.h) with the callers' speech, calls back to back
// on each extra line, and plays the day again once all is quiet. The only
// part of the recorder that drives the board itself.
//
// Threads: the host thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "config.h"
#include "host_kit/prompts.h"

namespace talo_recorder {

class SimDay {
 public:
  using Log = std::function<void(const std::string &)>;

  // What the board plays is written under <root>/.sim.
  SimDay(SimConfig config, std::string root, host_kit::Prompts prompts, Log log);
  ~SimDay();
  SimDay(const SimDay &) = delete;
  SimDay &operator=(const SimDay &) = delete;

  // Lays out `board`, the simulated board the library loaded, before the
  // library is activated, and writes the day's script and what it plays.
  // Throws std::runtime_error (or std::filesystem::filesystem_error) with the cause.
  void SetUp(void *board);
  // The day begins. Throws std::runtime_error when the board refuses the script.
  void Start();
  // One turn of the host loop: once the script has played out and nothing
  // has been open (`busy`) for the loop's pause, the day begins again.
  void Loop(bool busy);

 private:
  struct Board;

  const SimConfig config_;
  const std::string root_;
  const host_kit::Prompts prompts_;
  const Log log_;
  std::unique_ptr<Board> board_;
  std::string script_;
  std::chrono::steady_clock::time_point quiet_since_{};
  bool quiet_ = false;
};

}  // namespace talo_recorder

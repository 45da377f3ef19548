// Helpers for the live-listening tests: a fake library side (the host's
// start/stop functions and a monitor that fans blocks out like the library's
// monitor thread), a plain TCP client, block makers and child processes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "monitor_server.h"
#include "talo/talo.h"

namespace talo::tools::test {

using Bytes = std::vector<uint8_t>;

// Plays the library: start/stop register listeners per channel; Send fans one
// block out to a channel's listeners the way the monitor thread does (skip
// the not connected, disconnect on a failed write). The lock is held for a
// block's fan-out, so Stop returns only once no fan-out uses the listener.
class FakeLibrary {
 public:
  bool Start(int32_t ch, QV_MonitorListener *listener);
  void Stop(int32_t ch, QV_MonitorListener *listener);
  // Sends one block to every listener of ch; returns how many writes succeeded.
  int Send(int32_t ch, const uint8_t *block, int32_t size);

  MonitorServer::StartFunction StartFunction() {
    return [this](int32_t ch, QV_MonitorListener *l) { return Start(ch, l); };
  }
  MonitorServer::StopFunction StopFunction() {
    return [this](int32_t ch, QV_MonitorListener *l) { Stop(ch, l); };
  }

  void Refuse(int32_t ch) {
    std::lock_guard lock(mutex_);
    refused_.insert(ch);
  }
  // Listeners registered now on ch, in registration order.
  std::vector<QV_MonitorListener *> Listeners(int32_t ch);
  std::vector<QV_MonitorListener *> Stopped();
  size_t FailedWrites(QV_MonitorListener *listener);
  size_t StartCalls();
  // True when every start/stop ran on the thread that constructed this object.
  bool AllCallsOnHostThread();

 private:
  std::mutex mutex_;                                        // guards everything below
  std::map<int32_t, std::vector<QV_MonitorListener *>> by_channel_;
  std::set<int32_t> refused_;
  std::vector<QV_MonitorListener *> stopped_;
  std::map<QV_MonitorListener *, size_t> failed_writes_;
  size_t start_calls_ = 0;
  const std::thread::id host_thread_ = std::this_thread::get_id();
  bool off_thread_call_ = false;
};

// Runs the host side (HostFd + ProcessHost) until done() or the time is up.
bool PumpUntil(MonitorServer &server, const std::function<bool()> &done,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// A blocking TCP client on 127.0.0.1 with a receive time-out.
class TestClient {
 public:
  // receive_buffer > 0 sets SO_RCVBUF before connecting (a small window).
  explicit TestClient(uint16_t port, int receive_buffer = 0);
  ~TestClient();
  TestClient(const TestClient &) = delete;
  TestClient &operator=(const TestClient &) = delete;

  void Send(const std::string &text);
  // Reads up to and including "\n"; empty on time-out or close.
  std::string ReadLine(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  // Reads exactly n bytes; fewer on time-out or close.
  Bytes Read(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  // Reads until the server closes; the bytes received. *closed says whether it did.
  Bytes ReadToEnd(bool *closed, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;  // test thread that owns the client
};

// A recognisable 136-byte block: four frames with the 0xD signature, each
// followed by a zero byte, the rest derived from n.
Bytes MakeBlock(uint32_t n);

// `count` blocks of real GSM 06.10 frames encoding a tone sweep with noise.
std::vector<Bytes> MakeGsmBlocks(size_t count);

// The build tree (TALO_BUILD_DIR, else two levels above this program).
std::string BuildDir();

// A fresh folder removed with its contents afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;  // set once
};

Bytes ReadFile(const std::string &path);
bool FileExists(const std::string &path);

// A child process with its output streams captured into files.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::string &capture_dir);
  ~Child();
  // Waits for the exit; the exit code, or -1 if it did not end normally or
  // within the limit (then it is killed).
  int Wait(std::chrono::milliseconds limit = std::chrono::milliseconds(15000));
  std::string Stderr() const;
  void Signal(int signal_number);

 private:
  int pid_ = -1;             // test thread only
  std::string err_path_;
  bool waited_ = false;
};

}  // namespace talo::tools::test

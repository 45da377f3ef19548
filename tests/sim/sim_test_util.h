// Helpers shared by the simulated-board tests: a reference IMA ADPCM decoder, a WAV
// writer, a scratch directory, and a fixture that puts the board back to its defaults.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/ima_reference.h"
#include "talo/tvcdrv.h"
#include "tvcsim.h"

namespace simtest {

// The board's blocks decoded by the tests' reference decoder.
using DecodeState = talo_test::ReferenceState;
inline DecodeState DecodeBlock(const uint8_t* block, int16_t* out504) {
  return talo_test::ReferenceDecodeBlock(block, out504);
}

inline std::vector<int16_t> DecodeBuffer(const uint8_t* buffer2560) {
  std::vector<int16_t> out(5040);
  for (int b = 0; b < 10; ++b) DecodeBlock(buffer2560 + 256 * b, out.data() + 504 * b);
  return out;
}

// Signal-to-noise ratio in dB of `got` against `want`.
inline double SnrDb(const std::vector<int16_t>& want, const std::vector<int16_t>& got) {
  double sig = 0;
  double err = 0;
  for (size_t i = 0; i < want.size() && i < got.size(); ++i) {
    sig += static_cast<double>(want[i]) * want[i];
    const double d = static_cast<double>(want[i]) - got[i];
    err += d * d;
  }
  return 10.0 * std::log10(sig / std::max(err, 1e-9));
}

inline std::vector<int16_t> Sine(int count, double hz, double amplitude, double phase = 0) {
  std::vector<int16_t> s(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    s[static_cast<size_t>(i)] =
        static_cast<int16_t>(std::lround(amplitude * std::sin(phase + 2 * M_PI * hz * i / 8000.0)));
  }
  return s;
}

inline void PutLe(std::vector<uint8_t>& v, uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

struct WavLayout {
  uint16_t format = 1;
  uint16_t channels = 1;
  uint32_t rate = 8000;
  uint16_t bits = 16;
  bool list_chunk_first = false;  // an odd-sized LIST chunk before fmt
  bool data_before_fmt = false;
};

inline std::vector<uint8_t> MakeWav(const std::vector<int16_t>& samples, WavLayout layout = {}) {
  std::vector<uint8_t> fmt;
  PutLe(fmt, layout.format, 2);
  PutLe(fmt, layout.channels, 2);
  PutLe(fmt, layout.rate, 4);
  const uint16_t align = static_cast<uint16_t>(layout.channels * layout.bits / 8);
  PutLe(fmt, layout.rate * align, 4);
  PutLe(fmt, align, 2);
  PutLe(fmt, layout.bits, 2);
  std::vector<uint8_t> data;
  for (int16_t s : samples) PutLe(data, static_cast<uint16_t>(s), 2);
  std::vector<uint8_t> body;
  auto chunk = [&](const char* id, const std::vector<uint8_t>& content) {
    body.insert(body.end(), id, id + 4);
    PutLe(body, static_cast<uint32_t>(content.size()), 4);
    body.insert(body.end(), content.begin(), content.end());
    if (content.size() & 1) body.push_back(0);
  };
  if (layout.list_chunk_first) chunk("LIST", {'I', 'N', 'F', 'O', 'x'});
  if (layout.data_before_fmt) chunk("data", data);
  chunk("fmt ", fmt);
  if (!layout.data_before_fmt) chunk("data", data);
  std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
  PutLe(file, static_cast<uint32_t>(4 + body.size()), 4);
  file.insert(file.end(), {'W', 'A', 'V', 'E'});
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string LogText() {
  const int32_t n = TvcSimGetCallLog(nullptr, 0);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  TvcSimGetCallLog(s.data(), n + 1);
  s.resize(static_cast<size_t>(n));
  return s;
}

inline std::string LogLine(int32_t index) {
  char buf[512];
  if (TvcSimGetCallLogLine(index, buf, sizeof buf) < 0) return "<none>";
  return buf;
}

// A record-buffer owner as the library would be: two buffers, re-armed from the callback
// unless told not to; every delivery is copied out.
struct Recorder {
  struct Got {
    int32_t ch;
    int32_t unused;
    void* buffer;
    int32_t last;
    std::vector<uint8_t> bytes;
  };
  // Written by the board while armed, read by the callback on the delivery thread.
  alignas(16) uint8_t halves[2][TVC_RECORD_BUFFER_SIZE] = {};
  const int32_t ch;
  std::atomic<bool> rearm{true};
  std::mutex mu;
  std::vector<Got> got;  // guarded by mu

  explicit Recorder(int32_t channel) : ch(channel) {}
  // No callback may reach a recorder that is gone.
  ~Recorder() { TvcStopRecord(ch); }

  static void Callback(int32_t ch, int32_t unused, void* buffer, int32_t last, void* context) {
    auto* self = static_cast<Recorder*>(context);
    {
      std::lock_guard<std::mutex> lk(self->mu);
      const auto* b = static_cast<const uint8_t*>(buffer);
      self->got.push_back({ch, unused, buffer, last, std::vector<uint8_t>(b, b + last + 1)});
    }
    if (self->rearm) {
      TvcStartDualBuffRecordC(ch, TVC_RECORD_FORMAT_IMA_ADPCM, buffer, TVC_RECORD_BUFFER_SIZE,
                              &Recorder::Callback, self);
    }
  }

  void Arm() {
    for (auto& h : halves) {
      ASSERT_EQ(0, TvcStartDualBuffRecordC(ch, TVC_RECORD_FORMAT_IMA_ADPCM, h,
                                           TVC_RECORD_BUFFER_SIZE, &Recorder::Callback, this));
    }
  }

  size_t Count() {
    std::lock_guard<std::mutex> lk(mu);
    return got.size();
  }
  std::vector<Got> Copy() {
    std::lock_guard<std::mutex> lk(mu);
    return got;
  }
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvcSimReset();
    // Tests drive delivery and time by hand unless they say otherwise.
    TvcSimSetTimeScale(0);
    char tmpl[] = "/tmp/tvcsim-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    TvcSimReset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace simtest

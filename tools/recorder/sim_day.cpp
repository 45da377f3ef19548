// The simulated day on the simulated board: its layout, the script, looping it.
#include "sim_day.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "audio/wav.h"
#include "host_kit/day.h"
#include "host_kit/fax_desk.h"
#include "host_kit/library.h"
#include "tvcsim.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;

// A voice of sorts for the simulated callers when none is configured: four
// seconds of vowel-like harmonics in syllables, so the recordings are not silent.
void WriteMadeUpVoice(const fs::path &file) {
  constexpr int kRate = 8000, kSamples = 4 * kRate;
  std::vector<int16_t> pcm(kSamples);
  for (int i = 0; i < kSamples; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double pitch = 140 + 30 * std::sin(2 * M_PI * 0.7 * t);
    const double envelope = std::pow(std::max(0.0, std::sin(2 * M_PI * 2.5 * t)), 2);
    double v = 0;
    for (int h = 1; h <= 6; ++h) v += std::sin(2 * M_PI * pitch * h * t) / h;
    pcm[i] = static_cast<int16_t>(6000 * envelope * v);
  }
  const auto header = talo::audio::MakePcmWavHeader(kSamples, kRate);
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char *>(header.data()), header.size());
  out.write(reinterpret_cast<const char *>(pcm.data()), kSamples * 2);
  if (!out.flush()) throw std::runtime_error("cannot write '" + file.string() + "'");
}

// Extra lines: calls back to back, each for the whole length of one call.
std::string ExtraLinesScript(const SimConfig &config, const std::string &speech) {
  std::string script;
  for (int32_t i = 0; i < config.extra_lines; ++i) {
    const int32_t ch = host_kit::kDayChannels + i;
    const std::string on = " ch " + std::to_string(ch) + " ";
    const std::string at = "at " + std::to_string(200 + 37 * i) + on;
    const std::string answer = "at " + std::to_string(1200 + 37 * i) + on;
    const std::string end = "at " + std::to_string(200 + 37 * i + config.extra_call_ms) + on;
    script += at + "state 3\n" + at + "rings 1\n" + at + "callerid 555" + std::to_string(1000 + ch) + "\n";
    script += answer + "state 2\n" + answer + "wavloop " + speech + "\n";
    script += end + "state 0\n" + end + "silence\n";
  }
  return script;
}

}  // namespace

#define TALO_RECORDER_BOARD_CONTROLS(X)                                                        \
  X(TvcSimSetChannelTotal) X(TvcSimSetChannelType) X(TvcSimSetTimeScale) X(TvcSimLoadScript) \
  X(TvcSimStartScript) X(TvcSimGetPendingEvents)

struct SimDay::Board {
  TALO_RECORDER_BOARD_CONTROLS(HOST_KIT_FIELD)
};

SimDay::SimDay(SimConfig config, std::string root, host_kit::Prompts prompts, Log log)
    : config_(std::move(config)), root_(std::move(root)), prompts_(std::move(prompts)), log_(std::move(log)) {}

SimDay::~SimDay() = default;

void SimDay::SetUp(void *board) {
  board_ = std::make_unique<Board>();
  bool complete = true;
#define BIND(name) complete = (board_->name = HOST_KIT_SYMBOL(board, name)) && complete;
  TALO_RECORDER_BOARD_CONTROLS(BIND)
#undef BIND
  if (!complete) throw std::runtime_error("the simulated board lacks a control the recorder needs");

  const int32_t total = host_kit::kDayChannels + config_.extra_lines;
  board_->TvcSimSetChannelTotal(total);
  for (int32_t ch = 0; ch < total; ++ch) board_->TvcSimSetChannelType(ch, host_kit::DriverTypeOf(ch));
  board_->TvcSimSetTimeScale(config_.speed);

  std::string speech = config_.speech;
  const fs::path sim_dir = fs::path(root_) / ".sim";
  fs::create_directories(sim_dir);
  if (speech.empty()) {
    speech = (sim_dir / "voice.wav").string();
    if (!fs::exists(speech)) WriteMadeUpVoice(speech);
  }
  const host_kit::DayPages pages = host_kit::WriteDayPages(sim_dir);

  const host_kit::DayTimes times = host_kit::MeasureDay(prompts_, speech);
  // The recorder makes no requests of its own: the day's calls by people only.
  script_ = host_kit::PlanDay({speech, times, pages.letter, pages.far_page, {}}).script;
  script_ += ExtraLinesScript(config_, speech);
}

void SimDay::Start() {
  char error[256] = "";
  if (board_->TvcSimLoadScript(script_.c_str(), error, sizeof error) != 0)
    throw std::runtime_error(std::string("the day's script: ") + error);
  board_->TvcSimStartScript();
  quiet_ = false;
  log_("sim: the scripted day begins");
}

void SimDay::Loop(bool busy) {
  if (!config_.loop) return;
  const auto now = std::chrono::steady_clock::now();
  if (busy || board_->TvcSimGetPendingEvents() != 0) {
    quiet_ = false;
    return;
  }
  if (!quiet_) {
    quiet_ = true;
    quiet_since_ = now;
  }
  if (now - quiet_since_ >= std::chrono::milliseconds(config_.loop_pause_ms)) Start();
}

}  // namespace talo_recorder

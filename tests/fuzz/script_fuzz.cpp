// Fuzzes the simulated board's line-script parser (and, through its wav and faxsource
// events, the WAV reader) and holds every script it accepts to the language's rules.
//
// Input: one byte for the channel total, then the script. Text after a line "@@" is not
// script: it becomes the file "f.wav" in the script's folder, which the script may name.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "audio_source.h"
#include "script.h"
#include "tvcsim.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void WriteFile(const std::string &path, std::string_view bytes) {
  ::unlink(path.c_str());  // not truncated: ext4 flushes a truncated file's data on close
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

std::string Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits, size_t samples) {
  auto le = [](std::string &s, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  };
  std::string s = "RIFF";
  le(s, static_cast<uint32_t>(36 + 2 * samples), 4);
  s += "WAVEfmt ";
  le(s, 16, 4);
  le(s, format, 2);
  le(s, channels, 2);
  le(s, rate, 4);
  le(s, rate * channels * bits / 8, 4);
  le(s, channels * bits / 8, 2);
  le(s, bits, 2);
  s += "data";
  le(s, static_cast<uint32_t>(2 * samples), 4);
  for (size_t i = 0; i < samples; ++i) le(s, static_cast<uint32_t>(i * 997), 2);
  return s;
}

std::string g_dir;

void RemoveScratch() {
  for (const char *name : {"/a.wav", "/s.wav", "/page.tif", "/f.wav"}) ::unlink((g_dir + name).c_str());
  ::rmdir((g_dir + "/d").c_str());
  ::rmdir(g_dir.c_str());
}

// The script's folder, made once per process: a good and a refused WAV, a fax source.
const std::string &Dir() {
  if (g_dir.empty()) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/talo_script_fuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    g_dir = pattern;
    std::atexit(RemoveScratch);
    WriteFile(g_dir + "/a.wav", Wav(1, 1, 8000, 16, 40));
    WriteFile(g_dir + "/s.wav", Wav(1, 2, 8000, 16, 40));
    WriteFile(g_dir + "/page.tif", "II*\0fax");
    ::mkdir((g_dir + "/d").c_str(), 0755);
  }
  return g_dir;
}

bool IsError(int32_t rc) {
  return rc == TVCSIM_E_PARSE || rc == TVCSIM_E_IO || rc == TVCSIM_E_FORMAT ||
         rc == TVCSIM_E_UNSUPPORTED;
}

// What the parser promises about a script it accepted.
void CheckEvents(std::string_view script, int32_t total, const std::vector<tvcsim::ScriptEvent> &events) {
  Check(events.size() <= static_cast<size_t>(std::count(script.begin(), script.end(), '\n')) + 1);
  for (size_t i = 0; i < events.size(); ++i) {
    const tvcsim::ScriptEvent &ev = events[i];
    Check(ev.at_ms >= 0 && ev.at_ms <= INT32_MAX);
    Check(ev.channel >= 0 && ev.channel < total);
    if (i > 0) Check(events[i - 1].at_ms <= ev.at_ms);
    switch (ev.kind) {
      case tvcsim::EventKind::kCallerId:
      case tvcsim::EventKind::kIncoming:
        Check(ev.text.size() <= 127);
        break;
      case tvcsim::EventKind::kDtmf:
        Check(!ev.text.empty() && std::all_of(ev.text.begin(), ev.text.end(), tvcsim::IsDtmfDigit));
        break;
      case tvcsim::EventKind::kSamples:
        Check(ev.samples != nullptr);
        break;
      case tvcsim::EventKind::kTone:
        Check(ev.a >= 1 && ev.a <= 3999 && ev.b >= 0 && ev.b <= 32767);
        break;
      default:
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // 0 and negative totals too: the parser must refuse every channel then.
  const int32_t total = static_cast<int8_t>(data[0]) * 33;
  std::string_view script(reinterpret_cast<const char *>(data + 1), size - 1);
  std::string_view file;
  if (const size_t cut = script.find("\n@@\n"); cut != std::string_view::npos) {
    file = script.substr(cut + 4);
    script = script.substr(0, cut + 1);
  }
  const std::string &dir = Dir();
  WriteFile(dir + "/f.wav", file);

  // The WAV reader from memory and from the file must agree.
  tvcsim::SampleData from_memory, from_file;
  std::string why_memory, why_file;
  const int32_t rc_memory = tvcsim::ParseWav(reinterpret_cast<const uint8_t *>(file.data()),
                                             file.size(), &from_memory, &why_memory);
  const int32_t rc_file = tvcsim::LoadWavFile(dir + "/f.wav", &from_file, &why_file);
  Check(rc_memory == rc_file && why_memory == why_file);
  if (rc_memory == TVCSIM_OK) Check(*from_memory == *from_file && from_memory->size() <= file.size() / 2);

  std::vector<tvcsim::ScriptEvent> events;
  std::string error = "untouched";
  const int32_t rc = tvcsim::ParseScript(script, total, dir, &events, &error);
  if (rc == TVCSIM_OK) {
    Check(error == "untouched");
    CheckEvents(script, total, events);
  } else {
    Check(IsError(rc));
    Check(events.empty());
    Check(error.rfind("line ", 0) == 0 && error.size() > 5 && error[5] >= '1' && error[5] <= '9');
  }
  return 0;
}

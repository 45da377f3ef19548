#include "live_audio.h"

#include <pcap/pcap.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "blackbox/talo_host.h"

namespace talo::voip_live {

namespace fs = std::filesystem;

namespace {

std::vector<int16_t> ReadWavPcm(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<int16_t> pcm;
  if (bytes.size() < 44) return pcm;
  pcm.resize((bytes.size() - 44) / 2);
  std::memcpy(pcm.data(), bytes.data() + 44, pcm.size() * 2);
  return pcm;
}

int Shell(const std::string &command) { return std::system(command.c_str()); }

}  // namespace

std::vector<int16_t> DecodeRecordFile(const fs::path &file) {
  const fs::path wav = file.string() + ".wav";
  if (Shell("'" + blackbox::BuildDir() + "/bin/talo2wav' '" + file.string() + "' '" + wav.string() + "' > /dev/null") != 0)
    return {};
  return ReadWavPcm(wav);
}

std::vector<int16_t> DecodeAlawWithSox(const std::string &alaw, const fs::path &scratch) {
  const fs::path raw = scratch / "reference.al", wav = scratch / "reference.wav";
  std::ofstream(raw, std::ios::binary) << alaw;
  if (Shell("sox -t al -r 8000 -c 1 '" + raw.string() + "' -e signed-integer -b 16 '" + wav.string() + "'") != 0)
    return {};
  return ReadWavPcm(wav);
}

std::string AlawToneFromSox(int hz, double seconds, const fs::path &scratch) {
  const fs::path raw = scratch / "tone.al";
  if (Shell("sox -n -r 8000 -c 1 -t al '" + raw.string() + "' synth " + std::to_string(seconds) + " sine " +
            std::to_string(hz) + " vol 0.5") != 0)
    return {};
  std::ifstream in(raw, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> RtpPayloadsOf(const std::string &pcap_file) {
  std::vector<std::string> out;
  char error[PCAP_ERRBUF_SIZE];
  pcap_t *p = pcap_open_offline(pcap_file.c_str(), error);
  if (!p) return out;
  pcap_pkthdr *h = nullptr;
  const u_char *data = nullptr;
  while (pcap_next_ex(p, &h, &data) == 1) {
    // Ethernet, IPv4 without options, UDP, then the 12-byte RTP header.
    constexpr size_t kHeaders = 14 + 20 + 8 + 12;
    if (h->caplen <= kHeaders || (data[14] & 0x0F) != 5) continue;
    out.emplace_back(reinterpret_cast<const char *>(data) + kHeaders, h->caplen - kHeaders);
  }
  pcap_close(p);
  return out;
}

Match FindIn(const std::vector<int16_t> &whole, const int16_t *part, size_t n, long from, long to) {
  Match best;
  double part_energy = 0;
  for (size_t i = 0; i < n; ++i) part_energy += double(part[i]) * part[i];
  for (long lag = std::max(0L, from); lag < to && lag + long(n) <= long(whole.size()); ++lag) {
    double dot = 0, energy = 0;
    for (size_t i = 0; i < n; ++i) {
      const double w = whole[size_t(lag) + i];
      dot += w * part[i];
      energy += w * w;
    }
    const double c = dot / std::sqrt(std::max(1.0, energy * part_energy));
    if (c > best.correlation) best = Match{lag, c};
  }
  return best;
}

double SnrDb(const std::vector<int16_t> &want, const std::vector<int16_t> &got, long lag) {
  double signal = 0, noise = 0;
  for (size_t i = 0; i < want.size() && lag + long(i) < long(got.size()); ++i) {
    const double d = double(got[size_t(lag) + i]) - want[i];
    signal += double(want[i]) * want[i];
    noise += d * d;
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

double GainOf(const std::vector<int16_t> &want, const std::vector<int16_t> &got, long lag) {
  double dot = 0, energy = 0;
  for (size_t i = 0; i < want.size() && lag + long(i) < long(got.size()); ++i) {
    dot += double(got[size_t(lag) + i]) * want[i];
    energy += double(want[i]) * want[i];
  }
  return dot / std::max(energy, 1.0);
}

}  // namespace talo::voip_live

// Audio for the capture tests: record files decoded by talo2wav, references decoded by sox.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace talo::voip_live {

// The 16-bit samples of a record file, through the project's converter.
std::vector<int16_t> DecodeRecordFile(const std::filesystem::path &file);
// Raw A-law bytes decoded by sox (a decoder this project did not write).
std::vector<int16_t> DecodeAlawWithSox(const std::string &alaw, const std::filesystem::path &scratch);
// A tone made by sox as raw A-law bytes.
std::string AlawToneFromSox(int hz, double seconds, const std::filesystem::path &scratch);
// The RTP payloads of a capture file's UDP packets, in file order (Ethernet, IPv4).
std::vector<std::string> RtpPayloadsOf(const std::string &pcap_file);

// Where `part` sits best in `whole` among lags [from, to): the lag and its normalised
// correlation.
struct Match {
  long lag = -1;
  double correlation = 0;
};
Match FindIn(const std::vector<int16_t> &whole, const int16_t *part, size_t n, long from, long to);
// Signal to noise of `got` at `lag` against `want`, in dB.
double SnrDb(const std::vector<int16_t> &want, const std::vector<int16_t> &got, long lag);
// The gain of `got` at `lag` against `want` (1: the same level).
double GainOf(const std::vector<int16_t> &want, const std::vector<int16_t> &got, long lag);

}  // namespace talo::voip_live

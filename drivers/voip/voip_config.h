// The capture driver's own configuration: a JSON file named by TALO_VOIP_CONFIG, else
// /etc/talo/voip.json, else the defaults below. Every key is checked; an unknown key or a
// value out of range refuses the whole file, so a typing error never passes unnoticed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parsed.h"

namespace talo::voip {

struct VoipConfig {
  std::vector<std::string> interfaces{"lo"};  // live capture on each
  std::string file;                           // a capture file to replay instead
  double file_speed = 1.0;                    // 1: the file's own pace
  std::vector<uint16_t> sip_ports{5060};      // UDP ports SIP is followed on
  uint16_t rtp_port_min = 1024;               // the capture filter's RTP port range
  uint16_t rtp_port_max = 65535;
  int32_t channels = 64;                      // line channels on the board
  int32_t no_media_timeout_s = 30;            // an answered call without RTP this long ends
  int32_t ring_timeout_s = 180;               // an unanswered call ringing this long ends
  int32_t jitter_ms = 60;                     // how late a packet may be and still be heard
  int32_t max_dialogs = 1024;                 // calls followed at once, ringing ones included
  int32_t min_ring_ms = 300;                  // a call rings at least this long, so the host sees it
  int32_t capture_buffer_mb = 128;            // the kernel capture ring of each interface
};

inline constexpr const char *kVoipConfigVariable = "TALO_VOIP_CONFIG";
inline constexpr const char *kVoipConfigDefaultPath = "/etc/talo/voip.json";

Parsed<VoipConfig> ParseVoipConfig(std::string_view json);

// Reads the file TALO_VOIP_CONFIG names (it must exist), else the default path when it
// exists, else gives the defaults. The reason names the file and the key.
Parsed<VoipConfig> LoadVoipConfig();

// The BPF filter of a configuration: its SIP ports and its RTP port range, over UDP.
std::string CaptureFilterOf(const VoipConfig &config);

}  // namespace talo::voip

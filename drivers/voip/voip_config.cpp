// Reading the capture driver's configuration: every key known, every value checked.
#include "voip_config.h"

#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace talo::voip {
namespace {

using Json = nlohmann::json;
using Result = Parsed<VoipConfig>;

template <class T>
bool Int(const Json &v, long long min, long long max, T &out) {
  if (!v.is_number_integer()) return false;
  const long long n = v.get<long long>();
  if (n < min || n > max) return false;
  out = static_cast<T>(n);
  return true;
}

bool Strings(const Json &v, std::vector<std::string> &out) {
  if (!v.is_array()) return false;
  out.clear();
  for (const Json &s : v) {
    if (!s.is_string() || s.get<std::string>().empty()) return false;
    out.push_back(s.get<std::string>());
  }
  return true;
}

bool Ports(const Json &v, std::vector<uint16_t> &out) {
  if (!v.is_array() || v.empty()) return false;
  out.clear();
  for (const Json &p : v) {
    uint16_t port = 0;
    if (!Int(p, 1, 65535, port)) return false;
    out.push_back(port);
  }
  return true;
}

// One key: true when known and its value fits.
bool Apply(const std::string &key, const Json &v, VoipConfig &c) {
  if (key == "interfaces") {
    if (!Strings(v, c.interfaces)) return false;
    // "file:PATH" among the interfaces replays that capture file instead.
    for (auto it = c.interfaces.begin(); it != c.interfaces.end();) {
      if (it->rfind("file:", 0) == 0) {
        c.file = it->substr(5);
        it = c.interfaces.erase(it);
      } else {
        ++it;
      }
    }
    return true;
  }
  if (key == "file") return v.is_string() && (c.file = v.get<std::string>(), true);
  if (key == "file_speed") {
    if (!v.is_number()) return false;
    c.file_speed = v.get<double>();
    return c.file_speed > 0 && c.file_speed <= 1e9;
  }
  if (key == "sip_ports") return Ports(v, c.sip_ports);
  if (key == "rtp_ports") {
    if (!v.is_array() || v.size() != 2) return false;
    return Int(v[0], 1, 65535, c.rtp_port_min) && Int(v[1], 1, 65535, c.rtp_port_max) &&
           c.rtp_port_min <= c.rtp_port_max;
  }
  if (key == "channels") return Int(v, 1, 4096, c.channels);
  if (key == "no_media_timeout_s") return Int(v, 1, 86400, c.no_media_timeout_s);
  if (key == "ring_timeout_s") return Int(v, 1, 86400, c.ring_timeout_s);
  if (key == "jitter_ms") return Int(v, 0, 2000, c.jitter_ms);
  if (key == "max_dialogs") return Int(v, 1, 1 << 20, c.max_dialogs);
  if (key == "min_ring_ms") return Int(v, 0, 10000, c.min_ring_ms);
  if (key == "capture_buffer_mb") return Int(v, 1, 4096, c.capture_buffer_mb);
  return false;
}

const char *const kKeys[] = {"interfaces", "file", "file_speed", "sip_ports", "rtp_ports",
                             "channels", "no_media_timeout_s", "ring_timeout_s", "jitter_ms",
                             "max_dialogs", "min_ring_ms", "capture_buffer_mb"};

bool Known(const std::string &key) {
  for (const char *k : kKeys)
    if (key == k) return true;
  return false;
}

}  // namespace

Parsed<VoipConfig> ParseVoipConfig(std::string_view json) {
  const Json doc = Json::parse(json, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
  if (doc.is_discarded()) return Result::Fail("not JSON");
  if (!doc.is_object()) return Result::Fail("not a JSON object");
  VoipConfig c;
  for (const auto &[key, value] : doc.items()) {
    if (!Known(key)) return Result::Fail("unknown key \"" + key + "\"");
    if (!Apply(key, value, c)) return Result::Fail("bad value for \"" + key + "\"");
  }
  if (c.file.empty() && c.interfaces.empty()) return Result::Fail("no interface and no file to capture from");
  return Result::Ok(std::move(c));
}

Parsed<VoipConfig> LoadVoipConfig() {
  std::string path;
  if (const char *named = std::getenv(kVoipConfigVariable); named && *named) {
    path = named;
  } else {
    std::ifstream probe(kVoipConfigDefaultPath);
    if (!probe) return Result::Ok(VoipConfig{});
    path = kVoipConfigDefaultPath;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return Result::Fail(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  Result r = ParseVoipConfig(text.str());
  if (!r) r.reason = path + ": " + r.reason;
  return r;
}

std::string CaptureFilterOf(const VoipConfig &config) {
  std::string f = "udp and (";
  for (size_t i = 0; i < config.sip_ports.size(); ++i)
    f += (i ? " or port " : "port ") + std::to_string(config.sip_ports[i]);
  f += " or portrange " + std::to_string(config.rtp_port_min) + "-" + std::to_string(config.rtp_port_max) + ")";
  return f;
}

}  // namespace talo::voip

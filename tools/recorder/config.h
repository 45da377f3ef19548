// talo-recorder's configuration: a JSON file whose every key is checked
// before anything starts (README.md in this folder lists the keys). A key
// left out keeps the default below; the default runs on the simulated board.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace talo_recorder {

// A configuration that cannot be used; the message names the key or the cause.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SimConfig {
  bool enabled = true;        // set up the simulated board and play the scripted day
  int32_t speed = 100;        // board time scale, percent of real time
  bool loop = true;           // play the day again once it is over
  int32_t loop_pause_ms = 3000;
  std::string speech;         // 16-bit 8 kHz mono WAV the callers speak; empty: a made-up voice
  int32_t extra_lines = 0;    // line channels past the day's layout, each with calls back to back
  int32_t extra_call_ms = 60000;
};

// The board the library drives: the simulated one, or the VoIP capture
// driver, which records calls seen on the network.
struct BoardConfig {
  bool enabled = true;         // false: no board at all, the console alone (a console-only node)
  std::string driver = "sim";  // "sim" or "voip"
  std::string driver_dir;      // folder of the VoIP driver; empty: looked for beside the library
  std::string voip = "{}";     // the VoIP driver's keys the file names, checked, as a JSON object
};

// How long a finished call is kept. A rule matches a call by its direction
// and/or its channels; the first rule that matches gives the days, else
// `days` does. 0 days keeps for ever.
struct RetentionRule {
  std::string direction;          // "" any; as the index stores it (line, incoming, ...)
  std::vector<int32_t> channels;  // empty: any
  int32_t days = 0;
};

struct RetentionConfig {
  int32_t days = 0;  // nothing is ever deleted unless configured
  int32_t sweep_minutes = 60;
  std::vector<RetentionRule> rules;
};

// The Opus archive: finished calls this many days old (0: as each call
// ends) are encoded to Ogg Opus and their ADPCM files removed.
struct ArchiveConfig {
  int32_t after_days = -1;  // -1: no archive (the default)
  int32_t bitrate = 16000;  // bit/s
};

// The central PostgreSQL index several recorders share; no url: this
// recorder alone, nothing shipped.
struct CentralConfig {
  std::string url;     // PostgreSQL URI or key=value string; may hold a password
  int32_t batch = 500; // rows per upsert
};

// The S3-compatible object store every finished recording is copied to;
// no endpoint: none (the recordings stay on this disk only).
struct S3Config {
  std::string endpoint;         // http[s]://host:port
  std::string bucket;
  std::string region = "us-east-1";
  std::string access_key;
  std::string secret_key_file;  // the secret itself is read at start, never kept here
  std::string prefix;           // before <node>/<yyyy>/<mm>/<dd>/<file>; may be empty
  int32_t delete_local_after_days = -1;  // -1 never; 0 as soon as the upload is checked
  bool Enabled() const { return !endpoint.empty(); }
};

struct Config {
  std::string root = "recordings";  // must exist and be writable
  std::string index;                // SQLite file; empty: <root>/index.sqlite
  std::string node_name;            // this recorder in the rows it writes; empty: the host name
  std::string library_dir;          // folder of libTALO.so; empty: ../lib beside the program
  std::string address = "127.0.0.1";
  std::string tls_cert;             // PEM chain; with tls_key, the console serves HTTPS only
  std::string tls_key;              // PEM key of the chain's first certificate
  bool allow_plain_http = false;    // plain HTTP on an address other than loopback
  int32_t port = 8080;              // 0: any free port
  int32_t http_threads = 16;        // kept ready; each connection gets one of its own
  int32_t session_idle_minutes = 30;  // a console session unused this long ends
  int32_t session_max_hours = 12;     // and any session this long after its login
  int32_t login_max_failures = 10;    // failed logins in a row that lock a name or address out
  int32_t login_lockout_minutes = 15;
  int32_t max_connections = 1024;   // held by the console at once; more wait to be taken
  int32_t max_streams = 512;        // event streams and live listeners open at once; half the connections unless given
  int32_t max_streams_per_session = 32;
  std::vector<std::string> host_names;  // Host header names the console answers besides its address
  int32_t min_free_mb = 1024;       // below it, the console and the log raise the alarm; 0: never
  bool purge_when_low = false;      // "storage.when_low": "purge-oldest" (else "alarm")
  int32_t keep_at_least_days = 30;  // the disk guard never deletes a call younger than this
  int32_t library_pass_ms = 10;     // the library's pass interval (TALO_PASS_MS), set before it starts
  int32_t record_limit_minutes = 0; // QV_SetFileLen; 0 keeps the library's
  std::string policy;               // call policy file; empty: the built-in one
  std::string sound_dir;            // prompts; empty: Sound beside the program
  int32_t live_queue_ms = 2000;     // audio kept for a listener that lags; past it, it is dropped
  RetentionConfig retention;
  ArchiveConfig archive;
  CentralConfig central;
  S3Config s3;
  SimConfig sim;  // ignored on the VoIP driver
  BoardConfig board;
  // The scripted day runs on the simulated board only.
  bool PlaysSimDay() const { return board.enabled && board.driver == "sim" && sim.enabled; }
};

// Parses the text (JSON, // and /* */ comments allowed); `base` is the folder
// relative paths are taken from. Throws ConfigError.
Config ParseConfig(std::string_view text, const std::string &base);
// An address only this machine can reach: 127.0.0.0/8, ::1 or "localhost".
bool IsLoopbackAddress(const std::string &address);
// Reads and parses a file; relative paths count from the file's folder.
Config LoadConfigFile(const std::string &path);
// The configuration used without --config, as a documented JSON text.
std::string_view DefaultConfigText();

// Checks what the configuration names on this machine: the root folder exists
// and is writable, the index file's folder too. Throws ConfigError.
void CheckConfigPaths(const Config &config);

// The VoIP driver's file: in board.driver_dir, else beside an installed
// library (<library_dir>/talo/voip), else in the build tree
// (<library_dir>/../drivers/voip). Throws ConfigError when it is in none.
std::string VoipDriverPath(const Config &config);
// <root>/.talo-voip.json: the VoIP driver's configuration file.
std::string VoipConfigPath(const Config &config);
// Writes board.voip to that file, readable by its owner only (it may name
// capture files), and returns its path. Throws ConfigError.
std::string WriteVoipConfig(const Config &config);

}  // namespace talo_recorder

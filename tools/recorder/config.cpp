// Every key is checked before anything starts, so a mistake in the file is
// reported by its name instead of silently taking a default.
#include "config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>
#include <vector>

#include "host_kit/library.h"
#include "naming.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kDefaultText[] =
#include "default_config.inc"
    ;

[[noreturn]] void Fail(const std::string &message) { throw ConfigError(message); }

std::string Shown(const json &value) {
  std::string text = value.dump();
  return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string Absolute(const std::string &path, const std::string &base) {
  if (path.empty()) return path;
  return fs::absolute(fs::path(base) / path).lexically_normal().string();
}

// One object of the file and its place in it, for the messages.
class Section {
 public:
  Section(const json &object, std::string path, std::initializer_list<std::string_view> keys)
      : object_(object), path_(std::move(path)) {
    if (!object_.is_object())
      Fail(path_.empty() ? "the configuration must be a JSON object"
                         : "\"" + path_ + "\" must be an object, not " + Shown(object_));
    for (const auto &item : object_.items()) {
      if (std::find(keys.begin(), keys.end(), item.key()) != keys.end()) continue;
      std::string known;
      for (std::string_view k : keys) known += (known.empty() ? "" : ", ") + std::string(k);
      Fail("unknown key \"" + PathOf(item.key()) + "\" (known here: " + known + ")");
    }
  }
  std::string PathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }
  Section Object(std::string_view key, std::initializer_list<std::string_view> keys) const {
    static const json kEmpty = json::object();
    auto it = object_.find(key);
    return Section(it == object_.end() ? kEmpty : *it, PathOf(key), keys);
  }
  void Text(std::string_view key, std::string *out) const {
    auto it = object_.find(key);
    if (it == object_.end()) return;
    if (!it->is_string()) Fail("\"" + PathOf(key) + "\" must be a string, not " + Shown(*it));
    *out = it->get<std::string>();
  }
  void Flag(std::string_view key, bool *out) const {
    auto it = object_.find(key);
    if (it == object_.end()) return;
    if (!it->is_boolean()) Fail("\"" + PathOf(key) + "\" must be true or false, not " + Shown(*it));
    *out = it->get<bool>();
  }
  void Number(std::string_view key, int32_t min, int32_t max, int32_t *out) const {
    auto it = object_.find(key);
    if (it == object_.end()) return;
    const bool whole = it->is_number_integer() || it->is_number_unsigned();
    const bool in_range = whole && (it->is_number_unsigned() ? it->get<uint64_t>() <= static_cast<uint64_t>(max)
                                                              : it->get<int64_t>() <= max) &&
                          // JSON's 0 and up come unsigned: the lowest is checked on them too.
                          (it->is_number_unsigned() ? min <= 0 || it->get<uint64_t>() >= static_cast<uint64_t>(min)
                                                    : it->get<int64_t>() >= min);
    if (!in_range)
      Fail("\"" + PathOf(key) + "\" must be a whole number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not " + Shown(*it));
    *out = static_cast<int32_t>(it->get<int64_t>());
  }
  // The values below are copied into `out` under their key when the file has them.
  void Number(std::string_view key, int32_t min, int32_t max, json *out) const {
    if (!object_.contains(key)) return;
    int32_t v = 0;
    Number(key, min, max, &v);
    (*out)[std::string(key)] = v;
  }
  // A path, copied absolute.
  void Text(std::string_view key, const std::string &base, json *out) const {
    std::string v;
    Text(key, &v);
    if (HasControl(v)) Fail("\"" + PathOf(key) + "\" must not hold a control character (a newline?)");
    if (object_.contains(key)) (*out)[std::string(key)] = Absolute(v, base);
  }
  void Positive(std::string_view key, json *out) const {
    auto it = object_.find(key);
    if (it == object_.end()) return;
    if (!it->is_number() || !(it->get<double>() > 0 && it->get<double>() <= 1e9))
      Fail("\"" + PathOf(key) + "\" must be a number above 0, at most 1e9, not " + Shown(*it));
    (*out)[std::string(key)] = *it;
  }
  void Names(std::string_view key, json *out) const {
    auto it = object_.find(key);
    if (it == object_.end()) return;
    bool names = it->is_array();
    for (const json &v : names ? *it : json::array()) names = names && v.is_string() && !v.get<std::string>().empty();
    if (!names) Fail("\"" + PathOf(key) + "\" must be a list of names, not " + Shown(*it));
    (*out)[std::string(key)] = *it;
  }
  // `count` 0: any number of them, at least one.
  void Numbers(std::string_view key, int32_t min, int32_t max, json *out, size_t count = 0) const {
    auto it = object_.find(key);
    if (it == object_.end()) return;
    bool numbers = it->is_array() && !it->empty() && (count == 0 || it->size() == count);
    for (const json &v : numbers ? *it : json::array())
      numbers = numbers && v.is_number_integer() && v.get<int64_t>() >= min && v.get<int64_t>() <= max;
    if (!numbers)
      Fail("\"" + PathOf(key) + "\" must be a list of " + (count ? std::to_string(count) + " " : std::string()) +
           "whole numbers from " + std::to_string(min) + " to " + std::to_string(max) + ", not " + Shown(*it));
    (*out)[std::string(key)] = *it;
  }

 private:
  const json &object_;
  std::string path_;
};

constexpr int32_t kMaxRetentionDays = 36500;
constexpr const char *kDirections[] = {"line", "incoming", "outgoing", "message", "fax"};

// retention.rules: each rule names a direction, channels or both, and its days.
std::vector<RetentionRule> RetentionRules(const json &retention) {
  std::vector<RetentionRule> rules;
  const auto list = retention.find("rules");
  if (list == retention.end()) return rules;
  if (!list->is_array()) Fail("\"retention.rules\" must be a list of rules, not " + Shown(*list));
  for (size_t i = 0; i < list->size(); ++i) {
    const std::string path = "retention.rules[" + std::to_string(i) + "]";
    const Section rule((*list)[i], path, {"direction", "channels", "days"});
    RetentionRule r;
    rule.Text("direction", &r.direction);
    if ((*list)[i].contains("direction") &&
        std::find(std::begin(kDirections), std::end(kDirections), r.direction) == std::end(kDirections))
      Fail("\"" + path + ".direction\" must be one of line, incoming, outgoing, message, fax, not " +
           Shown(r.direction));
    json channels;
    rule.Numbers("channels", 0, 4095, &channels);
    if (channels.contains("channels")) r.channels = channels["channels"].get<std::vector<int32_t>>();
    if (r.direction.empty() && r.channels.empty())
      Fail("\"" + path + "\" must name a \"direction\", \"channels\" or both");
    // A rule without its days would silently keep for ever.
    if (!(*list)[i].contains("days")) Fail("\"" + path + ".days\" is missing");
    rule.Number("days", 0, kMaxRetentionDays, &r.days);
    rules.push_back(std::move(r));
  }
  return rules;
}

}  // namespace

std::string_view DefaultConfigText() { return kDefaultText; }

Config ParseConfig(std::string_view text, const std::string &base) {
  json doc;
  try {
    doc = json::parse(text.begin(), text.end(), nullptr, true, true);
  } catch (const json::parse_error &e) {
    Fail(std::string("not valid JSON: ") + e.what());
  }
  Config c;
  const Section top(doc, "",
                    {"root", "index", "library_dir", "library", "storage", "console", "record_limit_minutes", "policy", "sound_dir",
                     "live", "retention", "archive", "node", "central", "sim", "board"});
  top.Text("root", &c.root);
  if (c.root.empty()) Fail("\"root\" must name a folder");
  top.Text("index", &c.index);
  top.Object("node", {"name"}).Text("name", &c.node_name);
  if (c.node_name.empty()) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    c.node_name = host;
    // A host name we could not carry in a row or a key: the node goes by a plain one.
    if (const size_t dot = c.node_name.find('.'); dot != std::string::npos) c.node_name.resize(dot);
    if (!ValidNodeName(c.node_name)) c.node_name = "recorder";
  } else if (!ValidNodeName(c.node_name)) {
    Fail("\"node.name\" must be 1-63 letters, digits, '.', '-' or '_', not starting with '.', not " +
         Shown(c.node_name));
  }
  top.Text("library_dir", &c.library_dir);
  const Section central = top.Object("central", {"url", "batch"});
  central.Text("url", &c.central.url);
  central.Number("batch", 1, 2000, &c.central.batch);
  const Section console =
      top.Object("console", {"address", "port", "threads", "tls", "allow_plain_http", "max_connections", "max_streams",
                             "max_streams_per_session", "host_names",
                             "session_idle_minutes", "session_max_hours", "login_max_failures",
                             "login_lockout_minutes"});
  console.Text("address", &c.address);
  console.Number("port", 0, 65535, &c.port);
  console.Number("threads", 8, 1024, &c.http_threads);
  console.Number("max_connections", 8, 65536, &c.max_connections);
  if (c.max_connections < c.http_threads)
    Fail("\"console.max_connections\" must be at least \"console.threads\" (" + std::to_string(c.http_threads) + ")");
  c.max_streams = c.max_connections / 2;  // unless given
  console.Number("max_streams", 1, 65536, &c.max_streams);
  // Streams never take every connection: short requests keep room.
  if (c.max_streams >= c.max_connections)
    Fail("\"console.max_streams\" must be below \"console.max_connections\" (" + std::to_string(c.max_connections) +
         ")");
  console.Number("max_streams_per_session", 1, 65536, &c.max_streams_per_session);
  json names;
  console.Names("host_names", &names);
  if (names.contains("host_names")) c.host_names = names["host_names"].get<std::vector<std::string>>();
  const Section tls = console.Object("tls", {"cert", "key"});
  tls.Text("cert", &c.tls_cert);
  tls.Text("key", &c.tls_key);
  if (c.tls_cert.empty() != c.tls_key.empty())
    Fail("\"console.tls\" needs both \"cert\" and \"key\" (PEM files), or neither for plain HTTP");
  console.Flag("allow_plain_http", &c.allow_plain_http);
  // Without TLS, anyone on the path reads the calls and whatever signs in.
  if (c.tls_cert.empty() && !c.allow_plain_http && !IsLoopbackAddress(c.address))
    Fail("\"console.address\": " + Shown(c.address) +
         " is reachable from the network and the console would answer it in plain HTTP; give it a certificate "
         "in \"console.tls\" (\"cert\" and \"key\"; for a first trial `talo-recorder make-cert --dir DIR "
         "--host NAME` makes one), or set \"console.allow_plain_http\": true");
  console.Number("session_idle_minutes", 1, 1440, &c.session_idle_minutes);
  console.Number("session_max_hours", 1, 720, &c.session_max_hours);
  console.Number("login_max_failures", 3, 1000, &c.login_max_failures);
  console.Number("login_lockout_minutes", 1, 1440, &c.login_lockout_minutes);
  top.Object("library", {"pass_ms"}).Number("pass_ms", 1, 50, &c.library_pass_ms);
  const Section storage = top.Object("storage", {"min_free_mb", "when_low", "keep_at_least_days", "s3"});
  // null, as absent, is no object store.
  if (const auto it = doc.find("storage"); it != doc.end() && it->is_object() && it->contains("s3") &&
                                           !(*it)["s3"].is_null()) {
    const Section s3 = storage.Object("s3", {"endpoint", "bucket", "region", "access_key", "secret_key_file", "prefix",
                                             "delete_local_after_days"});
    s3.Text("endpoint", &c.s3.endpoint);
    s3.Text("bucket", &c.s3.bucket);
    s3.Text("region", &c.s3.region);
    s3.Text("access_key", &c.s3.access_key);
    json secret;
    s3.Text("secret_key_file", base, &secret);
    if (secret.contains("secret_key_file")) c.s3.secret_key_file = secret["secret_key_file"].get<std::string>();
    s3.Text("prefix", &c.s3.prefix);
    s3.Number("delete_local_after_days", -1, kMaxRetentionDays, &c.s3.delete_local_after_days);
    if (c.s3.endpoint.rfind("http://", 0) != 0 && c.s3.endpoint.rfind("https://", 0) != 0)
      Fail("\"storage.s3.endpoint\" must be an http:// or https:// address, not " + Shown(c.s3.endpoint));
    for (const auto &[key, value] : {std::pair<const char *, const std::string *>{"bucket", &c.s3.bucket},
                                     {"region", &c.s3.region}, {"access_key", &c.s3.access_key},
                                     {"secret_key_file", &c.s3.secret_key_file}})
      if (value->empty() || HasControl(*value)) Fail(std::string("\"storage.s3.") + key + "\" must be given");
    // A key names its folders itself: no slash at either end, no control character.
    while (!c.s3.prefix.empty() && c.s3.prefix.back() == '/') c.s3.prefix.pop_back();
    if (HasControl(c.s3.prefix) || (!c.s3.prefix.empty() && c.s3.prefix.front() == '/'))
      Fail("\"storage.s3.prefix\" must not start with '/' nor hold a control character");
  }
  storage.Number("min_free_mb", 0, 2000000000, &c.min_free_mb);
  std::string when_low = "alarm";
  storage.Text("when_low", &when_low);
  if (when_low != "alarm" && when_low != "purge-oldest")
    Fail("\"storage.when_low\" must be \"alarm\" or \"purge-oldest\", not " + Shown(when_low));
  c.purge_when_low = when_low == "purge-oldest";
  storage.Number("keep_at_least_days", 0, kMaxRetentionDays, &c.keep_at_least_days);
  // A day at least: a call that just ended is never what makes room.
  if (c.purge_when_low && c.keep_at_least_days < 1)
    Fail("\"storage.keep_at_least_days\" must be at least 1 with \"storage.when_low\": \"purge-oldest\"");
  top.Number("record_limit_minutes", 0, 1440, &c.record_limit_minutes);
  top.Text("policy", &c.policy);
  top.Text("sound_dir", &c.sound_dir);
  top.Object("live", {"queue_ms"}).Number("queue_ms", 200, 60000, &c.live_queue_ms);
  const Section retention = top.Object("retention", {"days", "sweep_minutes", "rules"});
  retention.Number("days", 0, kMaxRetentionDays, &c.retention.days);
  retention.Number("sweep_minutes", 1, 10080, &c.retention.sweep_minutes);
  c.retention.rules = RetentionRules(doc.contains("retention") ? doc["retention"] : json::object());
  const Section archive = top.Object("archive", {"after_days", "bitrate"});
  // null, as absent, is no archive.
  if (const auto it = doc.find("archive"); it == doc.end() || !it->is_object() || !it->contains("after_days") ||
                                           !(*it)["after_days"].is_null())
    archive.Number("after_days", 0, kMaxRetentionDays, &c.archive.after_days);
  archive.Number("bitrate", 6000, 64000, &c.archive.bitrate);
  const Section sim =
      top.Object("sim", {"enabled", "speed", "loop", "loop_pause_ms", "speech", "extra_lines", "extra_call_ms"});
  sim.Flag("enabled", &c.sim.enabled);
  sim.Number("speed", 1, 10000, &c.sim.speed);
  sim.Flag("loop", &c.sim.loop);
  sim.Number("loop_pause_ms", 0, 3600000, &c.sim.loop_pause_ms);
  sim.Text("speech", &c.sim.speech);
  sim.Number("extra_lines", 0, 236, &c.sim.extra_lines);
  sim.Number("extra_call_ms", 2000, 86400000, &c.sim.extra_call_ms);

  const Section board = top.Object("board", {"enabled", "driver", "driver_dir", "voip"});
  board.Flag("enabled", &c.board.enabled);
  board.Text("driver", &c.board.driver);
  if (c.board.driver != "sim" && c.board.driver != "voip")
    Fail("\"board.driver\" must be \"sim\" or \"voip\", not " + Shown(c.board.driver));
  board.Text("driver_dir", &c.board.driver_dir);
  // Only the keys the file names go to the driver, which keeps its own defaults.
  const Section voip = board.Object(
      "voip", {"interfaces", "file", "file_speed", "sip_ports", "rtp_ports", "channels", "no_media_timeout_s",
               "ring_timeout_s", "jitter_ms", "max_dialogs", "min_ring_ms", "capture_buffer_mb"});
  json driver = json::object();
  voip.Names("interfaces", &driver);
  voip.Text("file", base, &driver);
  voip.Positive("file_speed", &driver);
  voip.Numbers("sip_ports", 1, 65535, &driver);
  voip.Numbers("rtp_ports", 1, 65535, &driver, 2);
  if (driver.contains("rtp_ports") && driver["rtp_ports"][0] > driver["rtp_ports"][1])
    Fail("\"board.voip.rtp_ports\" must be [lowest, highest], not " + Shown(driver["rtp_ports"]));
  voip.Number("channels", 1, 4096, &driver);
  voip.Number("no_media_timeout_s", 1, 86400, &driver);
  voip.Number("ring_timeout_s", 1, 86400, &driver);
  voip.Number("jitter_ms", 0, 2000, &driver);
  voip.Number("max_dialogs", 1, 1 << 20, &driver);
  voip.Number("min_ring_ms", 0, 10000, &driver);
  voip.Number("capture_buffer_mb", 1, 4096, &driver);
  c.board.voip = driver.dump();

  // A path goes into files and scripts line by line: a control character in
  // one would start a line of its own.
  const std::pair<const char *, const std::string *> paths[] = {
      {"root", &c.root},         {"index", &c.index},         {"library_dir", &c.library_dir},
      {"policy", &c.policy},     {"sound_dir", &c.sound_dir}, {"sim.speech", &c.sim.speech},
      {"board.driver_dir", &c.board.driver_dir}};
  for (const auto &[key, value] : paths)
    if (HasControl(*value)) Fail("\"" + std::string(key) + "\" must not hold a control character (a newline?)");
  c.root = Absolute(c.root, base);
  c.index = c.index.empty() ? (fs::path(c.root) / "index.sqlite").string() : Absolute(c.index, base);
  c.library_dir = Absolute(c.library_dir, base);
  c.tls_cert = Absolute(c.tls_cert, base);
  c.tls_key = Absolute(c.tls_key, base);
  c.policy = Absolute(c.policy, base);
  c.sound_dir = Absolute(c.sound_dir, base);
  c.sim.speech = Absolute(c.sim.speech, base);
  c.board.driver_dir = Absolute(c.board.driver_dir, base);
  return c;
}

bool IsLoopbackAddress(const std::string &address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

Config LoadConfigFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("config file '" + path + "' cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  try {
    return ParseConfig(text.str(), fs::absolute(path).parent_path().string());
  } catch (const ConfigError &e) {
    Fail("config file '" + path + "': " + e.what());
  }
}

void CheckConfigPaths(const Config &c) {
  std::error_code ec;
  // The root itself must be the operator's: a link could be turned elsewhere,
  // and a folder others may write lets them plant links where recordings go.
  struct stat st {};
  if (::lstat(c.root.c_str(), &st) != 0) Fail("\"root\": folder '" + c.root + "' does not exist");
  if (S_ISLNK(st.st_mode)) Fail("\"root\": '" + c.root + "' is a symbolic link; name the folder itself");
  if (!S_ISDIR(st.st_mode)) Fail("\"root\": folder '" + c.root + "' does not exist");
  if (st.st_mode & S_IWOTH)
    Fail("\"root\": folder '" + c.root + "' is writable by others; make it the recorder's own (chmod o-w)");
  // access() says yes to root for any mode bits; a file made and removed says
  // what is true. Made new and never through a link: a name taken is skipped.
  const int dir = ::open(c.root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool writable = false;
  for (int n = 0; dir >= 0 && !writable && n < 100; ++n) {
    const std::string probe = ".talo-recorder-probe-" + std::to_string(::getpid()) + (n ? "-" + std::to_string(n) : "");
    const int fd = ::openat(dir, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) break;
    writable = ::write(fd, "x", 1) == 1;
    ::close(fd);
    ::unlinkat(dir, probe.c_str(), 0);
    if (!writable) break;
  }
  if (dir >= 0) ::close(dir);
  if (!writable) Fail("\"root\": folder '" + c.root + "' is not writable");
  const fs::path index_dir = fs::path(c.index).parent_path();
  if (!fs::is_directory(index_dir, ec)) Fail("\"index\": folder '" + index_dir.string() + "' does not exist");
  if (!c.sim.speech.empty() && !fs::is_regular_file(c.sim.speech, ec))
    Fail("\"sim.speech\": file '" + c.sim.speech + "' does not exist");
  if (!c.policy.empty() && !fs::is_regular_file(c.policy, ec))
    Fail("\"policy\": file '" + c.policy + "' does not exist");
  if (c.board.enabled && c.board.driver == "voip") VoipDriverPath(c);
}

std::string VoipDriverPath(const Config &c) {
  std::vector<fs::path> folders;
  if (!c.board.driver_dir.empty()) {
    folders = {c.board.driver_dir};
  } else {
    const fs::path lib = host_kit::LibraryFolder(c.library_dir);
    folders = {lib / "talo" / "voip", (lib / ".." / "drivers" / "voip").lexically_normal()};
  }
  std::error_code ec;
  std::string tried;
  for (const fs::path &folder : folders) {
    const fs::path file = folder / "libTvcdrv.so";
    if (fs::is_regular_file(file, ec)) return file.string();
    tried += (tried.empty() ? "'" : " nor '") + folder.string() + "'";
  }
  Fail("\"board.driver_dir\": the VoIP driver libTvcdrv.so is not in " + tried +
       (c.board.driver_dir.empty() ? " (build the target TvcdrvVoip, or name its folder)" : ""));
}

std::string VoipConfigPath(const Config &c) { return (fs::path(c.root) / ".talo-voip.json").string(); }

std::string WriteVoipConfig(const Config &c) {
  const std::string path = VoipConfigPath(c);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) Fail("cannot write the VoIP driver's configuration '" + path + "': " + std::strerror(errno));
  // A file left by an earlier run keeps its mode through O_CREAT: narrowed here.
  const std::string text = c.board.voip + "\n";
  const bool written = ::fchmod(fd, 0600) == 0 && ::write(fd, text.data(), text.size()) ==
                                                      static_cast<ssize_t>(text.size());
  const int error = errno;
  ::close(fd);
  if (!written) Fail("cannot write the VoIP driver's configuration '" + path + "': " + std::strerror(error));
  return path;
}

}  // namespace talo_recorder

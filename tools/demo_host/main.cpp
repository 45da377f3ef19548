// talo_demo: a small host that loads libTALO.so as any host would (dlopen),
// plays a scripted day of calls on the simulated board, records every call
// from off-hook to hang-up and every message left on a trunk, answers the
// library's trunk questions from its call policy, prints each event as it
// happens, and leaves a playable WAV beside each record file.
#include <dlfcn.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "day.h"
#include "monitor_server.h"
#include "policy.h"
#include "talo/talo.h"
#include "tvcsim.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

using talo_demo::Announce;
using talo_demo::IncomingMode;

struct Api {
#define F(name) decltype(&::name) name = nullptr;
  F(QV_InitDll) F(QV_SetCallBakFunc) F(QV_SetActive) F(QV_GetChannelCount) F(QV_GetDeviceCount)
  F(QV_GetChannelType) F(QV_GetDeviceType) F(QV_StartRecord) F(QV_StopRecord) F(QV_ProcessMessages)
  F(QV_GetMessageFd) F(QV_SetTrunkUserStep) F(QV_StartNetMonitor) F(QV_StopNetMonitor)
  F(TvcSimSetChannelTotal) F(TvcSimSetChannelType) F(TvcSimSetTimeScale) F(TvcSimLoadScript)
  F(TvcSimStartScript) F(TvcSimGetPendingEvents) F(TvcSimGetDelivered) F(TvcSimGetPlaying)
#undef F
};

// Channel kinds as QV_GetChannelType reports them.
constexpr int kQvTrunk = 1;
constexpr int kQvStation = 2;

// The prompts the host names, in the Sound folder beside this program, where
// the library also looks for its character prompts (Sound/Char/<c>.dat).
constexpr const char *kGreeting = "greeting.dat";
constexpr const char *kNumberPrompt = "number.dat";
constexpr const char *kClosing = "closing.dat";
constexpr const char *kBlocked = "blocked.dat";
constexpr const char *kNotice = "notice.dat";
constexpr const char *kAnswerCaller = "answer_caller.dat";
constexpr const char *kAnswerUser = "answer_user.dat";

struct Host {
  Api api;
  talo_demo::Policy policy;
  fs::path out_dir;
  fs::path sound_dir;
  std::vector<int> types;                // QV channel type per channel
  std::map<int, bool> signed_on;         // station -> signed on
  std::map<int, std::string> playing;    // channel -> board prompt last seen playing
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::map<int, std::string> recording;  // channel -> record file being written
  std::vector<std::string> finished;     // record files closed
  int calls = 0;

  void Print(const std::string &what) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[%7.3f s] %s\n", t, what.c_str());
    std::fflush(stdout);
  }
  int TypeOf(int ch) const { return ch >= 0 && ch < static_cast<int>(types.size()) ? types[ch] : -1; }
  std::string Prompt(const char *name) const { return (sound_dir / name).string(); }

  void StartRecording(int ch, const std::string &kind) {
    StopRecording(ch);  // a call the library never ended keeps what it has
    std::string file = (out_dir / ((TypeOf(ch) == kQvTrunk ? "trunk" : "line") + std::to_string(ch) +
                                   "_" + kind + std::to_string(++calls) + ".v"))
                           .string();
    api.QV_StartRecord(ch, file.c_str());
    recording[ch] = file;
    Print("  recording ch=" + std::to_string(ch) + " into " + file);
  }
  void StopRecording(int ch) {
    auto it = recording.find(ch);
    if (it == recording.end()) return;
    api.QV_StopRecord(ch);
    Print("  stopped recording " + it->second);
    finished.push_back(it->second);
    recording.erase(it);
  }
};

Host *g_host = nullptr;

std::string Flag(uint8_t f) { return f ? "true" : "false"; }
std::string Ch(int32_t ch) { return " ch=" + std::to_string(ch); }
std::string Quoted(const char *text) { return std::string("\"") + (text ? text : "") + "\""; }

template <size_t N>
void SetText(char (&field)[N], const std::string &text) {
  std::snprintf(field, N, "%s", text.c_str());
}

// ---- line and common events

void OnActiveChanged(void *, uint8_t active) { g_host->Print("OnActiveChanged active=" + Flag(active)); }

void OnOffHook(void *, int32_t ch, uint8_t after_ring) {
  g_host->Print("OnOffHook" + Ch(ch) + " afterRing=" + Flag(after_ring));
  // A station phone is not recorded: its conversation is on the trunk.
  if (g_host->TypeOf(ch) != kQvStation) g_host->StartRecording(ch, "call");
}

void OnHangUp(void *, int32_t ch, uint8_t) {
  g_host->Print("OnHangUp" + Ch(ch));
  g_host->StopRecording(ch);
}

void OnCallerId(void *, int32_t ch, const char *number, const char *) {
  g_host->Print("OnCallerId" + Ch(ch) + " number=" + Quoted(number));
}
void OnRing(void *, int32_t ch, uint8_t ringing) {
  g_host->Print("OnRing" + Ch(ch) + " ringing=" + Flag(ringing));
}
void OnSilence(void *, int32_t ch, uint8_t silent) {
  g_host->Print("OnSilence" + Ch(ch) + " silent=" + Flag(silent));
}
void OnLineEmpty(void *, int32_t ch, uint8_t empty) {
  g_host->Print("OnLineEmpty" + Ch(ch) + " empty=" + Flag(empty));
}
void OnDtmf(void *, int32_t ch, const char *digits) {
  g_host->Print("OnDtmf" + Ch(ch) + " digits=" + Quoted(digits));
}
void OnRecordLimit(void *, int32_t ch) { g_host->Print("OnRecordLimit" + Ch(ch)); }

// ---- trunk events: the answers come from the policy

void OnIncomingCall(void *, int32_t ch, QV_IncomingPlan *plan) {
  const talo_demo::Policy &policy = g_host->policy;
  const IncomingMode mode = policy.ModeFor(ch);
  plan->IncomingMode = static_cast<int32_t>(mode);
  plan->UserRingTimeout = policy.user_ring_timeout_ms;
  plan->NumberEntryEnabled = policy.number_entry ? 1 : 0;
  SetText(plan->GreetingFile, g_host->Prompt(kGreeting));
  SetText(plan->NumberPromptFile, g_host->Prompt(kNumberPrompt));
  SetText(plan->ClosingFile, g_host->Prompt(kClosing));
  std::string answer = std::string("mode ") + talo_demo::ModeName(mode);
  if (mode == IncomingMode::kRingThenMessage)
    answer += ", station rings " + std::to_string(policy.user_ring_timeout_ms) + " ms";
  if (mode != IncomingMode::kRing)
    answer += std::string(", number entry ") + (policy.number_entry ? "on" : "off");
  g_host->Print("OnIncomingCall" + Ch(ch) + " -> " + answer);
}

void OnQuery(void *, int32_t code, void *arg, void *result) {
  switch (code) {
    case QV_QUERY_FAX_ONLY:
      *static_cast<uint8_t *>(result) = 0;
      g_host->Print("OnQuery fax-only?" + Ch(*static_cast<int32_t *>(arg)) + " -> no");
      break;
    case QV_QUERY_CALLER_REJECTED: {
      const std::string number(static_cast<const char *>(arg), strnlen(static_cast<const char *>(arg), 128));
      const bool rejected = g_host->policy.CallerRejected(number);
      *static_cast<uint8_t *>(result) = rejected ? 1 : 0;
      g_host->Print("OnQuery caller-rejected? number=\"" + number + "\" -> " +
                    (rejected ? "yes, a blocked caller" : "no"));
      break;
    }
    default:
      // The fax questions keep the library's preset answers: this demo has no fax channel.
      g_host->Print("OnQuery code=" + std::to_string(code) + " -> library default");
      break;
  }
}

void OnIncomingAnswered(void *, int32_t ch, QV_AnswerReply *reply) {
  const talo_demo::Policy &policy = g_host->policy;
  if (!policy.answer_prompts) {
    g_host->Print("OnIncomingAnswered" + Ch(ch) + " -> no prompts");
    return;
  }
  reply->PlayAnswerPrompts = 1;
  SetText(reply->UserPromptFile, g_host->Prompt(kAnswerUser));
  SetText(reply->CallerPromptFile, g_host->Prompt(kAnswerCaller));
  // The library fills in the account last signed on; "station" replaces it.
  if (policy.announce == Announce::kStation)
    SetText(reply->AnnounceText, std::to_string(ch + talo_demo::kTrunkUserStep));
  const size_t length = strnlen(reply->AnnounceText, sizeof reply->AnnounceText);
  reply->AnnounceChars = policy.announce != Announce::kNone && length > 0 ? 1 : 0;
  g_host->Print("OnIncomingAnswered" + Ch(ch) + " -> prompts" +
                (reply->AnnounceChars ? ", announcing \"" + std::string(reply->AnnounceText, length) + "\""
                                      : std::string()));
}

void OnLeaveMessage(void *, int32_t ch, const char *number) {
  g_host->Print("OnLeaveMessage" + Ch(ch) + " number=" + Quoted(number));
  g_host->StartRecording(ch, "message");
}

void OnLeaveMessageEnd(void *, int32_t ch) {
  g_host->Print("OnLeaveMessageEnd" + Ch(ch));
  g_host->StopRecording(ch);
}

void OnUserPickUp(void *, int32_t station, QV_UserPickUpReply *reply) {
  const bool required = g_host->policy.sign_on_required;
  const bool signed_on = g_host->signed_on[station];
  reply->SignOnRequired = required ? 1 : 0;
  reply->SignedOn = signed_on ? 1 : 0;
  g_host->Print("OnUserPickUp" + Ch(station) + " -> " +
                (!required ? "no sign-on needed" : signed_on ? "signed on already" : "sign-on required"));
}

void OnSignOn(void *, int32_t station, int32_t trunk, const char *account, const char *pin,
              QV_CommandReply *reply) {
  const bool accepted = g_host->policy.SignOnAccepted(account, pin);
  reply->CommandAccepted = accepted ? 1 : 0;
  if (accepted) g_host->signed_on[station] = true;
  // The PIN is not printed, only its length.
  g_host->Print("OnSignOn" + Ch(station) + " trunk=" + std::to_string(trunk) + " account=" + Quoted(account) +
                " pin=\"" + std::string(std::strlen(pin), '*') + "\" -> " +
                (accepted ? "accepted" : "refused"));
}

void OnSignOff(void *, int32_t station, int32_t trunk) {
  g_host->signed_on[station] = false;
  g_host->Print("OnSignOff" + Ch(station) + " trunk=" + std::to_string(trunk));
}

void OnTrunkConnected(void *, int32_t station, QV_ConnectReply *reply) {
  if (g_host->policy.answer_notice) {
    reply->PolarityPrompts = 1;
    SetText(reply->PolarityTrunkFile, g_host->Prompt(kNotice));
    SetText(reply->PolarityUserFile, g_host->Prompt(kNotice));
  }
  g_host->Print("OnTrunkConnected" + Ch(station) + " -> " +
                (g_host->policy.answer_notice ? "recording notice when the far end answers" : "no prompts"));
}

void OnDialCheck(void *, int32_t station, const char *account, const char *digits, QV_DialCheckReply *reply) {
  const bool blocked = g_host->policy.DialBlocked(digits);
  reply->DialBlocked = blocked ? 1 : 0;
  if (blocked) SetText(reply->BlockedPromptFile, g_host->Prompt(kBlocked));
  g_host->Print("OnDialCheck" + Ch(station) + " account=" + Quoted(account) + " digits=" + Quoted(digits) +
                " -> " + (blocked ? "blocked" : "allowed"));
}

void OnFaxStart(void *, int32_t ch, int32_t fax_ch, int32_t direction) {
  g_host->Print("OnFaxStart" + Ch(ch) + " fax=" + std::to_string(fax_ch) +
                " direction=" + std::to_string(direction));
}
void OnFaxEnd(void *, int32_t ch, int32_t fax_ch, int32_t direction, const char *file, int32_t result) {
  g_host->Print("OnFaxEnd" + Ch(ch) + " fax=" + std::to_string(fax_ch) + " direction=" +
                std::to_string(direction) + " file=" + Quoted(file) + " result=" + std::to_string(result));
}

// What the board plays on the trunks and stations is no event, but it shows
// which prompt a caller or user hears; seen by polling.
void WatchPrompts(Host &host) {
  for (int ch = 0; ch < static_cast<int>(host.types.size()); ++ch) {
    if (host.types[ch] != kQvTrunk && host.types[ch] != kQvStation) continue;
    char path[512] = "";
    host.api.TvcSimGetPlaying(ch, path, sizeof path);
    std::string &last = host.playing[ch];
    if (last == path) continue;
    last = path;
    if (!last.empty()) {
      std::string shown = fs::path(last).lexically_relative(host.sound_dir).string();
      host.Print("  board: ch " + std::to_string(ch) + " plays " + (shown.empty() ? last : shown));
    }
  }
}

// The board's playing time of a prompt: 63 ms per started 256-byte block; 0 when missing.
int64_t PlayMs(const fs::path &file) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  return ec ? 0 : static_cast<int64_t>((size + 255) / 256 * 63);
}

// Lengths for the day's timing; lists the prompts that are missing.
talo_demo::DayTimes MeasureDay(const Host &host, const fs::path &speech, std::vector<std::string> *missing) {
  auto ms = [&](const fs::path &file) {
    const int64_t length = PlayMs(file);
    if (length == 0) missing->push_back(file.string());
    return length;
  };
  talo_demo::DayTimes t;
  std::error_code ec;
  t.speech = static_cast<int64_t>(fs::file_size(speech, ec) / 16);  // 16 bytes per ms of 8 kHz 16-bit audio
  t.greeting = ms(host.Prompt(kGreeting));
  t.number_prompt = ms(host.Prompt(kNumberPrompt));
  t.closing = ms(host.Prompt(kClosing));
  t.blocked = ms(host.Prompt(kBlocked));
  t.notice = ms(host.Prompt(kNotice));
  t.answer_caller = ms(host.Prompt(kAnswerCaller));
  ms(host.Prompt(kAnswerUser));
  for (char c = '0'; c <= '9'; ++c) ms(host.sound_dir / "Char" / (std::string(1, c) + ".dat"));
  // The ring trunk's station may be announced to the caller, digit by digit.
  for (char c : std::to_string(talo_demo::kRingTrunk + talo_demo::kTrunkUserStep))
    t.answer_caller += PlayMs(host.sound_dir / "Char" / (std::string(1, c) + ".dat"));
  return t;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Plays a scripted day of calls on the simulated board through libTALO.so"};
  std::string lib_dir, out_dir = "demo-out", speech, converter, policy_file;
  int speed = 100;
  int channels = talo_demo::kDayChannels;
  app.add_option("--lib-dir", lib_dir, "folder of libTALO.so (default: ../lib beside this program)");
  app.add_option("--out", out_dir, "folder for the record files");
  app.add_option("--speech", speech, "16-bit 8 kHz mono WAV played as the callers' speech")->required();
  app.add_option("--speed", speed, "board time scale in percent of real time")->check(CLI::Range(1, 10000));
  app.add_option("--channels", channels, "channels on the board")
      ->check(CLI::Range(talo_demo::kDayChannels, 256));
  app.add_option("--converter", converter, "talo2wav program (default: beside this program)");
  app.add_option("--policy", policy_file,
                 "call policy, a JSON file (default: the built-in one, as in tools/demo_host/policy.json)");
  std::string listener = "";
  app.add_option("--listener", listener, "talo_listen program (default: beside this program)");
  app.footer("The prompts are read from Sound/ beside this program (scripts/demo.sh makes them).");
  CLI11_PARSE(app, argc, argv);

  Host host;
  g_host = &host;
  // The policy first: a mistake in it stops the demo before anything starts.
  try {
    host.policy = policy_file.empty() ? talo_demo::DefaultPolicy() : talo_demo::LoadPolicyFile(policy_file);
  } catch (const talo_demo::PolicyError &e) {
    std::fprintf(stderr, "talo_demo: %s\n", e.what());
    return 2;
  }

  fs::path self = fs::canonical("/proc/self/exe").parent_path();
  if (lib_dir.empty()) lib_dir = (self.parent_path() / "lib").string();
  if (converter.empty()) converter = (self / "talo2wav").string();
  if (listener.empty()) listener = (self / "talo_listen").string();
  host.sound_dir = self / "Sound";

  void *lib = dlopen((lib_dir + "/libTALO.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "cannot load libTALO.so: %s\n", dlerror());
    return 1;
  }
  void *board = dlopen((lib_dir + "/libTvcdrv.so").c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!board) {
    std::fprintf(stderr, "the simulated board is not loaded beside libTALO.so\n");
    return 1;
  }
#define BIND(h, name) host.api.name = reinterpret_cast<decltype(host.api.name)>(dlsym(h, #name));
  BIND(lib, QV_InitDll) BIND(lib, QV_SetCallBakFunc) BIND(lib, QV_SetActive) BIND(lib, QV_GetChannelCount)
  BIND(lib, QV_GetDeviceCount) BIND(lib, QV_GetChannelType) BIND(lib, QV_GetDeviceType)
  BIND(lib, QV_StartRecord) BIND(lib, QV_StopRecord) BIND(lib, QV_ProcessMessages)
  BIND(lib, QV_GetMessageFd) BIND(lib, QV_SetTrunkUserStep) BIND(lib, QV_StartNetMonitor)
  BIND(lib, QV_StopNetMonitor)
  BIND(board, TvcSimSetChannelTotal) BIND(board, TvcSimSetChannelType) BIND(board, TvcSimSetTimeScale)
  BIND(board, TvcSimLoadScript) BIND(board, TvcSimStartScript) BIND(board, TvcSimGetPendingEvents)
  BIND(board, TvcSimGetDelivered) BIND(board, TvcSimGetPlaying)
#undef BIND
  auto &api = host.api;

  host.out_dir = fs::absolute(out_dir);
  fs::create_directories(host.out_dir);
  std::printf("talo_demo: device type %s, record files in %s\n", api.QV_GetDeviceType(),
              host.out_dir.c_str());
  std::printf("policy: %s\n", policy_file.empty() ? "built in" : policy_file.c_str());
  std::vector<std::string> missing;
  const talo_demo::DayTimes times = MeasureDay(host, fs::absolute(speech), &missing);
  std::printf("prompts: %s\n", host.sound_dir.c_str());
  if (!missing.empty()) {
    std::string names;
    for (const auto &file : missing)
      names += " " + fs::path(file).lexically_relative(host.sound_dir).string();
    std::printf("  missing (the library skips them; scripts/demo.sh makes them):%s\n", names.c_str());
  }

  // Board: four line channels, three trunks with their station phones, an idle channel, no channel.
  api.TvcSimSetChannelTotal(channels);
  for (int ch = 0; ch < channels; ++ch)
    api.TvcSimSetChannelType(ch, ch < talo_demo::kDayChannels ? talo_demo::kDriverTypes[ch] : 0);
  api.TvcSimSetTimeScale(speed);

  QV_HostEvents events{};
  auto set = [&](int slot, auto fn) { events.slots[slot] = {reinterpret_cast<void *>(fn), nullptr}; };
  set(QV_SLOT_ACTIVE_CHANGED, &OnActiveChanged);
  set(QV_SLOT_OFF_HOOK, &OnOffHook);
  set(QV_SLOT_HANG_UP, &OnHangUp);
  set(QV_SLOT_CALLER_ID, &OnCallerId);
  set(QV_SLOT_RING, &OnRing);
  set(QV_SLOT_SILENCE, &OnSilence);
  set(QV_SLOT_LINE_EMPTY, &OnLineEmpty);
  set(QV_SLOT_DTMF, &OnDtmf);
  set(QV_SLOT_RECORD_LIMIT, &OnRecordLimit);
  set(QV_SLOT_INCOMING_CALL, &OnIncomingCall);
  set(QV_SLOT_LEAVE_MESSAGE, &OnLeaveMessage);
  set(QV_SLOT_LEAVE_MESSAGE_END, &OnLeaveMessageEnd);
  set(QV_SLOT_USER_PICK_UP, &OnUserPickUp);
  set(QV_SLOT_SIGN_OFF, &OnSignOff);
  set(QV_SLOT_SIGN_ON, &OnSignOn);
  set(QV_SLOT_DIAL_CHECK, &OnDialCheck);
  set(QV_SLOT_INCOMING_ANSWERED, &OnIncomingAnswered);
  set(QV_SLOT_TRUNK_CONNECTED, &OnTrunkConnected);
  set(QV_SLOT_FAX_START, &OnFaxStart);
  set(QV_SLOT_FAX_END, &OnFaxEnd);
  set(QV_SLOT_QUERY, &OnQuery);

  api.QV_InitDll(nullptr, 0, 0, 0);
  api.QV_SetCallBakFunc(events);
  if (!api.QV_SetActive(1)) {
    std::fprintf(stderr, "activation failed\n");
    return 1;
  }
  api.QV_SetTrunkUserStep(talo_demo::kTrunkUserStep);

  std::printf("\nchannel table (%d channels on %d board(s)):\n", api.QV_GetChannelCount(),
              api.QV_GetDeviceCount());
  const char *names[] = {"line recording", "trunk", "user phone"};
  for (int ch = 0; ch < api.QV_GetChannelCount(); ++ch) {
    int type = api.QV_GetChannelType(ch);
    host.types.push_back(type);
    std::string name = type >= 0 && type <= 2 ? names[type] : type == 5 ? "idle" : "none";
    if (type == kQvTrunk && api.QV_GetChannelType(ch + talo_demo::kTrunkUserStep) == kQvStation)
      name += ", station " + std::to_string(ch + talo_demo::kTrunkUserStep);
    std::printf("  ch %3d  type %2d  %s\n", ch, type, name.c_str());
  }
  std::printf("\n");

  char error[256] = "";
  if (api.TvcSimLoadScript(talo_demo::DayScript(fs::absolute(speech).string(), times).c_str(), error,
                           sizeof error) != 0) {
    std::fprintf(stderr, "script: %s\n", error);
    api.QV_SetActive(0);
    return 1;
  }
  // Live listening: a TCP server on loopback registers its clients with the
  // library, and a talo_listen client records line 0 live while the day runs.
  talo::tools::MonitorServer server(
      [&](int32_t ch, QV_MonitorListener *l) { return api.QV_StartNetMonitor(ch, l) != 0; },
      [&](int32_t ch, QV_MonitorListener *l) { api.QV_StopNetMonitor(ch, l); });
  std::string server_error;
  pid_t listen_pid = -1;
  const std::string live_wav = (host.out_dir / "live_line0.wav").string();
  if (server.Start(&server_error)) {
    std::printf("live listening on 127.0.0.1:%u (LISTEN <channel>); recording line 0 live into %s\n\n",
                server.Port(), live_wav.c_str());
    std::string port = std::to_string(server.Port());
    std::string seconds = std::to_string(12 * 100 / speed + 1);
    std::vector<std::string> args = {listener, "-p", port, "-c", "0", "-o", live_wav, "-d", seconds};
    std::vector<char *> argv_c;
    for (auto &a : args) argv_c.push_back(a.data());
    argv_c.push_back(nullptr);
    if (posix_spawn(&listen_pid, listener.c_str(), nullptr, nullptr, argv_c.data(), environ) != 0)
      listen_pid = -1;
  } else {
    std::printf("live listening unavailable: %s\n\n", server_error.c_str());
  }
  api.TvcSimStartScript();

  // The host's loop: wait on the library's and the server's descriptors,
  // dispatch what they hand over. The day ends once the script is done and no
  // call is being recorded (a message ends after its closing prompt), with a
  // limit in case a call never ends.
  using clock = std::chrono::steady_clock;
  const int fd = api.QV_GetMessageFd();
  auto script_done = clock::time_point::max();
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {server.HostFd(), POLLIN, 0}};
    poll(p, server.HostFd() >= 0 ? 2 : 1, 20);
    api.QV_ProcessMessages();
    server.ProcessHost();
    WatchPrompts(host);
    const auto now = clock::now();
    if (script_done == clock::time_point::max() && api.TvcSimGetPendingEvents() == 0) script_done = now;
    if (script_done == clock::time_point::max()) continue;
    const auto quiet = now - script_done;
    if ((host.recording.empty() && quiet >= std::chrono::milliseconds(1500)) ||
        quiet >= std::chrono::seconds(30))
      break;
  }
  for (auto &[ch, file] : host.recording) {
    api.QV_StopRecord(ch);
    host.finished.push_back(file);
  }
  server.Stop();
  api.QV_SetActive(0);
  if (listen_pid > 0) {
    int status = 0;
    waitpid(listen_pid, &status, 0);
    std::printf("\nlive recording of line 0: %s%s\n", live_wav.c_str(),
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : " (listener failed)");
  }

  std::printf("\nrecordings:\n");
  for (const auto &file : host.finished) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec || size == 0) {
      // A call over before the board delivered its first buffer.
      std::printf("  %s (0 bytes: nothing recorded)\n", file.c_str());
      continue;
    }
    std::string wav = file.substr(0, file.size() - 2) + ".wav";
    std::string cmd = "'" + converter + "' '" + file + "' '" + wav + "' > /dev/null";
    int rc = std::system(cmd.c_str());
    std::printf("  %s (%ju bytes)  ->  %s%s\n", file.c_str(), static_cast<uintmax_t>(size), wav.c_str(),
                rc == 0 ? "" : "  (conversion failed)");
  }
  if (host.finished.empty()) std::printf("  none\n");
  return 0;
}

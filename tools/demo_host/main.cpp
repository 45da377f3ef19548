// talo_demo: a small host that loads libTALO.so as any host would (dlopen),
// plays a scripted day of calls on the simulated board, records every call
// from off-hook to hang-up and every message left on a trunk, answers the
// library's trunk questions from its call policy and its fax questions from
// its fax desk, calls out and sends faxes at set moments, prints each event
// and outcome as it happens, and leaves a playable WAV beside each record file.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host_kit/answers.h"
#include "host_kit/day.h"
#include "host_kit/fax_desk.h"
#include "host_kit/handler_guard.h"
#include "host_kit/library.h"
#include "host_kit/policy.h"
#include "host_kit/prompts.h"
#include "monitor_server.h"
#include "talo/talo.h"
#include "tvcsim.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

using host_kit::Announce;
using host_kit::Guarded;
using host_kit::IncomingMode;
using host_kit::Request;

// The simulated board's controls the demo plays its day with.
#define DEMO_BOARD_CONTROLS(X)                                                                 \
  X(TvcSimSetChannelTotal) X(TvcSimSetChannelType) X(TvcSimSetTimeScale) X(TvcSimLoadScript) \
  X(TvcSimStartScript) X(TvcSimGetPendingEvents) X(TvcSimGetPlaying) X(TvcSimGetBoardTime)
struct Board {
  DEMO_BOARD_CONTROLS(HOST_KIT_FIELD)
};

// A request made or a fax handled, for the summary at the end of the day.
struct Outcome {
  std::string what;
  std::string result;
  int32_t trunk = -1;
  int32_t fax_direction = -1;  // 0 send, 1 receive: the fax whose OnFaxEnd is awaited
};

// A call out the host stops once the station has rung for a while.
struct StopPlan {
  int32_t trunk = -1;  // -1: none
  int32_t station = -1;
  int64_t after_ring_ms = 0;
  int64_t ring_from = -1;  // board time the station started ringing, -1 not yet
};

struct Host {
  host_kit::Exports api;
  Board board;
  host_kit::PolicyAnswers answers;  // the library's questions answered from the call policy
  fs::path out_dir;
  host_kit::Prompts prompts;  // in the Sound folder beside this program
  std::vector<int> types;                // QV channel type per channel
  std::map<int, std::string> playing;    // channel -> board prompt last seen playing
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::map<int, std::string> recording;  // channel -> record file being written
  std::vector<std::string> finished;     // record files closed
  int calls = 0;

  fs::path fax_folder;  // received faxes
  std::vector<Outcome> outcomes;
  // While a request waits in the library, the host's loop runs only through
  // the application's process_messages: these are what it needs then.
  bool in_request = false;
  talo::tools::MonitorServer *server = nullptr;
  StopPlan stop;

  void Print(const std::string &what) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[%7.3f s] %s\n", t, what.c_str());
    std::fflush(stdout);
  }
  int TypeOf(int ch) const { return ch >= 0 && ch < static_cast<int>(types.size()) ? types[ch] : -1; }

  void StartRecording(int ch, const std::string &kind) {
    StopRecording(ch);  // a call the library never ended keeps what it has
    std::string file = (out_dir / ((TypeOf(ch) == QV_CHANNEL_TRUNK ? "trunk" : "line") + std::to_string(ch) +
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

// A channel kind in the channel table.
const char *KindName(int32_t type) {
  switch (type) {
    case QV_CHANNEL_LINE: return "line recording";
    case QV_CHANNEL_TRUNK: return "trunk";
    case QV_CHANNEL_STATION: return "user phone";
    case QV_CHANNEL_IDLE: return "idle";
    default: return "none";
  }
}

std::string Flag(uint8_t f) { return f ? "true" : "false"; }
std::string Ch(int32_t ch) { return " ch=" + std::to_string(ch); }
std::string Quoted(const char *text) { return std::string("\"") + (text ? text : "") + "\""; }

// ---- line and common events

void OnActiveChanged(void *, uint8_t active) { g_host->Print("OnActiveChanged active=" + Flag(active)); }

void OnOffHook(void *, int32_t ch, uint8_t after_ring) {
  g_host->Print("OnOffHook" + Ch(ch) + " afterRing=" + Flag(after_ring));
  // A station phone is not recorded: its conversation is on the trunk.
  if (g_host->TypeOf(ch) != QV_CHANNEL_STATION) g_host->StartRecording(ch, "call");
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
  StopPlan &stop = g_host->stop;
  if (ringing && stop.trunk >= 0 && ch == stop.station && stop.ring_from < 0)
    stop.ring_from = g_host->board.TvcSimGetBoardTime();
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
  const IncomingMode mode = g_host->answers.IncomingCall(ch, plan);
  const host_kit::Policy &policy = g_host->answers.CallPolicy();
  std::string answer = std::string("mode ") + host_kit::ModeName(mode);
  if (mode == IncomingMode::kRingThenMessage)
    answer += ", station rings " + std::to_string(policy.user_ring_timeout_ms) + " ms";
  if (mode != IncomingMode::kRing)
    answer += std::string(", number entry ") + (policy.number_entry ? "on" : "off");
  g_host->Print("OnIncomingCall" + Ch(ch) + " -> " + answer);
}

// A path answer as printed: a prompt by its name in the Sound folder.
std::string Shown(const Host &host, const host_kit::PathAnswer &answer) {
  if (answer.path.empty()) return "none: " + answer.refused;
  const std::string inside = fs::path(answer.path).lexically_relative(host.prompts.Folder()).string();
  return inside.empty() || inside.starts_with("..") ? answer.path : inside;
}

void OnQuery(void *, int32_t code, void *arg, void *result) {
  Host &host = *g_host;
  const host_kit::Question q = host_kit::ReadQuestion(code, arg);
  const host_kit::QueryAnswer a = host.answers.Query(q, result, [&](int32_t ch, const std::string &caller) {
    return host_kit::ReceivedFaxPath(host.fax_folder, ch, caller, std::time(nullptr));
  });
  const host_kit::FaxPool &pool = host.answers.Pool();
  switch (code) {
    case QV_QUERY_FAX_ONLY:
      host.Print("OnQuery fax-only?" + Ch(q.channel) + (a.yes ? " -> yes, a fax line" : " -> no"));
      break;
    case QV_QUERY_FAX_CHANNEL:
      host.Print("OnQuery fax channel? -> " +
                 (a.fax_channel < 0 ? std::string("none free (-1)")
                                    : std::to_string(a.fax_channel) + " (" + std::to_string(pool.Lent()) + " of " +
                                          std::to_string(pool.Size()) + " lent)"));
      break;
    case QV_QUERY_FAX_RX_PROMPT:
    case QV_QUERY_FAX_TX_PROMPT:
      host.Print(std::string("OnQuery fax ") + (code == QV_QUERY_FAX_RX_PROMPT ? "receive" : "send") +
                 " prompt? -> " + Shown(host, a.file));
      break;
    case QV_QUERY_FAX_FILE_NAME:
      // ReceivedFaxPath names nothing when the folder leaves no room for the name.
      host.Print("OnQuery fax file name?" + Ch(q.channel) + " mode=" + std::to_string(q.mode) +
                 " caller=" + Quoted(q.number.c_str()) + " -> " +
                 (a.file.path.empty() && a.file.refused.empty() ? "none: the folder's path is too long for the name"
                  : a.file.path.empty()                          ? "none: " + a.file.refused
                                                                 : a.file.path));
      break;
    case QV_QUERY_CALLER_REJECTED:
      host.Print("OnQuery caller-rejected? number=\"" + q.number + "\" -> " +
                 (a.yes ? "yes, a blocked caller" : "no"));
      break;
    default:
      host.Print("OnQuery code=" + std::to_string(code) + " -> library default");
      break;
  }
}

void OnIncomingAnswered(void *, int32_t ch, QV_AnswerReply *reply) {
  const host_kit::AnswerPrompts a = g_host->answers.IncomingAnswered(ch, reply);
  g_host->Print("OnIncomingAnswered" + Ch(ch) + " -> " + (!a.prompts ? "no prompts" : "prompts") +
                (a.announced.empty() ? std::string() : ", announcing \"" + a.announced + "\""));
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
  const host_kit::PickUpAnswer a = g_host->answers.UserPickUp(station, reply);
  g_host->Print("OnUserPickUp" + Ch(station) + " -> " +
                (!a.required ? "no sign-on needed" : a.signed_on ? "signed on already" : "sign-on required"));
}

void OnSignOn(void *, int32_t station, int32_t trunk, const char *account, const char *pin,
              QV_CommandReply *reply) {
  const bool accepted = g_host->answers.SignOn(station, account, pin, reply);
  // The PIN is not printed, only its length.
  g_host->Print("OnSignOn" + Ch(station) + " trunk=" + std::to_string(trunk) + " account=" + Quoted(account) +
                " pin=\"" + std::string(pin ? std::strlen(pin) : 0, '*') + "\" -> " +
                (accepted ? "accepted" : "refused"));
}

void OnSignOff(void *, int32_t station, int32_t trunk) {
  g_host->answers.SignOff(station);
  g_host->Print("OnSignOff" + Ch(station) + " trunk=" + std::to_string(trunk));
}

void OnTrunkConnected(void *, int32_t station, QV_ConnectReply *reply) {
  const bool notice = g_host->answers.TrunkConnected(reply);
  g_host->Print("OnTrunkConnected" + Ch(station) + " -> " +
                (notice ? "recording notice when the far end answers" : "no prompts"));
}

void OnDialCheck(void *, int32_t station, const char *account, const char *digits, QV_DialCheckReply *reply) {
  const bool blocked = g_host->answers.DialCheck(digits, reply);
  g_host->Print("OnDialCheck" + Ch(station) + " account=" + Quoted(account) + " digits=" + Quoted(digits) +
                " -> " + (blocked ? "blocked" : "allowed"));
}

std::string FaxEndText(int32_t direction, int32_t result) {
  if (direction == 1) return "received";
  switch (result) {
    case 0: return "transferred";
    case 1: return "busy";
    case 2: return "no fax tone in 60 s";
    case 3: return "no fax channel";
    default: return "?";
  }
}

void OnFaxStart(void *, int32_t ch, int32_t fax_ch, int32_t direction) {
  g_host->Print("OnFaxStart" + Ch(ch) + " fax=" + std::to_string(fax_ch) +
                " direction=" + std::to_string(direction) + (direction == 1 ? " (receive)" : " (send)"));
  if (direction == 1) g_host->outcomes.push_back({"fax in on trunk " + std::to_string(ch), "", ch, 1});
}

void OnFaxEnd(void *, int32_t ch, int32_t fax_ch, int32_t direction, const char *file, int32_t result) {
  Host &host = *g_host;
  std::string end = std::to_string(result) + " (" + FaxEndText(direction, result) + ")";
  if (direction == 1) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file ? file : "", ec);
    end += ec ? ", nothing stored" : ", " + std::to_string(size) + " bytes";
  }
  host.Print("OnFaxEnd" + Ch(ch) + " fax=" + std::to_string(fax_ch) +
             " direction=" + std::to_string(direction) + " file=" + Quoted(file) + " result=" + end);
  if (host.answers.ReturnFaxChannel(fax_ch))
    host.Print("  fax channel " + std::to_string(fax_ch) + " back in the pool (" +
               std::to_string(host.answers.Pool().Lent()) + " of " + std::to_string(host.answers.Pool().Size()) +
               " lent)");
  for (auto it = host.outcomes.rbegin(); it != host.outcomes.rend(); ++it) {
    if (it->trunk != ch || it->fax_direction != direction) continue;
    it->result = (it->result.empty() ? "" : it->result + "; ") + "OnFaxEnd " + end + " through fax " +
                 std::to_string(fax_ch) + (direction == 1 ? " into " + std::string(file ? file : "") : "");
    it->fax_direction = -1;
    break;
  }
}

// What the board plays on the trunks and stations is no event, but it shows
// which prompt a caller or user hears; seen by polling.
void WatchPrompts(Host &host) {
  for (int ch = 0; ch < static_cast<int>(host.types.size()); ++ch) {
    if (host.types[ch] != QV_CHANNEL_TRUNK && host.types[ch] != QV_CHANNEL_STATION) continue;
    char path[512] = "";
    host.board.TvcSimGetPlaying(ch, path, sizeof path);
    std::string &last = host.playing[ch];
    if (last == path) continue;
    last = path;
    if (!last.empty()) {
      std::string shown = fs::path(last).lexically_relative(host.prompts.Folder()).string();
      host.Print("  board: ch " + std::to_string(ch) + " plays " + (shown.empty() ? last : shown));
    }
  }
}

// ---- the host's requests

std::string DialResultText(int32_t result) {
  switch (result) {
    case 0: return "the station answered";
    case 1: return "busy tone before dialling";
    case 3: return "the station did not answer in 30 s";
    case 5: return "stopped by the host";
    case QV_DIAL_BUSY_RESULT: return "refused: not a trunk with a station, busy, or a bad number";
    default: return "?";
  }
}

std::string FaxRequestText(int32_t result) {
  switch (result) {
    case 0: return "begun";
    case 1: return "no such channel";
    case 2: return "no worker on the channel";
    case 3: return "busy or not a trunk";
    case 4: return "no fax channel free";
    case 5: return "the file is missing";
    default: return "?";
  }
}

// Stops the call out once its station has rung long enough; runs in the
// host's loop, which QV_SoftDialOut keeps turning while it waits.
void CheckStop(Host &host) {
  StopPlan &stop = host.stop;
  if (stop.trunk < 0 || stop.ring_from < 0) return;
  const int64_t rang = host.board.TvcSimGetBoardTime() - stop.ring_from;
  if (rang < stop.after_ring_ms) return;
  host.Print("host: QV_StopSoftDialOut ch=" + std::to_string(stop.trunk) + " (station " +
             std::to_string(stop.station) + " has rung " + std::to_string(rang) + " ms)");
  host.api.QV_StopSoftDialOut(stop.trunk);
  stop = StopPlan{};
}

// The application's process_messages: the library calls it on this thread
// while a request waits, so the host's own work goes on meanwhile.
void RunHostLoop(void *) {
  Host &host = *g_host;
  if (!host.in_request) return;
  WatchPrompts(host);
  if (host.server) host.server->ProcessHost();
  CheckStop(host);
}

void Perform(Host &host, const Request &r) {
  const std::string call = "(" + std::to_string(r.trunk) + ", \"" + r.number + "\"";
  Outcome outcome{"", "", r.trunk, -1};
  host.in_request = true;
  if (r.kind == Request::Kind::kDial) {
    const int32_t station = host.TypeOf(r.trunk + host_kit::kTrunkUserStep) == QV_CHANNEL_STATION
                                ? r.trunk + host_kit::kTrunkUserStep
                                : -1;
    host.Print("host: QV_SoftDialOut" + call + ", 1): " + r.about);
    if (r.stop_after_ring_ms >= 0) host.stop = {r.trunk, station, r.stop_after_ring_ms, -1};
    const int32_t result = host.api.QV_SoftDialOut(r.trunk, r.number.c_str(), 1);
    host.stop = StopPlan{};
    host.Print("host: QV_SoftDialOut" + Ch(r.trunk) + " -> " + std::to_string(result) + ", " +
               DialResultText(result));
    outcome.what = "call out on trunk " + std::to_string(r.trunk) + " to " + r.number + " (" + r.about + ")";
    outcome.result = std::to_string(result) + ", " + DialResultText(result);
  } else {
    // Option 0: a fax channel refused shows in the request's result alone.
    const std::string file = fs::path(r.file).filename().string();
    host.Print("host: QV_SoftSendFax" + call + ", " + file + ", 0): " + r.about);
    const int32_t result = host.api.QV_SoftSendFax(r.trunk, r.number.c_str(), r.file.c_str(), 0);
    host.Print("host: QV_SoftSendFax" + Ch(r.trunk) + " -> " + std::to_string(result) + ", " +
               FaxRequestText(result));
    outcome.what = "fax out on trunk " + std::to_string(r.trunk) + " to " + r.number + ", " + file + " (" +
                   r.about + ")";
    outcome.result = "request " + std::to_string(result) + ", " + FaxRequestText(result);
    if (result == 0) outcome.fax_direction = 0;
  }
  host.in_request = false;
  host.outcomes.push_back(std::move(outcome));
}

// ---- the day's set-up

// "CH:NUMBER" (call out) or "CH:NUMBER:FILE" (fax; the file may hold colons),
// checked before anything starts. False with a message on a mistake.
bool ParseRequest(Request::Kind kind, const std::string &value, int channels, Request *out,
                  std::string *error) {
  const bool fax = kind == Request::Kind::kFax;
  const size_t first = value.find(':');
  const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
  if (first == std::string::npos || (fax && second == std::string::npos)) {
    *error = std::string("expected ") +
             (fax ? "CH:NUMBER:FILE, e.g. 14:5550123:letter.pbm" : "CH:NUMBER, e.g. 12:5556000");
    return false;
  }
  const std::string ch = value.substr(0, first);
  const std::string number = fax ? value.substr(first + 1, second - first - 1) : value.substr(first + 1);
  const std::string range = "(0 to " + std::to_string(channels - 1) + ")";
  if (ch.empty() || ch.size() > 4 || ch.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(ch) >= channels) {
    *error = "\"" + ch + "\" is not a channel of the board " + range;
    return false;
  }
  if (number.empty() || number.size() > 127 ||
      number.find_first_not_of("0123456789*#ABCD") != std::string::npos) {
    *error = "\"" + number + "\" is not a number to dial (keys 0-9, *, #, A-D; at most 127)";
    return false;
  }
  Request r;
  r.kind = kind;
  r.trunk = std::stoi(ch);
  r.number = number;
  r.about = "from the command line";
  if (fax) {
    const fs::path file = fs::absolute(value.substr(second + 1));
    std::error_code ec;
    if (!fs::is_regular_file(file, ec) || !std::ifstream(file, std::ios::binary)) {
      *error = "cannot read the file " + file.string() +
               (fs::exists(file, ec) ? ": not a readable file" : ": no such file");
      return false;
    }
    // The library keeps 255 characters of it; a cut path would name another file.
    if (file.string().size() > 255) {
      *error = "the file's path " + file.string() + " is longer than 255 characters";
      return false;
    }
    r.file = file.string();
  }
  *out = std::move(r);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Plays a scripted day of calls on the simulated board through libTALO.so"};
  std::string lib_dir, out_dir = "demo-out", speech, converter, policy_file;
  int speed = 100;
  int channels = host_kit::kDayChannels;
  app.add_option("--lib-dir", lib_dir, "folder of libTALO.so (default: ../lib beside this program)");
  app.add_option("--out", out_dir, "folder for the record files");
  app.add_option("--speech", speech, "16-bit 8 kHz mono WAV played as the callers' speech")->required();
  app.add_option("--speed", speed, "board time scale in percent of real time")->check(CLI::Range(1, 10000));
  app.add_option("--channels", channels, "channels on the board")
      ->check(CLI::Range(host_kit::kDayChannels, 256));
  app.add_option("--converter", converter, "talo2wav program (default: beside this program)");
  app.add_option("--policy", policy_file,
                 "call policy, a JSON file (default: the built-in one, as in tools/demo_host/policy.json)");
  std::string listener = "";
  app.add_option("--listener", listener, "talo_listen program (default: beside this program)");
  std::vector<std::string> dial_args, fax_args;
  CLI::Option *dial_option =
      app.add_option("--dial", dial_args, "call out on trunk CH for its station (QV_SoftDialOut); repeatable")
          ->type_name("CH:NUMBER");
  CLI::Option *fax_option =
      app.add_option("--fax", fax_args, "send FILE from trunk CH to NUMBER (QV_SoftSendFax); repeatable")
          ->type_name("CH:NUMBER:FILE");
  app.footer(
      "The prompts are read from Sound/ beside this program (scripts/demo.sh makes them).\n"
      "The --dial and --fax requests are made in the order given, from " +
      std::to_string(host_kit::kCommandLineFromMs / 1000) + " s of board time on, " +
      std::to_string(host_kit::kCommandLineSlotMs / 1000) +
      " s apart; the board's station answers a call out and hangs up, and the number a fax is "
      "sent to is a fax machine.");
  CLI11_PARSE(app, argc, argv);

  Host host;
  g_host = &host;
  // The policy and the requests first: a mistake in them stops the demo before anything starts.
  host_kit::Policy policy;
  try {
    policy = host_kit::LoadPolicy(policy_file);
  } catch (const host_kit::PolicyError &e) {
    std::fprintf(stderr, "talo_demo: %s\n", e.what());
    return 2;
  }
  // In the order given: CLI11 keeps each option's values apart, and the
  // order in which the values came.
  std::vector<Request> command_line;
  size_t dials_taken = 0, faxes_taken = 0;
  auto take = [&](bool dial) {
    const std::string &value = dial ? dial_args[dials_taken++] : fax_args[faxes_taken++];
    Request request;
    std::string error;
    if (!ParseRequest(dial ? Request::Kind::kDial : Request::Kind::kFax, value, channels, &request, &error)) {
      std::fprintf(stderr, "talo_demo: %s '%s': %s\n", dial ? "--dial" : "--fax", value.c_str(),
                   error.c_str());
      return false;
    }
    command_line.push_back(std::move(request));
    return true;
  };
  for (const CLI::Option *option : app.parse_order()) {
    if (option == dial_option && dials_taken < dial_args.size() && !take(true)) return 2;
    if (option == fax_option && faxes_taken < fax_args.size() && !take(false)) return 2;
  }
  while (dials_taken < dial_args.size()) {
    if (!take(true)) return 2;
  }
  while (faxes_taken < fax_args.size()) {
    if (!take(false)) return 2;
  }

  const fs::path self = host_kit::ProgramFolder();
  if (converter.empty()) converter = (self / "talo2wav").string();
  if (listener.empty()) listener = (self / "talo_listen").string();
  host.prompts = host_kit::Prompts(self / "Sound");

  std::unique_ptr<host_kit::Library> library;
  try {
    library = std::make_unique<host_kit::Library>(lib_dir);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!library->Board()) {
    std::fprintf(stderr, "the simulated board is not loaded beside libTALO.so\n");
    return 1;
  }
  host.api = library->Api();
#define BIND(name) host.board.name = HOST_KIT_SYMBOL(library->Board(), name);
  DEMO_BOARD_CONTROLS(BIND)
#undef BIND
  const auto &api = host.api;
  const Board &board = host.board;

  host.out_dir = fs::absolute(out_dir);
  fs::create_directories(host.out_dir);
  // The fax desk: received faxes go to faxes/; the pages the day's fax
  // machines send are made afresh, so none is checked in.
  host.fax_folder = host.out_dir / "faxes";
  fs::create_directories(host.fax_folder);
  host_kit::DayPages pages;
  try {
    pages = host_kit::WriteDayPages(host.out_dir / "fax_pages");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "talo_demo: %s\n", e.what());
    return 1;
  }
  std::printf("talo_demo: device type %s, record files in %s\n", api.QV_GetDeviceType(),
              host.out_dir.c_str());
  std::printf("policy: %s\n", policy_file.empty() ? "built in" : policy_file.c_str());
  std::vector<std::string> missing;
  const host_kit::DayTimes times = host_kit::MeasureDay(host.prompts, fs::absolute(speech), &missing);
  std::printf("prompts: %s\n", host.prompts.Folder().c_str());
  if (!missing.empty()) {
    std::string names;
    for (const auto &file : missing)
      names += " " + fs::path(file).lexically_relative(host.prompts.Folder()).string();
    std::printf("  missing (the library skips them; scripts/demo.sh makes them):%s\n", names.c_str());
  }

  // Board: the day's layout (day.h); channels past it are line channels.
  board.TvcSimSetChannelTotal(channels);
  for (int ch = 0; ch < channels; ++ch) board.TvcSimSetChannelType(ch, host_kit::DriverTypeOf(ch));
  host.answers = host_kit::PolicyAnswers(std::move(policy), host.prompts, host_kit::FaxPool(host_kit::FaxChannels()));
  board.TvcSimSetTimeScale(speed);

  QV_HostEvents events{};
  auto set = [&](int slot, auto fn) { events.slots[slot] = {reinterpret_cast<void *>(fn), nullptr}; };
  set(QV_SLOT_ACTIVE_CHANGED, &Guarded<&OnActiveChanged>::Call);
  set(QV_SLOT_OFF_HOOK, &Guarded<&OnOffHook>::Call);
  set(QV_SLOT_HANG_UP, &Guarded<&OnHangUp>::Call);
  set(QV_SLOT_CALLER_ID, &Guarded<&OnCallerId>::Call);
  set(QV_SLOT_RING, &Guarded<&OnRing>::Call);
  set(QV_SLOT_SILENCE, &Guarded<&OnSilence>::Call);
  set(QV_SLOT_LINE_EMPTY, &Guarded<&OnLineEmpty>::Call);
  set(QV_SLOT_DTMF, &Guarded<&OnDtmf>::Call);
  set(QV_SLOT_RECORD_LIMIT, &Guarded<&OnRecordLimit>::Call);
  set(QV_SLOT_INCOMING_CALL, &Guarded<&OnIncomingCall>::Call);
  set(QV_SLOT_LEAVE_MESSAGE, &Guarded<&OnLeaveMessage>::Call);
  set(QV_SLOT_LEAVE_MESSAGE_END, &Guarded<&OnLeaveMessageEnd>::Call);
  set(QV_SLOT_USER_PICK_UP, &Guarded<&OnUserPickUp>::Call);
  set(QV_SLOT_SIGN_OFF, &Guarded<&OnSignOff>::Call);
  set(QV_SLOT_SIGN_ON, &Guarded<&OnSignOn>::Call);
  set(QV_SLOT_DIAL_CHECK, &Guarded<&OnDialCheck>::Call);
  set(QV_SLOT_INCOMING_ANSWERED, &Guarded<&OnIncomingAnswered>::Call);
  set(QV_SLOT_TRUNK_CONNECTED, &Guarded<&OnTrunkConnected>::Call);
  set(QV_SLOT_FAX_START, &Guarded<&OnFaxStart>::Call);
  set(QV_SLOT_FAX_END, &Guarded<&OnFaxEnd>::Call);
  set(QV_SLOT_QUERY, &Guarded<&OnQuery>::Call);

  // The host's loop goes on inside the requests' waits through process_messages.
  const QV_HostApplication application{nullptr, &Guarded<&RunHostLoop>::Call, nullptr};
  api.QV_InitDll(&application, 0, 0, 0);
  api.QV_SetCallBakFunc(events);
  if (!api.QV_SetActive(1)) {
    std::fprintf(stderr, "activation failed\n");
    return 1;
  }
  api.QV_SetTrunkUserStep(host_kit::kTrunkUserStep);

  std::printf("\nchannel table (%d channels on %d board(s)):\n", api.QV_GetChannelCount(),
              api.QV_GetDeviceCount());
  for (int ch = 0; ch < api.QV_GetChannelCount(); ++ch) {
    int type = api.QV_GetChannelType(ch);
    host.types.push_back(type);
    std::string name = KindName(type);
    if (type == QV_CHANNEL_TRUNK && api.QV_GetChannelType(ch + host_kit::kTrunkUserStep) == QV_CHANNEL_STATION)
      name += ", station " + std::to_string(ch + host_kit::kTrunkUserStep);
    if (type == QV_CHANNEL_TRUNK && host.answers.CallPolicy().FaxOnly(ch)) name += ", fax only";
    // The library leaves fax channels alone (type -1); they are the host's.
    if (host_kit::DriverTypeOf(ch) == host_kit::kFaxType)
      name = "fax channel, in the host's pool";
    std::printf("  ch %3d  type %2d  %s\n", ch, type, name.c_str());
  }
  std::printf("\n");

  const host_kit::DayPlan day = host_kit::PlanDay(
      {fs::absolute(speech).string(), times, pages.letter, pages.far_page, command_line});
  char error[256] = "";
  if (board.TvcSimLoadScript(day.script.c_str(), error, sizeof error) != 0) {
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
  host.server = &server;
  board.TvcSimStartScript();

  // The host's loop: wait on the library's and the server's descriptors,
  // dispatch what they hand over, make the requests that are due. The day
  // ends once the script and the requests are done, no call is being
  // recorded (a message ends after its closing prompt) and no fax channel is
  // lent, with a limit in case a call never ends.
  using clock = std::chrono::steady_clock;
  const int fd = api.QV_GetMessageFd();
  auto script_done = clock::time_point::max();
  size_t next_request = 0;
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {server.HostFd(), POLLIN, 0}};
    poll(p, server.HostFd() >= 0 ? 2 : 1, 20);
    api.QV_ProcessMessages();
    server.ProcessHost();
    WatchPrompts(host);
    while (next_request < day.requests.size() && board.TvcSimGetBoardTime() >= day.requests[next_request].at_ms)
      Perform(host, day.requests[next_request++]);
    const auto now = clock::now();
    if (script_done == clock::time_point::max() && board.TvcSimGetPendingEvents() == 0 &&
        next_request == day.requests.size())
      script_done = now;
    if (script_done == clock::time_point::max()) continue;
    const auto quiet = now - script_done;
    if ((host.recording.empty() && host.answers.Pool().Lent() == 0 && quiet >= std::chrono::milliseconds(1500)) ||
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

  std::printf("\nrequests and faxes:\n");
  for (const Outcome &o : host.outcomes) {
    const char *open = o.fax_direction < 0 ? "" : o.result.empty() ? "no OnFaxEnd" : "; no OnFaxEnd";
    std::printf("  %s: %s%s\n", o.what.c_str(), o.result.c_str(), open);
  }
  if (host.outcomes.empty()) std::printf("  none\n");
  return 0;
}

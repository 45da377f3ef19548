// Drives the 31 QV_ exports with arbitrary arguments on the simulated board, as a host
// would from its main thread: a board layout, then a sequence of export calls, board
// events (callers, stations, digits, buffers, time) and message pumping. Handlers answer
// with replies the input chooses and may call back into the library.
//
// Input: byte 0 the channel total (1..12), one byte per channel for its type, three
// bytes of handler-slot mask, then operations: one byte picks the operation, the bytes
// after it its arguments (see Run). Every read past the end gives 0, so any input is valid.
//
// The library's clock (and the board's) runs kClockSpeed times faster than real time, so
// deactivation's 200 ms wait and the call procedures' timeouts cost a tenth; it starts
// 4 s of its time below the 32-bit wrap, so each run crosses the wrap early on.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "callflow/procedure.h"
#include "driver/driver.h"
#include "host/library.h"
#include "platform/tick.h"
#include "talo/talo.h"
#include "tvcsim.h"

namespace {

// ---- limits of one input

constexpr uint32_t kClockSpeed = 10;
constexpr int kMaxOps = 64;
constexpr auto kInputBudget = std::chrono::milliseconds(3000);
// A request still waiting after this long is stopped through the host's message hook.
constexpr auto kStopDialAfter = std::chrono::milliseconds(150);
// A request still waiting after this long makes the host quit (terminated() answers 1).
constexpr auto kQuitAfter = std::chrono::milliseconds(2500);

// An operation still running after this long is a hang: the watchdog reports it.
constexpr int64_t kHangMs = 10000;

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const char *what) {
  std::fprintf(stderr, "exports_fuzz: %s\n", what);
  std::abort();
}

void Check(bool ok, const char *what) {
  if (!ok) Fail(what);
}

// ---- the fast clock

uint32_t g_clock_origin_ms = 0;

uint32_t RealMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000);
}

uint32_t FastTicks() {
  return 0xFFFFF000u + (RealMs() - g_clock_origin_ms) * kClockSpeed;
}

// ---- the watchdog: a blocked export never returns to be timed, so a thread looks at it

std::atomic<int64_t> g_op_started_ms{0};  // 0: no operation running
std::atomic<int> g_op_id{-1};
pthread_t g_main_handle;

// The 31 exports in talo.h's order, then the board events (see BoardEvent).
const char *OperationName(int id) {
  static const char *const kNames[] = {
      "QV_InitDll", "QV_SetActive", "QV_GetActive", "QV_GetDeviceCount", "QV_GetChannelCount",
      "QV_SetChannelCount", "QV_GetDeviceType", "QV_GetChannelType", "QV_SetCallBakFunc",
      "QV_SetRecordAGC", "QV_SetRecMode", "QV_SetSilenceTime", "QV_SetSilencelevel", "QV_SetFileLen",
      "QV_StartRecord", "QV_StopRecord", "QV_GetFilePreChar", "QV_WavToLeaveMsgFile",
      "QV_SetTrunkUserStep", "QV_SoftDialOut", "QV_StopSoftDialOut", "QV_SoftSendFax",
      "QV_StartNetMonitor", "QV_StopNetMonitor", "QV_StartPlayDevice", "QV_StopPlayDevice",
      "QV_StartMonitorDevice", "QV_StopMonitorDevice", "QV_ProcessMessages", "QV_GetMessageFd",
      "QV_SetDebugOutput", "incoming call", "caller hangs up", "line state", "digits",
      "counter", "sound", "line tone", "far end", "fax plan", "advance clock", "deliver buffers",
      "caller id", "auto-answer", "pump", "sleep", "audio source", "tone result", "freq flag",
      "load result", "replies", "handler action", "listener"};
  if (id < 0) return "deactivation at the end";
  return id < static_cast<int>(std::size(kNames)) ? kNames[id] : "?";
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void Watchdog() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int64_t started = g_op_started_ms.load();
    if (started != 0 && SteadyMs() - started > kHangMs) {
      std::fprintf(stderr, "exports_fuzz: operation %d (%s) blocked for more than %lld ms\n",
                   g_op_id.load(), OperationName(g_op_id.load()), static_cast<long long>(kHangMs));
      // Aborted on the main thread, so the report shows where it is stuck.
      pthread_kill(g_main_handle, SIGABRT);
      std::this_thread::sleep_for(std::chrono::seconds(5));
      std::abort();
    }
  }
}

// ---- the input

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  int32_t I32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(U8()) << (8 * i);
    return static_cast<int32_t>(v);
  }
  std::string Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char *>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// A text argument: a C string or a null pointer.
struct Text {
  bool null = false;
  std::string s;
  const char *c() const { return null ? nullptr : s.c_str(); }
};

// ---- process-wide state (host main thread unless said otherwise)

std::string g_dir;     // scratch folder: p/ prompts and sources, w/ what the library writes
std::string g_prompt;  // a short board-format prompt
std::string g_fax;     // a file to send as a fax
std::string g_wav;     // a WAV file
std::string g_fifo;    // a FIFO nobody reads or writes
int32_t g_total = 8;
std::thread::id g_main;
int g_depth = 0;  // handlers running on the main thread now
bool g_nested_set_active = false;  // a handler called QV_SetActive successfully
bool g_quit = false;
bool g_verbose = false;  // TALO_FUZZ_VERBOSE=1: each operation and its time on stderr
int g_baseline_threads = -1;
int g_baseline_fds = -1;
Clock::time_point g_input_start;

// Requests waiting on the main thread, innermost last.
struct Pending {
  int32_t ch;
  bool dial;
  Clock::time_point since;
  bool stopped;
};
std::vector<Pending> g_pending;

// ---- what the handlers answer; set by the input

enum FileChoice : uint8_t { kEmpty, kPrompt, kMissing, kFull, kPromptPadded, kFileChoices };

struct Replies {
  int32_t incoming_mode = 0;
  int32_t ring_timeout = 0;
  uint8_t files = 0;  // FileChoice per field, taken from successive bit pairs
  uint8_t number_entry = 0;
  uint8_t sign_on_required = 0;
  uint8_t signed_on = 0;
  uint8_t command_accepted = 1;
  uint8_t dial_blocked = 0;
  uint8_t play_answer_prompts = 0;
  uint8_t announce_chars = 0;
  uint8_t announce = 0;  // 0 digits, 1 a full field without a zero byte, 2 odd bytes
  uint8_t polarity_prompts = 0;
  uint8_t fax_only = 0;
  int32_t fax_channel = -1;
  uint8_t caller_rejected = 0;
  uint8_t query_text = 0;  // 0 short, 1 a full field without a zero byte
};
Replies g_replies;

// What a handler does besides answering: an export called back from inside it.
enum Action : uint8_t {
  kNothing,
  kStartRecord,
  kStopRecord,
  kDeactivate,
  kActivate,
  kDialOut,
  kStopDial,
  kSendFax,
  kPump,
  kNetMonitor,
  kStopNetMonitor,
  kSetEvents,
  kSetTrunkStep,
  kActions
};
uint8_t g_actions[QV_SLOT_COUNT] = {};
QV_HostEvents g_events{};

// ---- live-monitor listeners: called on the monitor threads

struct Listener {
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{};
  std::atomic<uint8_t> connected{1};
  std::atomic<int32_t> write_result{0};
  std::atomic<uint64_t> bytes{0};
};
Listener g_listeners[3];

uint8_t ListenerConnected(void *context) { return static_cast<Listener *>(context)->connected.load(); }

int32_t ListenerWrite(void *context, const void *data, int32_t size) {
  auto *l = static_cast<Listener *>(context);
  Check(data != nullptr && size > 0 && size <= 1 << 20, "monitor write: bad block");
  // Touching every byte lets ASan judge the block.
  l->bytes += static_cast<uint64_t>(std::count(static_cast<const uint8_t *>(data),
                                               static_cast<const uint8_t *>(data) + size, 0));
  return l->write_result.load();
}

void ListenerDisconnect(void *) {}

QV_MonitorListener *ListenerArg(Reader &r) {
  const uint8_t b = r.U8() % 5;
  if (b == 4) return nullptr;
  if (b == 3) return &g_listeners[0].listener;  // one without a connection
  return &g_listeners[b].listener;
}

// ---- debug sink: any thread

std::atomic<uint64_t> g_trace_lines{0};

void TraceSink(void *context, const char *line) {
  Check(context == &g_trace_lines && line != nullptr, "debug sink: bad arguments");
  Check(strnlen(line, 1 << 20) < (1 << 20), "debug sink: unterminated line");
  ++g_trace_lines;
}

// ---- argument makers

int32_t ChannelArg(Reader &r) {
  static constexpr int32_t kOdd[] = {-1, -2, INT32_MIN, INT32_MAX, 256, 4096, 65536, -65536};
  const uint8_t b = r.U8();
  if (b >= 0xF8) return kOdd[b - 0xF8];
  return b % (g_total + 2);  // the board's channels and the first two past its end
}

int32_t IntArg(Reader &r) {
  // 71583 minutes wrap to a 12.7 s file-length limit, 35792 to one just past INT32_MAX.
  static constexpr int32_t kOdd[] = {INT32_MIN, INT32_MAX, -1, -1000, 65535, 65536, 1000000, 35792, 71583};
  const uint8_t b = r.U8();
  if (b == 0xFF) return r.I32();
  if (b >= 0xF6) return kOdd[b - 0xF6];
  return static_cast<int32_t>(b) - 16;
}

// Non-zero bytes, `length` of them, repeating a short pattern from the input.
std::string Filled(Reader &r, size_t length, const char *alphabet) {
  std::string pattern = r.Bytes(1 + r.U8() % 8);
  if (pattern.empty()) pattern = "5";
  std::string out(length, '\0');
  const size_t n = std::strlen(alphabet);
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(pattern[i % pattern.size()]);
    out[i] = n ? alphabet[c % n] : static_cast<char>(c ? c : '0');
  }
  return out;
}

// Around the fixed fields' sizes: a zero byte inside the field or none.
size_t FieldLength(Reader &r) {
  static constexpr size_t kLengths[] = {126, 127, 128, 129, 255, 256, 257, 300, 511};
  return kLengths[r.U8() % std::size(kLengths)];
}

Text NumberArg(Reader &r) {
  Text t;
  switch (r.U8() % 6) {
    case 0: t.null = true; break;
    case 1: break;
    case 2: t.s = Filled(r, r.U8() % 24, "0123456789*#ABCD"); break;
    case 3: t.s = Filled(r, r.U8() % 64, ""); break;
    case 4: t.s = Filled(r, FieldLength(r), "0123456789"); break;
    default: t.s = Filled(r, FieldLength(r), ""); break;
  }
  return t;
}

// File names stay inside the scratch folder: no ".." can form, whatever the bytes.
std::string SafeName(Reader &r, size_t length) {
  std::string name = Filled(r, length, "abc019_-.:/\\ #");
  for (size_t i = 1; i < name.size(); ++i)
    if (name[i] == '.' && name[i - 1] == '.') name[i] = '_';
  return name;
}

// A path the library writes to: under w/, or the FIFO that nobody reads.
Text WritePathArg(Reader &r) {
  Text t;
  const std::string base = g_dir + "/w/";
  switch (r.U8() % 9) {
    case 0: t.null = true; break;
    case 1: break;
    case 2: t.s = base; break;  // the folder itself
    case 3: t.s = base + SafeName(r, r.U8() % 48); break;
    case 4: t.s = base + SafeName(r, FieldLength(r)); break;
    case 5: t.s = base + "rec" + std::to_string(r.U8() % 4) + ".v"; break;
    case 6: t.s = base + "a\\b\\c" + std::to_string(r.U8() % 2) + ".v"; break;
    case 7: t.s = base + "d" + std::to_string(r.U8() % 3) + "/e/f.v"; break;
    default: t.s = g_fifo; break;
  }
  return t;
}

// A path the library only reads: the prompts, a FIFO, or anything it may have written.
Text ReadPathArg(Reader &r) {
  Text t;
  switch (r.U8() % 8) {
    case 0: t.null = true; break;
    case 1: t.s = g_prompt; break;
    case 2: t.s = g_fax; break;
    case 3: t.s = g_wav; break;
    case 4: t.s = g_dir + "/p/missing"; break;
    case 5: t.s = g_dir + "/p"; break;
    case 6: t.s = g_fifo; break;
    default: return WritePathArg(r);
  }
  return t;
}

// ---- the scratch folder

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write the scratch files");
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  ::remove(path);
  return 0;
}

void ClearWorkFolder() {
  const std::string work = g_dir + "/w";
  ::nftw(work.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  ::mkdir(work.c_str(), 0755);
}

int CountEntries(const char *dir) {
  int n = 0;
  if (DIR *d = ::opendir(dir)) {
    while (const dirent *e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

void RemoveScratch() { ::nftw(g_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void MakeScratch() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/talo_exports_fuzz.XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("cannot make the scratch folder");
  g_dir = pattern;
  std::atexit(RemoveScratch);
  ::mkdir((g_dir + "/p").c_str(), 0755);
  ::mkdir((g_dir + "/p/Sound").c_str(), 0755);
  ::mkdir((g_dir + "/p/Sound/Char").c_str(), 0755);
  // Two blocks of board audio: a prompt that plays for 126 ms of board time.
  std::string adpcm(512, '\x11');
  g_prompt = g_dir + "/p/prompt.dat";
  WriteFile(g_prompt, adpcm);
  for (const char *c : {"0", "1", "5", "#", "A"}) WriteFile(g_dir + "/p/Sound/Char/" + c + ".dat", adpcm);
  g_fax = g_dir + "/p/page.tif";
  WriteFile(g_fax, std::string(5000, 'F'));
  const uint8_t header[] = {36 + 16, 0,   0,   0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                            1,       0,   1,   0, 0x40, 0x1F, 0,  0,   0x80, 0x3E, 0, 0,   2,  0, 16, 0,
                            'd',     'a', 't', 'a', 16, 0,   0,   0};
  std::string wav = "RIFF" + std::string(reinterpret_cast<const char *>(header), sizeof header);
  wav += std::string(16, '\x07');
  g_wav = g_dir + "/p/voice.wav";
  WriteFile(g_wav, wav);
  g_fifo = g_dir + "/p/fifo";
  ::mkfifo(g_fifo.c_str(), 0644);
  ClearWorkFolder();
}

// ---- handlers: each checks what every handler is promised, answers, may call back

QV_HostApplication g_app{};
QV_HostApplication g_app_no_pump{};
const QV_HostApplication *g_installed = nullptr;
bool g_installed_known = false;

void RunAction(int slot, int32_t ch);

void *Cookie(int slot) { return reinterpret_cast<void *>(static_cast<uintptr_t>(0x7A100 + slot)); }

struct HandlerScope {
  HandlerScope(int slot, void *context, int32_t ch) : slot_(slot), ch_(ch) {
    Check(std::this_thread::get_id() == g_main, "a handler ran off the host's main thread");
    Check(context == Cookie(slot), "a handler got another slot's context");
    ++g_depth;
  }
  ~HandlerScope() {
    // Called back only from the outermost handler: enough to reach every refusal.
    if (g_depth == 1 && !g_quit) RunAction(slot_, ch_);
    --g_depth;
  }
  int slot_;
  int32_t ch_;
};

void CheckText(const char *text, size_t max, const char *what) {
  Check(text != nullptr, what);
  Check(strnlen(text, max + 1) <= max, what);
}

// Fills a fixed text field as the input says; kFull and kPromptPadded leave no zero byte.
template <size_t N>
void FillField(char (&field)[N], FileChoice choice) {
  std::memset(field, 0, N);
  std::string text;
  switch (choice) {
    case kEmpty: break;
    case kPrompt: text = g_prompt; break;
    case kMissing: text = g_dir + "/p/none.dat"; break;
    case kFull: text.assign(N, 'a'); break;
    case kPromptPadded: text = g_prompt + std::string(N, '/'); break;
    default: break;
  }
  std::memcpy(field, text.data(), std::min(text.size(), N));
}

FileChoice FileFor(int field) {
  return static_cast<FileChoice>(((g_replies.files >> (2 * (field % 4))) + field / 4) % kFileChoices);
}

void OnActiveChanged(void *c, uint8_t active) {
  Check(active <= 1, "OnActiveChanged: not a boolean");
  HandlerScope scope(QV_SLOT_ACTIVE_CHANGED, c, 0);
}
void OnOffHook(void *c, int32_t ch, uint8_t) { HandlerScope scope(QV_SLOT_OFF_HOOK, c, ch); }
void OnHangUp(void *c, int32_t ch, uint8_t) { HandlerScope scope(QV_SLOT_HANG_UP, c, ch); }
void OnCallerId(void *c, int32_t ch, const char *number, const char *extra) {
  HandlerScope scope(QV_SLOT_CALLER_ID, c, ch);
  CheckText(number, 4096, "OnCallerId: bad number");
  CheckText(extra, 4096, "OnCallerId: bad extra");
}
void OnRing(void *c, int32_t ch, uint8_t) { HandlerScope scope(QV_SLOT_RING, c, ch); }
void OnSilence(void *c, int32_t ch, uint8_t) { HandlerScope scope(QV_SLOT_SILENCE, c, ch); }
void OnLineEmpty(void *c, int32_t ch, uint8_t) { HandlerScope scope(QV_SLOT_LINE_EMPTY, c, ch); }
void OnDtmf(void *c, int32_t ch, const char *digits) {
  HandlerScope scope(QV_SLOT_DTMF, c, ch);
  CheckText(digits, 1 << 16, "OnDtmf: bad digits");
}
void OnRecordLimit(void *c, int32_t ch) { HandlerScope scope(QV_SLOT_RECORD_LIMIT, c, ch); }
void OnIncomingCall(void *c, int32_t ch, QV_IncomingPlan *plan) {
  HandlerScope scope(QV_SLOT_INCOMING_CALL, c, ch);
  Check(plan != nullptr, "OnIncomingCall: no plan");
  plan->IncomingMode = g_replies.incoming_mode;
  plan->UserRingTimeout = g_replies.ring_timeout;
  FillField(plan->GreetingFile, FileFor(0));
  plan->NumberEntryEnabled = g_replies.number_entry;
  FillField(plan->NumberPromptFile, FileFor(1));
  FillField(plan->ClosingFile, FileFor(2));
}
void OnLeaveMessage(void *c, int32_t ch, const char *number) {
  HandlerScope scope(QV_SLOT_LEAVE_MESSAGE, c, ch);
  CheckText(number, 4096, "OnLeaveMessage: bad number");
}
void OnLeaveMessageEnd(void *c, int32_t ch) { HandlerScope scope(QV_SLOT_LEAVE_MESSAGE_END, c, ch); }
void OnUserPickUp(void *c, int32_t ch, QV_UserPickUpReply *reply) {
  HandlerScope scope(QV_SLOT_USER_PICK_UP, c, ch);
  Check(reply != nullptr, "OnUserPickUp: no reply");
  reply->SignOnRequired = g_replies.sign_on_required;
  reply->SignedOn = g_replies.signed_on;
}
void OnSignOff(void *c, int32_t paired, int32_t) { HandlerScope scope(QV_SLOT_SIGN_OFF, c, paired); }
void OnSignOn(void *c, int32_t paired, int32_t, const char *f1, const char *f2, QV_CommandReply *reply) {
  HandlerScope scope(QV_SLOT_SIGN_ON, c, paired);
  CheckText(f1, 4096, "OnSignOn: bad field 1");
  CheckText(f2, 4096, "OnSignOn: bad field 2");
  Check(reply != nullptr, "OnSignOn: no reply");
  reply->CommandAccepted = g_replies.command_accepted;
  FillField(reply->CommandReplyText, FileFor(3));
}
void OnDialCheck(void *c, int32_t paired, const char *f1, const char *digits, QV_DialCheckReply *reply) {
  HandlerScope scope(QV_SLOT_DIAL_CHECK, c, paired);
  CheckText(f1, 4096, "OnDialCheck: bad field 1");
  CheckText(digits, 1 << 16, "OnDialCheck: bad digits");
  Check(reply != nullptr, "OnDialCheck: no reply");
  reply->DialBlocked = g_replies.dial_blocked;
  FillField(reply->BlockedPromptFile, FileFor(4));
}
void OnIncomingAnswered(void *c, int32_t ch, QV_AnswerReply *reply) {
  HandlerScope scope(QV_SLOT_INCOMING_ANSWERED, c, ch);
  Check(reply != nullptr, "OnIncomingAnswered: no reply");
  reply->PlayAnswerPrompts = g_replies.play_answer_prompts;
  reply->AnnounceChars = g_replies.announce_chars;
  std::memset(reply->AnnounceText, 0, sizeof reply->AnnounceText);
  if (g_replies.announce == 0) std::memcpy(reply->AnnounceText, "1#5A0", 5);
  if (g_replies.announce == 1) std::memset(reply->AnnounceText, '5', sizeof reply->AnnounceText);
  if (g_replies.announce == 2) std::memcpy(reply->AnnounceText, "/\\\x01\xff.", 5);
  FillField(reply->CallerPromptFile, FileFor(5));
  FillField(reply->UserPromptFile, FileFor(6));
}
void OnTrunkConnected(void *c, int32_t paired, QV_ConnectReply *reply) {
  HandlerScope scope(QV_SLOT_TRUNK_CONNECTED, c, paired);
  Check(reply != nullptr, "OnTrunkConnected: no reply");
  reply->PolarityPrompts = g_replies.polarity_prompts;
  FillField(reply->PolarityTrunkFile, FileFor(7));
  FillField(reply->PolarityUserFile, FileFor(8));
}
void OnFaxStart(void *c, int32_t ch, int32_t, int32_t) { HandlerScope scope(QV_SLOT_FAX_START, c, ch); }
void OnFaxEnd(void *c, int32_t ch, int32_t, int32_t, const char *file, int32_t) {
  HandlerScope scope(QV_SLOT_FAX_END, c, ch);
  CheckText(file, 4096, "OnFaxEnd: bad file");
}

// The received-fax name: always under w/, so the board's copy stays in the scratch folder.
void FaxFileName(char (&result)[128]) {
  std::string name = g_dir + "/w/fax.pbm";
  if (g_replies.query_text == 1) name = g_dir + "/w/" + std::string(128, 'x');
  std::memcpy(result, name.data(), std::min(name.size(), sizeof result));
}

void OnQuery(void *c, int32_t code, void *arg, void *result) {
  HandlerScope scope(QV_SLOT_QUERY, c, 0);
  Check(result != nullptr, "OnQuery: no result");
  switch (code) {
    case QV_QUERY_FAX_ONLY:
      Check(arg != nullptr, "OnQuery(FAX_ONLY): no channel");
      *static_cast<uint8_t *>(result) = g_replies.fax_only;
      break;
    case QV_QUERY_FAX_CHANNEL:
      *static_cast<int32_t *>(result) = g_replies.fax_channel;
      break;
    case QV_QUERY_FAX_RX_PROMPT:
    case QV_QUERY_FAX_TX_PROMPT: {
      auto &text = *static_cast<char(*)[128]>(result);
      FillField(text, g_replies.query_text == 1 ? kFull : kPrompt);
      break;
    }
    case QV_QUERY_FAX_FILE_NAME: {
      Check(arg != nullptr, "OnQuery(FAX_FILE_NAME): no argument");
      auto *a = static_cast<QV_FaxFileNameArg *>(arg);
      CheckText(a->caller, sizeof a->caller - 1, "OnQuery(FAX_FILE_NAME): caller unterminated");
      FaxFileName(*static_cast<char(*)[128]>(result));
      break;
    }
    case QV_QUERY_CALLER_REJECTED:
      Check(arg != nullptr, "OnQuery(CALLER_REJECTED): no number");
      CheckText(static_cast<const char *>(arg), 127, "OnQuery(CALLER_REJECTED): number unterminated");
      *static_cast<uint8_t *>(result) = g_replies.caller_rejected;
      break;
    default:
      Fail("OnQuery: a code the header does not name");
  }
}

// Spare slots are never raised.
void OnSpare(void *, int32_t, int32_t) { Fail("a spare handler slot was raised"); }

void SetEvents(uint32_t mask) {
  void *const code[QV_SLOT_COUNT] = {
      reinterpret_cast<void *>(&OnActiveChanged),  reinterpret_cast<void *>(&OnOffHook),
      reinterpret_cast<void *>(&OnHangUp),         reinterpret_cast<void *>(&OnCallerId),
      reinterpret_cast<void *>(&OnRing),           reinterpret_cast<void *>(&OnSilence),
      reinterpret_cast<void *>(&OnLineEmpty),      reinterpret_cast<void *>(&OnDtmf),
      reinterpret_cast<void *>(&OnRecordLimit),    reinterpret_cast<void *>(&OnIncomingCall),
      reinterpret_cast<void *>(&OnLeaveMessage),   reinterpret_cast<void *>(&OnLeaveMessageEnd),
      reinterpret_cast<void *>(&OnUserPickUp),     reinterpret_cast<void *>(&OnSignOff),
      reinterpret_cast<void *>(&OnSignOn),         reinterpret_cast<void *>(&OnDialCheck),
      reinterpret_cast<void *>(&OnIncomingAnswered), reinterpret_cast<void *>(&OnTrunkConnected),
      reinterpret_cast<void *>(&OnFaxStart),       reinterpret_cast<void *>(&OnFaxEnd),
      reinterpret_cast<void *>(&OnQuery),          reinterpret_cast<void *>(&OnSpare),
      reinterpret_cast<void *>(&OnSpare)};
  g_events = QV_HostEvents{};
  // Bits clear by default for most slots would hide the call procedures: a set bit
  // removes a handler.
  for (int slot = 0; slot < QV_SLOT_COUNT; ++slot)
    if (!(mask & (1u << slot))) g_events.slots[slot] = {code[slot], Cookie(slot)};
  Check(QV_SetCallBakFunc(g_events) == 1, "QV_SetCallBakFunc refused");
}

// ---- the host application: pumping hook and termination

void HostPump(void *context) {
  Check(context == &g_app, "process_messages: wrong context");
  Check(std::this_thread::get_id() == g_main, "process_messages off the main thread");
  const auto now = Clock::now();
  for (Pending &p : g_pending) {
    if (p.dial && !p.stopped && now - p.since > kStopDialAfter) {
      p.stopped = true;
      QV_StopSoftDialOut(p.ch);
    }
  }
}

uint8_t HostTerminated(void *) {
  if (!g_quit && !g_pending.empty() && Clock::now() - g_pending.front().since > kQuitAfter) g_quit = true;
  return g_quit ? 1 : 0;
}

void Install(const QV_HostApplication *app) {
  // Every QV_InitDll keeps its copy for the process's life: install on change only.
  if (g_installed_known && g_installed == app) return;
  QV_InitDll(app, 0, 0, 0);
  g_installed = app;
  g_installed_known = true;
}

// A blocking request, with its pending entry for the hooks.
template <typename F>
int32_t Request(int32_t ch, bool dial, F &&call) {
  g_pending.push_back({ch, dial, Clock::now(), false});
  const int32_t result = call();
  g_pending.pop_back();
  return result;
}

int32_t DialOut(int32_t ch, const char *number, uint8_t whole) {
  const int32_t r = Request(ch, true, [&] { return QV_SoftDialOut(ch, number, whole); });
  if (g_verbose) std::fprintf(stderr, "QV_SoftDialOut(%d) = %d\n", ch, r);
  Check(r == 0 || r == 1 || r == 3 || r == 5 || r == QV_DIAL_BUSY_RESULT, "QV_SoftDialOut: undocumented result");
  if (ch < 0 || ch >= g_total || !number || !*number)
    Check(r == QV_DIAL_BUSY_RESULT, "QV_SoftDialOut: a bad request was not refused");
  return r;
}

int32_t SendFax(int32_t ch, const char *number, const char *file, int32_t option) {
  const int32_t r = Request(ch, false, [&] { return QV_SoftSendFax(ch, number, file, option); });
  if (g_verbose) std::fprintf(stderr, "QV_SoftSendFax(%d) = %d\n", ch, r);
  Check(r >= 0 && r <= 5, "QV_SoftSendFax: undocumented result");
  if (ch < 0 || ch >= g_total) Check(r == 1, "QV_SoftSendFax: a channel out of range was not refused");
  return r;
}

void RunAction(int slot, int32_t ch) {
  switch (g_actions[slot]) {
    case kStartRecord: QV_StartRecord(ch, (g_dir + "/w/h" + std::to_string(ch & 3) + ".v").c_str()); break;
    case kStopRecord: QV_StopRecord(ch); break;
    case kDeactivate: {
      // Refused from a worker's handler; OnActiveChanged is not one.
      const uint8_t r = QV_SetActive(0);
      if (slot != QV_SLOT_ACTIVE_CHANGED) Check(r == 0, "QV_SetActive(0) inside a handler was not refused");
      g_nested_set_active |= r != 0;
      break;
    }
    case kActivate: g_nested_set_active |= QV_SetActive(1) != 0; break;
    case kDialOut: DialOut(ch, "5551234", 1); break;
    case kStopDial: QV_StopSoftDialOut(ch); break;
    case kSendFax: SendFax(ch, "5550123", g_fax.c_str(), 2); break;
    case kPump: QV_ProcessMessages(); break;
    case kNetMonitor: QV_StartNetMonitor(ch, &g_listeners[1].listener); break;
    case kStopNetMonitor: QV_StopNetMonitor(ch, &g_listeners[1].listener); break;
    case kSetEvents: QV_SetCallBakFunc(g_events); break;
    case kSetTrunkStep: QV_SetTrunkUserStep(1); break;
    default: break;
  }
}

// ---- the operations

// Waits on the message fd and dispatches, as a host's main loop does.
void Pump(int ms) {
  const int fd = QV_GetMessageFd();
  Check(fd >= 0, "QV_GetMessageFd failed");
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  do {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 1);
    Check(QV_ProcessMessages() >= 0, "QV_ProcessMessages: negative count");
  } while (Clock::now() < end);
}

void SetReplies(Reader &r) {
  static constexpr int32_t kModes[] = {0, 1, 2, 3, -1, INT32_MIN};
  const uint8_t mode = r.U8();
  g_replies.incoming_mode = kModes[mode % std::size(kModes)];
  g_replies.ring_timeout = static_cast<int32_t>(static_cast<uint32_t>(IntArg(r)) * 1000u);
  g_replies.files = r.U8();
  const uint8_t flags = r.U8();
  g_replies.number_entry = flags & 1;
  g_replies.sign_on_required = (flags >> 1) & 1;
  g_replies.signed_on = (flags >> 2) & 1;
  g_replies.command_accepted = (flags >> 3) & 1;
  g_replies.dial_blocked = (flags >> 4) & 1;
  g_replies.play_answer_prompts = (flags >> 5) & 1;
  g_replies.announce_chars = (flags >> 6) & 1;
  g_replies.polarity_prompts = (flags >> 7) & 1;
  const uint8_t more = r.U8();
  g_replies.announce = more % 3;
  g_replies.fax_only = (more >> 2) & 1 ? ((more >> 3) & 1 ? 255 : 1) : 0;
  g_replies.caller_rejected = (more >> 4) & 1;
  g_replies.query_text = (more >> 5) & 1;
  g_replies.fax_channel = ChannelArg(r);
}

void SetAction(Reader &r) {
  const uint8_t slot = r.U8() % QV_SLOT_COUNT;
  g_actions[slot] = r.U8() % kActions;
}

// The 31 exports, in talo.h's order.
void CallExport(int id, Reader &r) {
  switch (id) {
    case 0: {
      const uint8_t which = r.U8() % 3;
      Install(which == 0 ? &g_app : which == 1 ? &g_app_no_pump : nullptr);
      break;
    }
    case 1: {
      static constexpr uint8_t kValues[] = {1, 0, 2, 255, 1, 0};
      const uint8_t v = kValues[r.U8() % std::size(kValues)];
      const uint8_t was = QV_GetActive();
      g_nested_set_active = false;
      const uint8_t result = QV_SetActive(v);
      if (g_verbose) std::fprintf(stderr, "QV_SetActive(%d) = %d\n", v, result);
      Check(result <= 1, "QV_SetActive: not a boolean");
      if ((v != 0) == (was != 0)) Check(result == 0, "QV_SetActive to the current state did not answer 0");
      // OnActiveChanged may have switched it back already.
      if (result == 1 && !g_nested_set_active)
        Check(QV_GetActive() == (v != 0), "QV_SetActive succeeded but QV_GetActive disagrees");
      break;
    }
    case 2: Check(QV_GetActive() <= 1, "QV_GetActive: not a boolean"); break;
    case 3: QV_GetDeviceCount(); break;
    case 4: QV_GetChannelCount(); break;
    case 5: Check(QV_SetChannelCount(IntArg(r)) == 1, "QV_SetChannelCount refused"); break;
    case 6: Check(QV_GetDeviceType() != nullptr, "QV_GetDeviceType: null"); break;
    case 7: {
      const int32_t ch = ChannelArg(r);
      const int32_t type = QV_GetChannelType(ch);
      Check(type == -1 || type == 0 || type == 1 || type == 2 || type == 5, "QV_GetChannelType: undocumented type");
      if (ch < 0 || ch >= g_total) Check(type == -1, "QV_GetChannelType: a bad channel was not refused");
      break;
    }
    case 8: SetEvents(static_cast<uint32_t>(r.U8()) | static_cast<uint32_t>(r.U8()) << 8 |
                      static_cast<uint32_t>(r.U8()) << 16);
      break;
    case 9: {
      const int32_t ch = ChannelArg(r);
      const uint8_t agc = r.U8();
      Check(QV_SetRecordAGC(ch, agc, IntArg(r)) == 0, "QV_SetRecordAGC: not 0");
      break;
    }
    case 10: { const int32_t ch = ChannelArg(r); QV_SetRecMode(ch, IntArg(r)); break; }
    case 11: { const int32_t ch = ChannelArg(r); QV_SetSilenceTime(ch, IntArg(r)); break; }
    case 12: { const int32_t ch = ChannelArg(r); QV_SetSilencelevel(ch, IntArg(r)); break; }
    case 13: { const int32_t ch = ChannelArg(r); QV_SetFileLen(ch, IntArg(r)); break; }
    case 14: {
      const int32_t ch = ChannelArg(r);
      const Text path = WritePathArg(r);
      QV_StartRecord(ch, path.c());
      break;
    }
    case 15: QV_StopRecord(ChannelArg(r)); break;
    case 16: Check(QV_GetFilePreChar() != nullptr, "QV_GetFilePreChar: null"); break;
    case 17: {
      const Text source = ReadPathArg(r);
      const Text destination = WritePathArg(r);
      QV_WavToLeaveMsgFile(source.c(), destination.c());
      break;
    }
    case 18: QV_SetTrunkUserStep(IntArg(r)); break;
    case 19: {
      const int32_t ch = ChannelArg(r);
      const Text number = NumberArg(r);
      DialOut(ch, number.c(), r.U8());
      break;
    }
    case 20: QV_StopSoftDialOut(ChannelArg(r)); break;
    case 21: {
      const int32_t ch = ChannelArg(r);
      const Text number = NumberArg(r);
      const Text file = ReadPathArg(r);
      SendFax(ch, number.c(), file.c(), IntArg(r));
      break;
    }
    case 22: {
      const int32_t ch = ChannelArg(r);
      QV_MonitorListener *listener = ListenerArg(r);
      const uint8_t result = QV_StartNetMonitor(ch, listener);
      if (!listener || ch < 0 || ch >= g_total) Check(result == 0, "QV_StartNetMonitor: a bad request was not refused");
      break;
    }
    case 23: { const int32_t ch = ChannelArg(r); QV_StopNetMonitor(ch, ListenerArg(r)); break; }
    case 24: {
      const int32_t a = IntArg(r), b = IntArg(r);
      QV_StartPlayDevice(a, b, IntArg(r));
      break;
    }
    case 25: QV_StopPlayDevice(IntArg(r)); break;
    case 26: QV_StartMonitorDevice(IntArg(r)); break;
    case 27: QV_StopMonitorDevice(); break;
    case 28: Check(QV_ProcessMessages() >= 0, "QV_ProcessMessages: negative count"); break;
    case 29: Check(QV_GetMessageFd() >= 0, "QV_GetMessageFd failed"); break;
    case 30:
      if (r.U8() & 1)
        QV_SetDebugOutput(&TraceSink, &g_trace_lines);
      else
        QV_SetDebugOutput(nullptr, nullptr);
      break;
    default: break;
  }
}

constexpr int kExports = 31;

// What the people and the exchange do, on the board.
void BoardEvent(int id, Reader &r) {
  switch (id) {
    case 0: {
      const int32_t ch = ChannelArg(r);
      const Text number = NumberArg(r);
      const int32_t rings = r.U8() % 6;
      TvcSimIncomingCall(ch, number.c(), rings, (r.U8() % 9) * 500);
      break;
    }
    case 1: TvcSimCallerHangUp(ChannelArg(r)); break;
    case 2: {
      static constexpr int32_t kStates[] = {0, 1, 2, 3, 4, 9, -1, 7};
      const int32_t ch = ChannelArg(r);
      TvcSimSetState(ch, kStates[r.U8() % std::size(kStates)]);
      break;
    }
    case 3: {
      const int32_t ch = ChannelArg(r);
      const std::string digits = Filled(r, 1 + r.U8() % 16, "0123456789*#ABCD");
      TvcSimPushDtmf(ch, digits.c_str());
      break;
    }
    case 4: {
      const int32_t ch = ChannelArg(r);
      const int32_t counter = r.U8() % 4;
      TvcSimAddCounter(ch, counter, 1 + r.U8() % 3);
      break;
    }
    case 5: { const int32_t ch = ChannelArg(r); TvcSimSetSound(ch, r.U8() & 1); break; }
    case 6: {
      const int32_t ch = ChannelArg(r);
      const uint8_t b = r.U8();
      TvcSimSetLineTone(ch, b & 0x80 ? -1 : (b & 0x3F) * 50, 1 + ((b >> 6) & 1));
      break;
    }
    case 7: {
      const int32_t ch = ChannelArg(r);
      const uint8_t b = r.U8();
      if (b & 1)
        TvcSimSetFarBusy(ch, 1);
      else
        TvcSimSetFarFax(ch, b & 2 ? -1 : (b >> 2) * 100);
      break;
    }
    case 8: {
      const int32_t ch = ChannelArg(r);
      const uint8_t b = r.U8();
      TvcSimSetFaxPlan(ch, b & 1 ? -1 : (b >> 2) * 100, 1 + ((b >> 1) & 1));
      break;
    }
    case 9: TvcSimAdvance((r.U8() % 41) * 500); break;
    case 10: {
      const int32_t ch = ChannelArg(r);
      const uint8_t b = r.U8();
      if (b & 1)
        TvcSimDeliverPartial(ch, (b >> 1) * 20);
      else
        TvcSimDeliver(ch, 1 + (b >> 1) % 3);
      break;
    }
    case 11: { const int32_t ch = ChannelArg(r); const Text n = NumberArg(r); TvcSimSetCallerId(ch, n.c()); break; }
    case 12: {
      const int32_t ch = ChannelArg(r);
      const uint8_t b = r.U8();
      TvcSimSetAutoAnswer(ch, b & 1 ? -1 : (b >> 1) * 100);
      break;
    }
    case 13: Pump(r.U8() % 16); break;
    case 14: std::this_thread::sleep_for(std::chrono::milliseconds(r.U8() % 8)); break;
    case 15: {
      const int32_t ch = ChannelArg(r);
      const uint8_t b = r.U8();
      if (b & 1)
        TvcSimSetAudioSilence(ch);
      else
        TvcSimSetAudioTone(ch, 300 + b * 10, 12000);
      break;
    }
    case 16: { const int32_t ch = ChannelArg(r); TvcSimSetToneResult(ch, r.U8() % 4); break; }
    case 17: { const int32_t ch = ChannelArg(r); TvcSimSetFreqFlag(ch, r.U8() & 1); break; }
    case 18: TvcSimSetLoadResult(r.U8() % 4 == 0 ? -1 : 0); break;
    case 19: SetReplies(r); break;
    case 20: SetAction(r); break;
    case 21: {
      const uint8_t b = r.U8();
      Listener &l = g_listeners[b % 3];
      l.connected = (b >> 2) & 1 ? 0 : 1;
      l.write_result = (b >> 3) & 1 ? -1 : 0;
      break;
    }
    default: break;
  }
}

constexpr int kBoardEvents = 22;

void Run(Reader &r) {
  for (int op = 0; op < kMaxOps && !r.Empty() && !g_quit; ++op) {
    if (Clock::now() - g_input_start > kInputBudget) break;
    const int id = r.U8() % (kExports + kBoardEvents);
    const auto start = Clock::now();
    g_op_id = id;
    g_op_started_ms = SteadyMs();
    if (id < kExports)
      CallExport(id, r);
    else
      BoardEvent(id - kExports, r);
    g_op_started_ms = 0;
    QV_ProcessMessages();  // a host's main loop dispatches between its calls
    if (g_verbose)
      std::fprintf(stderr, "op %s %d: %lld ms\n", id < kExports ? "export" : "board",
                   id < kExports ? id : id - kExports,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              Clock::now() - start).count()));
  }
}

// ---- one input from a known state to a known state

constexpr int32_t kTypes[] = {0, 2, 1, 0, 2, 1, 10, TVCSIM_CHTYPE_FAX, 3, 7, 255, 4};

int CountThreads() { return CountEntries("/proc/self/task"); }
int CountFds() { return CountEntries("/proc/self/fd"); }

void SetUpBoard(Reader &r) {
  TvcSimReset();
  TvcSimSetCallLogEnabled(0);
  TvcSimSetTimeScale(static_cast<int32_t>(100 * kClockSpeed));
  g_total = 1 + r.U8() % 12;
  TvcSimSetChannelTotal(g_total);
  for (int32_t ch = 0; ch < g_total; ++ch) {
    TvcSimSetChannelType(ch, kTypes[r.U8() % std::size(kTypes)]);
    TvcSimSetFaxReceiveSource(ch, g_fax.c_str());
  }
}

void TearDown() {
  g_pending.clear();
  // OnActiveChanged would otherwise be free to activate again.
  std::fill(std::begin(g_actions), std::end(g_actions), kNothing);
  if (QV_GetActive()) {
    g_quit = false;  // a host that quit still deactivates before it unloads
    Check(QV_SetActive(0) == 1, "QV_SetActive(0) from the main loop refused");
  }
  g_quit = false;
  Check(QV_GetActive() == 0, "still active after QV_SetActive(0)");
  QV_SetDebugOutput(nullptr, nullptr);
  Pump(0);
  ClearWorkFolder();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_main = std::this_thread::get_id();
  g_main_handle = pthread_self();
  g_verbose = std::getenv("TALO_FUZZ_VERBOSE") != nullptr;
  ::unsetenv("TALO_DEBUG_OUTPUT");  // the trace goes nowhere unless a sink is set
  g_clock_origin_ms = RealMs();
  talo::platform::SetTickSource(&FastTicks);
  MakeScratch();
  talo::callflow::SetPromptBaseForTests(g_dir + "/p/");
  g_app = {&g_app, &HostPump, &HostTerminated};
  g_app_no_pump = {&g_app, nullptr, &HostTerminated};
  for (Listener &l : g_listeners) {
    l.connection = {&l, &ListenerConnected, &ListenerWrite, &ListenerDisconnect};
    l.listener.connection = &l.connection;
  }
  g_listeners[0].listener.connection = nullptr;
  std::thread(Watchdog).detach();
  talo::host::LibraryLoad();  // what loading libTALO.so does; the board is the driver
  Check(talo::driver::DriverLoaded(), "the simulated board did not load as the driver");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader r(data, size);
  g_input_start = Clock::now();
  g_pending.clear();
  g_quit = false;
  g_replies = Replies{};
  std::fill(std::begin(g_actions), std::end(g_actions), kNothing);
  for (Listener &l : g_listeners) {
    l.connected = 1;
    l.write_result = 0;
  }
  SetUpBoard(r);
  Install(&g_app);
  QV_SetChannelCount(256);
  SetEvents(static_cast<uint32_t>(r.U8()) | static_cast<uint32_t>(r.U8()) << 8 |
            static_cast<uint32_t>(r.U8()) << 16);
  Run(r);
  const auto teardown = Clock::now();
  g_op_id = -1;  // the deactivation at the end
  g_op_started_ms = SteadyMs();
  TearDown();
  g_op_started_ms = 0;
  if (g_verbose)
    std::fprintf(stderr, "teardown: %lld ms\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            Clock::now() - teardown).count()));

  // Nothing of the library may outlive its deactivation: no thread, no descriptor.
  const int threads = CountThreads();
  const int fds = CountFds();
  if (g_baseline_threads < 0) {
    g_baseline_threads = threads;
    g_baseline_fds = fds;
  }
  if (threads > g_baseline_threads + 2) Fail("threads left running after deactivation");
  if (fds > g_baseline_fds + 4) Fail("descriptors left open after deactivation");
  return 0;
}

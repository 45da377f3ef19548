#include "script.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>

#include "talo/tvcdrv.h"
#include "tvcsim.h"

namespace tvcsim {

bool IsDtmfDigit(char c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

namespace {

constexpr int64_t kMaxMs = 86400000;  // a day of board time

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the next blank-separated word.
std::string_view NextWord(std::string_view& rest) {
  rest = Trim(rest);
  size_t n = 0;
  while (n < rest.size() && !IsBlank(rest[n])) ++n;
  std::string_view word = rest.substr(0, n);
  rest.remove_prefix(n);
  rest = Trim(rest);
  return word;
}

bool ParseInt(std::string_view word, int64_t lo, int64_t hi, int64_t* out) {
  if (word.empty()) return false;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
  if (ec != std::errc() || p != word.data() + word.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Lives for one ParseScript call on the calling thread.
class LineParser {
 public:
  LineParser(int32_t channel_total, const std::string& base_dir)
      : channel_total_(channel_total), base_dir_(base_dir) {}

  // Returns TVCSIM_OK, or an error code with reason_ set.
  int32_t Parse(std::string_view line, ScriptEvent* ev) {
    std::string_view rest = line;
    if (NextWord(rest) != "at") return Error("expected 'at <ms> ch <channel> <event>'");
    int64_t v = 0;
    if (!ParseInt(NextWord(rest), 0, std::numeric_limits<int32_t>::max(), &v)) {
      return Error("bad time");
    }
    ev->at_ms = v;
    if (NextWord(rest) != "ch") return Error("expected 'ch'");
    if (!ParseInt(NextWord(rest), 0, channel_total_ - 1, &v)) return Error("bad channel");
    ev->channel = static_cast<int32_t>(v);
    const std::string_view name = NextWord(rest);
    if (name.empty()) return Error("missing event");
    if (name == "state") return Int(rest, EventKind::kState, -1000, 1000, ev);
    if (name == "rings") return Counter(rest, TVCSIM_COUNTER_RING, ev);
    if (name == "busy") return Counter(rest, TVCSIM_COUNTER_BUSY, ev);
    if (name == "flashes") return Counter(rest, TVCSIM_COUNTER_FLASH, ev);
    if (name == "polarity") return Counter(rest, TVCSIM_COUNTER_POLARITY, ev);
    if (name == "sound") return Int(rest, EventKind::kSound, 0, 1, ev);
    if (name == "toneresult") return Int(rest, EventKind::kToneResult, -1000, 1000, ev);
    if (name == "freqflag") return Int(rest, EventKind::kFreqFlag, 0, 1, ev);
    if (name == "faxend") return Int(rest, EventKind::kFaxEnd, 1, 2, ev);
    if (name == "callerid") {
      const std::string_view number = NextWord(rest);
      if (number.empty() || !rest.empty()) return Error("callerid takes one word");
      if (number.size() > 127) return Error("caller number longer than 127 characters");
      ev->kind = EventKind::kCallerId;
      ev->text = std::string(number);
      return TVCSIM_OK;
    }
    if (name == "nocallerid") return NoArgs(rest, EventKind::kNoCallerId, ev);
    if (name == "silence") return NoArgs(rest, EventKind::kSilence, ev);
    if (name == "dtmf" || name == "keys") {
      const std::string_view digits = NextWord(rest);
      if (digits.empty() || !rest.empty()) {
        return Error(std::string(name) + " takes one word of digits");
      }
      if (!std::all_of(digits.begin(), digits.end(), IsDtmfDigit)) {
        return Error(std::string(name) + " digits must be 0-9 * # A-D");
      }
      ev->kind = EventKind::kDtmf;
      ev->text = std::string(digits);
      return TVCSIM_OK;
    }
    // Words for a call as people tell it: the station is lifted, flashes, hangs up; the far
    // end answers.
    if (name == "lift") return Fixed(rest, EventKind::kState, TVC_STATE_PICKED_UP, ev);
    if (name == "hangup") return Fixed(rest, EventKind::kState, TVC_STATE_FREE, ev);
    if (name == "flash") return Plus1(rest, TVCSIM_COUNTER_FLASH, ev);
    if (name == "answer") return Plus1(rest, TVCSIM_COUNTER_POLARITY, ev);
    if (name == "callerhangup") return NoArgs(rest, EventKind::kCallerHangUp, ev);
    if (name == "incoming") {
      const std::string_view number = NextWord(rest);
      const std::string_view rings_word = NextWord(rest);
      const std::string_view every_word = NextWord(rest);
      int64_t rings = 0;
      int64_t every = 0;
      if (number.empty() || !ParseInt(rings_word, 0, 1000000, &rings) ||
          (!every_word.empty() && !ParseInt(every_word, 0, kMaxMs, &every)) || !rest.empty()) {
        return Error("incoming takes <number|-> <rings 0..1000000> [<every ms 0..86400000>]");
      }
      if (number.size() > 127) return Error("caller number longer than 127 characters");
      ev->kind = EventKind::kIncoming;
      ev->text = number == "-" ? std::string() : std::string(number);
      ev->a = static_cast<int32_t>(rings);
      ev->b = static_cast<int32_t>(every);
      return TVCSIM_OK;
    }
    if (name == "autoanswer") {
      int64_t ms = -1;
      if (!MsOrNever(rest, &ms)) return Error("autoanswer takes <ms 0..86400000> or 'never'");
      ev->kind = EventKind::kAutoAnswer;
      ev->a = static_cast<int32_t>(ms);
      return TVCSIM_OK;
    }
    // The line and the far end of a call the library dials, and the fax engine.
    if (name == "dialtone") {
      int64_t ms = -1;
      if (!MsOrNever(rest, &ms)) return Error("dialtone takes <ms 0..86400000> or 'never'");
      ev->kind = EventKind::kLineTone;
      ev->a = static_cast<int32_t>(ms);
      ev->b = TVCSIM_TONE_DIAL;
      return TVCSIM_OK;
    }
    if (name == "busyline") {
      const std::string_view word = NextWord(rest);
      int64_t ms = 0;
      if ((!word.empty() && !ParseInt(word, 0, kMaxMs, &ms)) || !rest.empty()) {
        return Error("busyline takes [<ms 0..86400000>]");
      }
      ev->kind = EventKind::kLineTone;
      ev->a = static_cast<int32_t>(ms);
      ev->b = TVCSIM_TONE_BUSY;
      return TVCSIM_OK;
    }
    if (name == "farfax") {
      int64_t ms = -1;
      if (!MsOrNever(rest, &ms)) return Error("farfax takes <ms 0..86400000> or 'never'");
      ev->kind = EventKind::kFarEnd;
      ev->a = static_cast<int32_t>(ms);
      ev->b = static_cast<int32_t>(ms < 0 ? FarKind::kNobody : FarKind::kFax);
      return TVCSIM_OK;
    }
    if (name == "farbusy") {
      ev->b = static_cast<int32_t>(FarKind::kBusy);
      return NoArgs(rest, EventKind::kFarEnd, ev);
    }
    if (name == "faxplan") {
      const std::string_view word = NextWord(rest);
      int64_t ms = -1;
      int64_t status = 1;
      const bool ok = word == "default" ? rest.empty()
                                        : ParseInt(word, 0, kMaxMs, &ms) &&
                                              ParseInt(NextWord(rest), 1, 2, &status) &&
                                              rest.empty();
      if (!ok) return Error("faxplan takes <ms 0..86400000> <status 1|2>, or 'default'");
      ev->kind = EventKind::kFaxPlan;
      ev->a = static_cast<int32_t>(ms);
      ev->b = static_cast<int32_t>(status);
      return TVCSIM_OK;
    }
    if (name == "faxsource") {
      if (rest.empty()) return Error("faxsource takes a path");
      std::string path(rest);
      if (!base_dir_.empty() && path.front() != '/') path = base_dir_ + "/" + path;
      // Checked now, like a WAV file, so that a wrong path is a load error.
      std::error_code ec;
      if (!std::filesystem::is_regular_file(path, ec) || !std::ifstream(path, std::ios::binary)) {
        reason_ = "cannot read fax source '" + path + "'";
        return TVCSIM_E_IO;
      }
      ev->kind = EventKind::kFaxSource;
      ev->text = path;
      return TVCSIM_OK;
    }
    if (name == "tone") {
      int64_t hz = 0;
      int64_t amp = 0;
      if (!ParseInt(NextWord(rest), 1, 3999, &hz) || !ParseInt(NextWord(rest), 0, 32767, &amp) ||
          !rest.empty()) {
        return Error("tone takes <hz 1..3999> <amplitude 0..32767>");
      }
      ev->kind = EventKind::kTone;
      ev->a = static_cast<int32_t>(hz);
      ev->b = static_cast<int32_t>(amp);
      return TVCSIM_OK;
    }
    if (name == "wav" || name == "wavloop") {
      if (rest.empty()) return Error("wav takes a path");
      std::string path(rest);
      if (!base_dir_.empty() && path.front() != '/') path = base_dir_ + "/" + path;
      std::string why;
      const int32_t rc = LoadWavFile(path, &ev->samples, &why);
      if (rc != TVCSIM_OK) {
        reason_ = "cannot use WAV file '" + path + "': " + why;
        return rc;
      }
      ev->kind = EventKind::kSamples;
      ev->loop = name == "wavloop";
      ev->text = path;
      return TVCSIM_OK;
    }
    return Error("unknown event '" + std::string(name) + "'");
  }

  const std::string& reason() const { return reason_; }

 private:
  int32_t Error(std::string why) {
    reason_ = std::move(why);
    return TVCSIM_E_PARSE;
  }

  int32_t Int(std::string_view rest, EventKind kind, int64_t lo, int64_t hi, ScriptEvent* ev) {
    int64_t v = 0;
    if (!ParseInt(NextWord(rest), lo, hi, &v) || !rest.empty()) {
      return Error("expected one number from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    ev->kind = kind;
    ev->a = static_cast<int32_t>(v);
    return TVCSIM_OK;
  }

  int32_t Counter(std::string_view rest, int32_t counter, ScriptEvent* ev) {
    std::string_view word = NextWord(rest);
    ev->add = !word.empty() && word.front() == '+';
    if (ev->add) word.remove_prefix(1);
    int64_t v = 0;
    if (!ParseInt(word, 0, 1000000, &v) || !rest.empty()) {
      return Error("expected a count 0..1000000, or +n");
    }
    ev->kind = EventKind::kCounter;
    ev->a = counter;
    ev->b = static_cast<int32_t>(v);
    return TVCSIM_OK;
  }

  // "<ms>" or "never" (-1), and nothing after it.
  static bool MsOrNever(std::string_view rest, int64_t* ms) {
    const std::string_view word = NextWord(rest);
    *ms = -1;
    return (word == "never" || ParseInt(word, 0, kMaxMs, ms)) && rest.empty();
  }

  int32_t NoArgs(std::string_view rest, EventKind kind, ScriptEvent* ev) {
    if (!rest.empty()) return Error("unexpected text after the event");
    ev->kind = kind;
    return TVCSIM_OK;
  }

  int32_t Fixed(std::string_view rest, EventKind kind, int32_t value, ScriptEvent* ev) {
    ev->a = value;
    return NoArgs(rest, kind, ev);
  }

  int32_t Plus1(std::string_view rest, int32_t counter, ScriptEvent* ev) {
    ev->a = counter;
    ev->b = 1;
    ev->add = true;
    return NoArgs(rest, EventKind::kCounter, ev);
  }

  int32_t channel_total_;
  const std::string& base_dir_;
  std::string reason_;
};

}  // namespace

int32_t ParseScript(std::string_view text, int32_t channel_total, const std::string& base_dir,
                    std::vector<ScriptEvent>* events, std::string* error) {
  std::vector<ScriptEvent> parsed;
  LineParser parser(channel_total, base_dir);
  int line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    line = Trim(line);
    // Whole-line comments only: '#' is a DTMF digit and may appear in paths.
    if (line.empty() || line.front() == '#') continue;
    if (line.find('\0') != std::string_view::npos) {
      if (error) *error = "line " + std::to_string(line_no) + ": zero byte in script";
      return TVCSIM_E_PARSE;
    }
    ScriptEvent ev;
    const int32_t rc = parser.Parse(line, &ev);
    if (rc != TVCSIM_OK) {
      if (error) *error = "line " + std::to_string(line_no) + ": " + parser.reason();
      return rc;
    }
    parsed.push_back(std::move(ev));
  }
  std::stable_sort(parsed.begin(), parsed.end(),
                   [](const ScriptEvent& x, const ScriptEvent& y) { return x.at_ms < y.at_ms; });
  *events = std::move(parsed);
  return TVCSIM_OK;
}

}  // namespace tvcsim

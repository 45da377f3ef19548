// The line script: timed events that change a channel's line, counters and audio.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio_source.h"

namespace tvcsim {

// Who answers a number the library dials on a trunk.
enum class FarKind : int32_t { kNobody, kFax, kBusy };

enum class EventKind {
  kState,
  kCounter,  // counter in `a` (TVCSIM_COUNTER_*), value in `b`, `add` for +n
  kCallerId,
  kNoCallerId,
  kDtmf,
  kSound,
  kToneResult,
  kFreqFlag,
  kSilence,
  kTone,  // frequency in `a`, amplitude in `b`
  kSamples,
  kFaxEnd,
  kIncoming,  // number in `text` ("" none), rings in `a` (0 no limit), ring period in `b`
  kCallerHangUp,
  kAutoAnswer,  // delay in `a`, -1 never
  kLineTone,    // delay after the pick-up in `a` (-1 no plan), TVCSIM_TONE_* in `b`
  kFarEnd,      // FarKind in `b`, a fax machine's answer delay in `a`
  kFaxPlan,     // duration in `a` (-1 the default), end status in `b`
  kFaxSource,   // path in `text`
};

// Built by the parser, then owned by the board and read under its lock; never changed.
struct ScriptEvent {
  int64_t at_ms = 0;  // relative to the script start
  int32_t channel = 0;
  EventKind kind = EventKind::kState;
  int32_t a = 0;
  int32_t b = 0;
  bool add = false;
  bool loop = false;
  std::string text;
  SampleData samples;
};

// Parses a whole script. Channels must be below channel_total; relative WAV paths are
// taken from base_dir when it is not empty. On failure returns TVCSIM_E_PARSE (or a WAV
// error) and sets *error to "line N: reason". The events come back sorted by time,
// stable for equal times.
int32_t ParseScript(std::string_view text, int32_t channel_total, const std::string& base_dir,
                    std::vector<ScriptEvent>* events, std::string* error);

// Only the digits a phone line can carry.
bool IsDtmfDigit(char c);

}  // namespace tvcsim

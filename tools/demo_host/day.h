// The demo's day of calls: the board's channel layout and the line script
// that plays what the callers, the station users and the far ends do.
#pragma once

#include <cstdint>
#include <string>

namespace talo_demo {

// Lines 0-3, three trunks each with its station phone on the next channel,
// an idle channel and a missing one (driver channel types).
inline constexpr int32_t kDayChannels = 12;
inline constexpr int32_t kDriverTypes[kDayChannels] = {0, 0, 0, 0, 2, 1, 2, 1, 2, 1, 10, 255};
inline constexpr int32_t kTrunkUserStep = 1;  // each trunk's station is the next channel
inline constexpr int32_t kRingTrunk = 4;      // rung through, a blocked caller, a caller who gives up
inline constexpr int32_t kMessageTrunk = 6;   // the message line of the built-in policy
inline constexpr int32_t kDialTrunk = 8;      // its station signs on and calls out

// How long things last on the board, in board milliseconds; a prompt that is
// missing lasts 0 (the library skips it).
struct DayTimes {
  int64_t speech = 0;  // the callers' speech WAV
  int64_t greeting = 0;
  int64_t number_prompt = 0;
  int64_t closing = 0;
  int64_t blocked = 0;
  int64_t notice = 0;         // "this call is recorded"
  int64_t answer_caller = 0;  // what the caller hears when the station answers, announcement included
};

// The whole day as a line script; `speech` is the absolute path of the WAV.
std::string DayScript(const std::string &speech, const DayTimes &times);

}  // namespace talo_demo

// The scripted day of calls both hosts play on the simulated board: the
// board's channel layout, the line script that plays what the callers, the
// station users and the far ends do, and the requests the host itself makes of
// the library (calls out and faxes sent).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host_kit {

// Lines 0-3, three trunks each with its station phone on the next channel,
// an idle channel and a missing one; then a trunk and station for the host's
// calls out, two trunks the host sends faxes from, a fax-only trunk and two
// fax resource channels (driver channel types; 20 is the board's fax type).
inline constexpr int32_t kDayChannels = 19;
inline constexpr int32_t kDriverTypes[kDayChannels] = {0,  0,   0, 0, 2, 1, 2, 1,  2, 1,
                                                       10, 255, 2, 1, 2, 2, 2, 20, 20};
inline constexpr int32_t kFaxType = 20;
inline constexpr int32_t kTrunkUserStep = 1;  // each trunk's station is the next channel
inline constexpr int32_t kRingTrunk = 4;      // rung through, a blocked caller, a caller who gives up
inline constexpr int32_t kMessageTrunk = 6;   // the message line of the built-in policy
inline constexpr int32_t kDialTrunk = 8;      // its station signs on and calls out
inline constexpr int32_t kCallOutTrunk = 12;  // the host calls out for station 13
inline constexpr int32_t kFaxOutTrunks[] = {14, 15};
inline constexpr int32_t kFaxInTrunk = 16;  // fax-only in the built-in policy

// Requests from the command line are made one after another from this board
// time on, after the day's own, each given a slot of its own.
inline constexpr int64_t kCommandLineFromMs = 34000;
inline constexpr int64_t kCommandLineSlotMs = 12000;

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

// One request the host makes at a set board time: a call out for a trunk's
// station (QV_SoftDialOut) or a fax sent from a trunk (QV_SoftSendFax).
struct Request {
  enum class Kind { kDial, kFax };
  Kind kind = Kind::kDial;
  int32_t trunk = -1;
  std::string number;
  std::string file;                 // a fax's document, an absolute path
  int64_t at_ms = 0;                // board time
  int64_t stop_after_ring_ms = -1;  // a call out the host stops once the station has rung this long
  std::string about;                // what the day means it to show
};

struct DayInput {
  std::string speech;  // absolute path of the callers' speech WAV
  DayTimes times;
  std::string fax_letter;             // the document the day's faxes send
  std::string far_fax_page;           // what the far fax machine sends the fax-only trunk
  std::vector<Request> command_line;  // in the order given; their times are set here
};

struct DayPlan {
  std::string script;             // the line script
  std::vector<Request> requests;  // ordered by time
};

DayPlan PlanDay(const DayInput &input);

// The station phone paired with a trunk of the layout, or -1.
int32_t StationOf(int32_t trunk);
// A channel's driver type on a board laid out for the day; channels past the
// layout are lines.
int32_t DriverTypeOf(int32_t ch);
// The layout's fax resource channels, ascending: the host's fax pool.
std::vector<int32_t> FaxChannels();

}  // namespace host_kit

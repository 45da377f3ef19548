// The demo's own tools: wav2board, which turns speech WAVs into prompts the
// board plays, and from the host kit the call policy that talo_demo and the
// recorder answer the library from, the scripted day and the fax desk.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>

#include "common/ima_reference.h"
#include "host_kit/day.h"
#include "host_kit/fax_desk.h"
#include "host_kit/policy.h"
#include "net_test_support.h"
#include "wav2board/wav2board.h"

namespace talo::tools::test {
namespace {

using host_kit::Announce;
using host_kit::IncomingMode;
using host_kit::Policy;
using host_kit::PolicyError;
using namespace std::chrono_literals;

void Put16(Bytes &b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes &b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A PCM WAV file's bytes: RIFF, fmt and data chunks.
Bytes Wav(uint32_t rate, uint16_t channels, uint16_t bits, const Bytes &data) {
  Bytes b = {'R', 'I', 'F', 'F'};
  Put32(b, static_cast<uint32_t>(36 + data.size()));
  for (char c : std::string("WAVEfmt ")) b.push_back(static_cast<uint8_t>(c));
  Put32(b, 16);
  Put16(b, 1);
  Put16(b, channels);
  Put32(b, rate);
  Put32(b, rate * channels * bits / 8);
  Put16(b, static_cast<uint16_t>(channels * bits / 8));
  Put16(b, bits);
  for (char c : std::string("data")) b.push_back(static_cast<uint8_t>(c));
  Put32(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes LineWav(const std::vector<int16_t> &samples) {
  Bytes data;
  for (int16_t s : samples) Put16(data, static_cast<uint16_t>(s));
  return Wav(8000, 1, 16, data);
}

void WriteFile(const std::string &path, const Bytes &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Speech-like test audio: two tones gliding and a slow swell, within 16 bits.
std::vector<int16_t> Signal(size_t n) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 8000.0;
    const double swell = 0.5 + 0.4 * std::sin(2 * M_PI * 1.5 * t);
    s[i] = static_cast<int16_t>(
        swell * (9000 * std::sin(2 * M_PI * (300 + 200 * t) * t) + 4000 * std::sin(2 * M_PI * 1200 * t)));
  }
  return s;
}

TEST(Wav2Board, VoiceFileDecodesBackToTheInputAsOneStream) {
  const size_t lengths[] = {1, 503, 504, 505, 8000 * 3 / 2};
  for (size_t n : lengths) {
    SCOPED_TRACE(testing::Message() << n << " samples");
    TempDir dir;
    const std::vector<int16_t> input = Signal(n);
    WriteFile(dir.File("in.wav"), LineWav(input));
    const size_t blocks = wav2board::ConvertWavToVoice(dir.File("in.wav"), dir.File("out.dat"));
    const Bytes voice = ReadFile(dir.File("out.dat"));
    ASSERT_EQ(blocks, (n + 503) / 504);
    ASSERT_EQ(voice.size(), blocks * 256);

    std::vector<int16_t> decoded(blocks * 504);
    talo_test::ReferenceState carried{};
    for (size_t k = 0; k < blocks; ++k) {
      const uint8_t *block = voice.data() + 256 * k;
      if (k > 0) {
        // Each header holds the state the previous block ended in: one stream, no restarts.
        EXPECT_EQ(static_cast<int16_t>(block[0] | (block[1] << 8)), carried.predictor) << "block " << k;
        EXPECT_EQ(block[2] | (block[3] << 8), carried.stepIndex) << "block " << k;
      }
      carried = talo_test::ReferenceDecodeBlock(block, decoded.data() + 504 * k);
    }
    double signal = 0, noise = 0;
    for (size_t i = 0; i < n; ++i) {
      signal += static_cast<double>(input[i]) * input[i];
      noise += std::pow(static_cast<double>(input[i]) - decoded[i], 2);
    }
    // The first samples are spent finding the step size; long signals must be clean.
    if (n >= 504) {
      EXPECT_GT(10 * std::log10(signal / noise), 20.0);
    }
  }
}

TEST(Wav2Board, RefusesWhatIsNotALineWavAndLeavesTheOutputAlone) {
  struct Case {
    const char *name;
    Bytes bytes;  // empty: no input file at all
    const char *message;
  };
  Bytes samples(1000, 0x11);
  const Case cases[] = {
      {"16 kHz", Wav(16000, 1, 16, samples), "Signed 16 bit PCM, 16000 Hz, 1 channel(s)"},
      {"stereo", Wav(8000, 2, 16, samples), "8000 Hz, 2 channel(s)"},
      {"8-bit", Wav(8000, 1, 8, samples), "8 bit PCM, 8000 Hz"},
      {"no samples", Wav(8000, 1, 16, {}), "holds no samples"},
      {"not audio", Text("hello\n"), "cannot read"},
      {"missing", Bytes{}, "cannot read"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (!c.bytes.empty()) WriteFile(dir.File("in.wav"), c.bytes);
    WriteFile(dir.File("out.dat"), Text("old"));
    try {
      wav2board::ConvertWavToVoice(dir.File("in.wav"), dir.File("out.dat"));
      ADD_FAILURE() << "accepted";
    } catch (const wav2board::ConversionError &e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFile(dir.File("out.dat")), Text("old"));
    EXPECT_FALSE(FileExists(dir.File("out.dat.part")));
  }
}

TEST(Wav2Board, CommandExitsWithOneAndAMessageOnRefusal) {
  TempDir dir;
  WriteFile(dir.File("good.wav"), LineWav(Signal(600)));
  WriteFile(dir.File("stereo.wav"), Wav(8000, 2, 16, Bytes(400, 0)));
  struct Case {
    const char *input;
    int exit_code;
    size_t output_bytes;  // 0: no output
  };
  const Case cases[] = {{"good.wav", 0, 512}, {"stereo.wav", 1, 0}, {"absent.wav", 1, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.input);
    const std::string out = dir.File(std::string(c.input) + ".dat");
    Child child({BuildDir() + "/bin/wav2board", dir.File(c.input), out}, dir.File(""));
    ASSERT_EQ(child.Wait(30000ms), c.exit_code) << child.Stderr();
    if (c.exit_code == 0) {
      EXPECT_EQ(ReadFile(out).size(), c.output_bytes);
    } else {
      EXPECT_EQ(child.Stderr().rfind("wav2board: ", 0), 0u) << child.Stderr();
      EXPECT_FALSE(FileExists(out));
    }
  }
}

// ---- the call policy

TEST(DemoPolicy, BuiltInPolicyIsTheShippedExampleAndFitsTheDay) {
  const Policy builtin = host_kit::DefaultPolicy();
  EXPECT_EQ(host_kit::LoadPolicyFile(TALO_DEMO_POLICY_EXAMPLE), builtin);
  EXPECT_EQ(host_kit::LoadPolicy(""), builtin);
  EXPECT_EQ(builtin.ModeFor(4), IncomingMode::kRing);
  EXPECT_EQ(builtin.ModeFor(6), IncomingMode::kMessage);
  EXPECT_TRUE(builtin.CallerRejected("5550100"));
  EXPECT_FALSE(builtin.CallerRejected("5551234"));
  EXPECT_TRUE(builtin.SignOnAccepted("12", "34"));
  EXPECT_TRUE(builtin.DialBlocked("900"));
  EXPECT_FALSE(builtin.DialBlocked("5551234"));
  EXPECT_TRUE(builtin.FaxOnly(16));
  EXPECT_FALSE(builtin.FaxOnly(4));
}

TEST(DemoPolicy, GoodPoliciesGiveTheirDecisions) {
  struct Case {
    const char *json;
    const char *question;
    std::function<int(const Policy &)> ask;
    int answer;
  };
  const char *modes = R"({"incoming": {"mode": "message", "trunk_modes": {"6": "ring-then-message"}}})";
  const char *callers = R"({"blocked_callers": ["5550100", "+4420"]})";
  const char *accounts = R"({"sign_on": {"required": true, "accounts": {"12": "34", "7": "A*1"}}})";
  const char *prefixes = R"({"dial": {"blocked_prefixes": ["900", "0044"]}})";
  const char *faxes = R"({"fax_only_trunks": [16, 4095, 16], "incoming": {"trunk_modes": {"6": "ring"}}})";
  auto mode = [](int32_t trunk) {
    return [trunk](const Policy &p) { return static_cast<int>(p.ModeFor(trunk)); };
  };
  const Case cases[] = {
      {"{}", "mode with nothing said", mode(4), 0},
      {"{}", "sign-on with nothing said", [](const Policy &p) { return int{p.sign_on_required}; }, 0},
      {modes, "mode of a trunk without its own", mode(4), 1},
      {modes, "mode of a trunk with its own", mode(6), 2},
      {R"({"incoming": {"user_ring_timeout_ms": 15000}})", "ring timeout",
       [](const Policy &p) { return p.user_ring_timeout_ms; }, 15000},
      {R"({"incoming": {"number_entry": false}})", "number entry",
       [](const Policy &p) { return int{p.number_entry}; }, 0},
      {callers, "a blocked caller", [](const Policy &p) { return int{p.CallerRejected("+4420")}; }, 1},
      {callers, "a longer number", [](const Policy &p) { return int{p.CallerRejected("55501001")}; }, 0},
      {accounts, "right PIN", [](const Policy &p) { return int{p.SignOnAccepted("7", "A*1")}; }, 1},
      {accounts, "wrong PIN", [](const Policy &p) { return int{p.SignOnAccepted("12", "35")}; }, 0},
      {accounts, "unknown account", [](const Policy &p) { return int{p.SignOnAccepted("13", "34")}; }, 0},
      {prefixes, "blocked prefix reached", [](const Policy &p) { return int{p.DialBlocked("00441")}; }, 1},
      {prefixes, "prefix not reached yet", [](const Policy &p) { return int{p.DialBlocked("90")}; }, 0},
      {"// a note\n{ /* kept short */ \"answer\": {\"prompts\": true, \"announce\": \"account\"} }",
       "comments", [](const Policy &p) { return static_cast<int>(p.announce); },
       static_cast<int>(Announce::kAccount)},
      {"{}", "fax-only with nothing said", [](const Policy &p) { return int{p.FaxOnly(16)}; }, 0},
      {faxes, "a fax-only trunk", [](const Policy &p) { return int{p.FaxOnly(4095)}; }, 1},
      {faxes, "another trunk", [](const Policy &p) { return int{p.FaxOnly(6)}; }, 0},
      {faxes, "a mode of a trunk not fax-only", mode(6), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.question << ": " << c.json);
    try {
      EXPECT_EQ(c.ask(host_kit::ParsePolicy(c.json)), c.answer);
    } catch (const PolicyError &e) {
      ADD_FAILURE() << e.what();
    }
  }
}

TEST(DemoPolicy, MistakesAreRefusedNamingTheKey) {
  struct Case {
    const char *json;
    const char *message;
  };
  const Case cases[] = {
      {R"({"incoming": {"moed": "ring"}})", R"(unknown key "incoming.moed" (known here: mode,)"},
      {R"({"blocked": []})", R"(unknown key "blocked")"},
      {R"({"incoming": []})", R"("incoming" must be an object)"},
      {R"({"incoming": {"mode": "rung"}})",
       R"("incoming.mode" must be one of ring, message, ring-then-message, not "rung")"},
      {R"({"incoming": {"mode": 1}})", R"("incoming.mode" must be one of)"},
      {R"({"incoming": {"number_entry": "yes"}})", R"("incoming.number_entry" must be true or false)"},
      {R"({"incoming": {"user_ring_timeout_ms": 5000}})",
       R"("incoming.user_ring_timeout_ms" must be a whole number from 10000)"},
      {R"({"incoming": {"user_ring_timeout_ms": 15000.5}})",
       R"("incoming.user_ring_timeout_ms" must be a whole number)"},
      {R"({"incoming": {"user_ring_timeout_ms": 4294967296}})",
       R"("incoming.user_ring_timeout_ms" must be a whole number)"},
      {R"({"incoming": {"trunk_modes": {"x": "ring"}}})",
       R"("incoming.trunk_modes" has "x", which is not a channel number)"},
      {R"({"incoming": {"trunk_modes": {"6": "msg"}}})", R"("incoming.trunk_modes.6" must be one of)"},
      {R"({"blocked_callers": "5550100"})", R"("blocked_callers" must be a list)"},
      {R"({"blocked_callers": ["5550100", 5]})", R"("blocked_callers[1]" must be a caller number)"},
      {R"({"answer": {"announce": "caller"}})", R"("answer.announce" must be one of none, station, account)"},
      {R"({"sign_on": {"required": 1}})", R"("sign_on.required" must be true or false)"},
      {R"({"sign_on": {"accounts": {"12": 34}}})", R"("sign_on.accounts.12" must be a PIN)"},
      {R"({"sign_on": {"accounts": {"1#2": "34"}}})", R"("sign_on.accounts" has "1#2")"},
      {R"({"sign_on": {"required": true}})", R"("sign_on.accounts" must name at least one account)"},
      {R"({"dial": {"blocked_prefixes": ["9x"]}})", R"("dial.blocked_prefixes[0]" must be dial keys)"},
      {R"({"fax_only_trunks": 16})", R"("fax_only_trunks" must be a list, not 16)"},
      {R"({"fax_only_trunks": [16, "17"]})", R"("fax_only_trunks[1]" must be a channel number (0 to 4095))"},
      {R"({"fax_only_trunks": [-1]})", R"("fax_only_trunks[0]" must be a channel number)"},
      {R"({"fax_only_trunks": [4096]})", R"("fax_only_trunks[0]" must be a channel number)"},
      {R"({"fax_only_trunks": [16.5]})", R"("fax_only_trunks[0]" must be a channel number)"},
      {R"({"fax_only_trunks": [6], "incoming": {"trunk_modes": {"6": "message"}}})",
       R"("fax_only_trunks" has 6, which "incoming.trunk_modes" gives a mode)"},
      {R"([1, 2])", "the policy must be a JSON object"},
      {"{\n  \"incoming\": {\"mode\": \"ring\",}\n}", "not valid JSON: parse error at line 2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.json);
    try {
      host_kit::ParsePolicy(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const PolicyError &e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("policy: ", 0), 0u) << what;
      EXPECT_NE(what.find(c.message), std::string::npos) << what;
    }
  }
}

// A bad policy stops talo_demo before it loads the library or makes its
// record folder.
TEST(DemoPolicy, DemoStopsOnABadPolicyFileBeforeStarting) {
  TempDir dir;
  WriteFile(dir.File("typo.json"), Text(R"({"dial": {"x": 1}})"));
  struct Case {
    const char *file;
    const char *message;
  };
  const Case cases[] = {{"typo.json", "unknown key \"dial.x\""}, {"absent.json", "cannot be read"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    const std::string out = dir.File(std::string(c.file) + "-out");
    Child demo({BuildDir() + "/bin/talo_demo", "--speech", dir.File("none.wav"), "--out", out, "--policy",
                dir.File(c.file)},
               dir.File(""));
    EXPECT_EQ(demo.Wait(30000ms), 2);
    const std::string err = demo.Stderr();
    EXPECT_NE(err.find("policy file '" + dir.File(c.file) + "': "), std::string::npos) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_FALSE(FileExists(out));
  }
}

// A mistake in a --dial or --fax request stops talo_demo like a bad policy.
TEST(DemoRequests, DemoStopsOnABadRequestBeforeStarting) {
  TempDir dir;
  WriteFile(dir.File("letter.pbm"), Text("P1\n1 1\n1\n"));
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const Case cases[] = {
      {{"--fax", "14:5550123:" + dir.File("absent.pbm")},
       "--fax '14:5550123:DIR/absent.pbm': cannot read the file DIR/absent.pbm: no such file"},
      {{"--fax", "14:5550123:" + dir.File("")}, "not a readable file"},
      {{"--fax", "14:5550123"}, "--fax '14:5550123': expected CH:NUMBER:FILE"},
      {{"--dial", "12"}, "--dial '12': expected CH:NUMBER"},
      {{"--dial", "twelve:5556000"},
       R"(--dial 'twelve:5556000': "twelve" is not a channel of the board (0 to 18))"},
      {{"--dial", "19:5556000"}, R"("19" is not a channel of the board (0 to 18))"},
      {{"--dial", "12:555-6000"}, R"("555-6000" is not a number to dial)"},
      {{"--dial", "12:"}, R"("" is not a number to dial)"},
      // The first mistake is named even after a good request.
      {{"--dial", "12:5556000", "--fax", "14:5550123:" + dir.File("letter.pbm"), "--dial", "x:1"},
       R"(--dial 'x:1': "x" is not a channel)"},
  };
  for (const Case &c : cases) {
    std::string message = c.message;
    for (size_t at; (at = message.find("DIR/")) != std::string::npos;) message.replace(at, 4, dir.File(""));
    SCOPED_TRACE(message);
    const std::string out = dir.File("out");
    std::vector<std::string> argv = {BuildDir() + "/bin/talo_demo", "--speech", dir.File("none.wav"), "--out",
                                     out};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child demo(argv, dir.File(""));
    EXPECT_EQ(demo.Wait(30000ms), 2);
    const std::string err = demo.Stderr();
    EXPECT_EQ(err.rfind("talo_demo: ", 0), 0u) << err;
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_FALSE(FileExists(out));
  }
}

// ---- the day's plan

TEST(DemoDay, StationsAreTheTrunksPartnersInTheLayout) {
  const std::pair<int32_t, int32_t> cases[] = {{4, 5},  {8, 9},  {12, 13}, {14, -1}, {16, -1},
                                               {5, -1}, {0, -1}, {18, -1}, {-1, -1}, {40, -1}};
  for (const auto &[trunk, station] : cases) EXPECT_EQ(host_kit::StationOf(trunk), station) << trunk;
}

// The day's own script and requests are over before the command line's
// slots, which keep the order given and bring the board's other side along.
TEST(DemoDay, CommandLineRequestsGetASlotEachAfterTheDaysOwn) {
  using host_kit::Request;
  // About what espeak-ng makes of the demo's texts, speech and prompts.
  const host_kit::DayTimes times{6200, 6300, 2500, 1700, 2600, 1500, 1800};
  host_kit::DayInput in{"/s.wav", times, "/letter.pbm", "/far.pbm", {}};
  const host_kit::DayPlan own = host_kit::PlanDay(in);
  in.command_line = {{Request::Kind::kFax, 14, "5550123", "/doc.pbm"},
                     {Request::Kind::kDial, 12, "5551234"},
                     {Request::Kind::kDial, 15, "5551235"}};
  const host_kit::DayPlan plan = host_kit::PlanDay(in);

  ASSERT_EQ(plan.requests.size(), own.requests.size() + 3);
  int64_t last_event = 0;
  std::istringstream script(own.script);
  for (std::string line; std::getline(script, line);) {
    if (line.starts_with("at ")) last_event = std::max<int64_t>(last_event, std::stoll(line.substr(3)));
  }
  EXPECT_LT(last_event, host_kit::kCommandLineFromMs);
  for (size_t i = 0; i < own.requests.size(); ++i) {
    EXPECT_LT(own.requests[i].at_ms, host_kit::kCommandLineFromMs) << i;
    if (i > 0) {
      EXPECT_LE(own.requests[i - 1].at_ms, own.requests[i].at_ms) << i;
    }
    if (own.requests[i].kind == Request::Kind::kFax) {
      EXPECT_EQ(own.requests[i].file, "/letter.pbm");
    }
  }
  const std::pair<int32_t, int64_t> slots[] = {{14, 34000}, {12, 46000}, {15, 58000}};
  for (size_t i = 0; i < std::size(slots); ++i) {
    const Request &r = plan.requests[own.requests.size() + i];
    EXPECT_EQ(r.trunk, slots[i].first) << i;
    EXPECT_EQ(r.at_ms, slots[i].second) << i;
  }
  EXPECT_EQ(plan.requests[own.requests.size()].file, "/doc.pbm");

  const std::pair<const char *, bool> lines[] = {
      {"ch 18 faxsource /far.pbm\n", true},
      {"at 33500 ch 14 farfax 4000\n", true},
      {"at 45500 ch 12 dialtone 300\n", true},
      {"at 45500 ch 13 autoanswer 2000\n", true},
      {"at 55000 ch 13 hangup\n", true},
      {"at 57500 ch 15 dialtone 300\n", true},
      {"ch 16 autoanswer", false},  // trunk 15 has no station
  };
  for (const auto &[line, present] : lines)
    EXPECT_EQ(plan.script.find(line) != std::string::npos, present) << line;
}

// ---- the fax desk

TEST(DemoFaxDesk, PoolLendsTheLowestFreeChannelUntilNoneIsLeft) {
  host_kit::FaxPool pool({18, 17});
  struct Step {
    char op;       // 'L' lend, 'R' return
    int32_t ch;    // returned channel
    int32_t want;  // lent channel, or 1/0 for a return taken or refused
    size_t lent;
  };
  const Step steps[] = {
      {'L', 0, 17, 1}, {'L', 0, 18, 2}, {'L', 0, -1, 2}, {'R', 17, 1, 1}, {'R', 17, 0, 1},
      {'R', 5, 0, 1},  {'R', -1, 0, 1}, {'L', 0, 17, 2}, {'R', 18, 1, 1}, {'R', 17, 1, 0},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step &s = steps[i];
    SCOPED_TRACE(testing::Message() << "step " << i);
    EXPECT_EQ(s.op == 'L' ? pool.Lend() : int32_t{pool.Return(s.ch)}, s.want);
    EXPECT_EQ(pool.Lent(), s.lent);
  }
  EXPECT_EQ(pool.Size(), 2u);
}

TEST(DemoFaxDesk, ReceivedFaxNamesCarryTrunkCallerAndTimeAndNeverClash) {
  TempDir dir;
  std::tm noon{};
  noon.tm_year = 2025 - 1900;
  noon.tm_mon = 2;
  noon.tm_mday = 7;
  noon.tm_hour = 12;
  noon.tm_min = 5;
  noon.tm_sec = 9;
  noon.tm_isdst = -1;
  const std::time_t when = std::mktime(&noon);
  const std::string folder = dir.File("faxes");
  std::filesystem::create_directories(folder);
  WriteFile(folder + "/fax_ch16_5553300_20250307-120509.pbm", Text("old"));
  WriteFile(folder + "/fax_ch16_5553300_20250307-120509-2.pbm", Text("old"));
  struct Case {
    int32_t trunk;
    std::string caller;
    std::string folder;
    std::string name;  // empty: no path at all
  };
  const Case cases[] = {
      {4, "5551234", folder, "fax_ch4_5551234_20250307-120509.pbm"},
      {4, "", folder, "fax_ch4_unknown_20250307-120509.pbm"},
      {4, "*#/..", folder, "fax_ch4_unknown_20250307-120509.pbm"},
      {4, "+44 20/7946", folder, "fax_ch4_+44207946_20250307-120509.pbm"},
      {16, "5553300", folder, "fax_ch16_5553300_20250307-120509-3.pbm"},
      {4, "1", folder + "/" + std::string(127, 'x'), ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.caller);
    const std::string path = host_kit::ReceivedFaxPath(c.folder, c.trunk, c.caller, when);
    EXPECT_EQ(path, c.name.empty() ? "" : c.folder + "/" + c.name);
    EXPECT_LE(path.size(), host_kit::kFaxPathMax);
  }
}

TEST(DemoFaxDesk, PagesAreFaxWidthBitmapsThatDifferBySeed) {
  TempDir dir;
  host_kit::WriteFaxPage(dir.File("a.pbm"), 1);
  host_kit::WriteFaxPage(dir.File("b.pbm"), 2);
  const Bytes a = ReadFile(dir.File("a.pbm")), b = ReadFile(dir.File("b.pbm"));
  const std::string header = "P4\n1728 192\n";
  ASSERT_EQ(a.size(), header.size() + 1728 / 8 * 192);
  EXPECT_EQ(std::string(a.begin(), a.begin() + static_cast<long>(header.size())), header);
  EXPECT_EQ(a[header.size()], 0xFF);  // the frame's top edge
  EXPECT_EQ(a.size(), b.size());
  EXPECT_NE(a, b);
  EXPECT_THROW(host_kit::WriteFaxPage(dir.File("absent/c.pbm"), 1), std::runtime_error);
  // The day's pages: the letter is the first seed's page, the far machine's the second's.
  const host_kit::DayPages day = host_kit::WriteDayPages(dir.File("day/pages"));
  EXPECT_EQ(day.letter, dir.File("day/pages/letter.pbm"));
  EXPECT_EQ(ReadFile(day.letter), a);
  EXPECT_EQ(ReadFile(day.far_page), b);
}

}  // namespace
}  // namespace talo::tools::test

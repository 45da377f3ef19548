// The host kit as both hosts use it: the policy's answers in the library's
// replies, the library loaded and bound, and the guard around every handler.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "host_kit/answers.h"
#include "host_kit/handler_guard.h"
#include "host_kit/library.h"
#include "net_test_support.h"

namespace talo::tools::test {
namespace {

using host_kit::PolicyAnswers;
using testing::HasSubstr;

// Answers from a policy given as JSON, with the prompts in /snd and fax channels 17 and 18.
PolicyAnswers Answers(const char *policy, const std::string &sound = "/snd") {
  return PolicyAnswers(host_kit::ParsePolicy(policy), host_kit::Prompts(sound), host_kit::FaxPool({18, 17}));
}

TEST(HostKitAnswers, IncomingCallsArePlannedByTheTrunksMode) {
  PolicyAnswers answers = Answers(R"({"incoming": {"mode": "ring-then-message", "user_ring_timeout_ms": 15000,
      "number_entry": false, "trunk_modes": {"6": "message"}}})");
  const struct {
    int32_t trunk;
    int32_t mode;
  } cases[] = {{4, 2}, {6, 1}};
  for (const auto &c : cases) {
    QV_IncomingPlan plan{};
    EXPECT_EQ(static_cast<int32_t>(answers.IncomingCall(c.trunk, &plan)), c.mode);
    EXPECT_EQ(plan.IncomingMode, c.mode);
    EXPECT_EQ(plan.UserRingTimeout, 15000);
    EXPECT_EQ(plan.NumberEntryEnabled, 0);
    EXPECT_STREQ(plan.GreetingFile, "/snd/greeting.dat");
    EXPECT_STREQ(plan.NumberPromptFile, "/snd/number.dat");
    EXPECT_STREQ(plan.ClosingFile, "/snd/closing.dat");
  }
}

// A station's pick-ups, sign-ons and sign-off in order, with what each answered.
TEST(HostKitAnswers, AStationStaysSignedOnFromAnAcceptedSignOnToItsSignOff) {
  PolicyAnswers required = Answers(R"({"sign_on": {"required": true, "accounts": {"12": "34"}}})");
  PolicyAnswers free = Answers("{}");
  enum Step { kPickUp, kSignOn, kSignOff };
  const struct {
    PolicyAnswers *answers;
    Step step;
    int32_t station;
    const char *account, *pin;
    bool yes;        // sign-on accepted; pick-up: signed on
    bool required;   // pick-up: sign-on required
  } steps[] = {
      {&required, kPickUp, 9, "", "", false, true},    {&required, kSignOn, 9, "12", "35", false, false},
      {&required, kSignOn, 9, nullptr, nullptr, false, false},
      {&required, kSignOn, 9, "12", "34", true, false}, {&required, kPickUp, 9, "", "", true, true},
      {&required, kPickUp, 5, "", "", false, true},    {&required, kSignOff, 9, "", "", false, false},
      {&required, kPickUp, 9, "", "", false, true},    {&free, kPickUp, 9, "", "", false, false},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    const auto &s = steps[i];
    if (s.step == kPickUp) {
      QV_UserPickUpReply reply{};
      const host_kit::PickUpAnswer a = s.answers->UserPickUp(s.station, &reply);
      EXPECT_EQ(a.required, s.required);
      EXPECT_EQ(a.signed_on, s.yes);
      EXPECT_EQ(reply.SignOnRequired, s.required ? 1 : 0);
      EXPECT_EQ(reply.SignedOn, s.yes ? 1 : 0);
    } else if (s.step == kSignOn) {
      QV_CommandReply reply{};
      EXPECT_EQ(s.answers->SignOn(s.station, s.account, s.pin, &reply), s.yes);
      EXPECT_EQ(reply.CommandAccepted, s.yes ? 1 : 0);
    } else {
      s.answers->SignOff(s.station);
    }
  }
}

TEST(HostKitAnswers, DialledNumbersCalledAndAnsweredTrunksGetThePolicysPrompts) {
  PolicyAnswers all = Answers(R"({"dial": {"blocked_prefixes": ["900"], "answer_notice": true},
      "answer": {"prompts": true, "announce": "station"}})");
  PolicyAnswers account = Answers(R"({"answer": {"prompts": true, "announce": "account"}})");
  PolicyAnswers silent = Answers(R"({"answer": {"prompts": true}})");
  PolicyAnswers none = Answers("{}");

  const struct {
    const char *digits;
    bool blocked;
  } dials[] = {{"9001", true}, {"900", true}, {"90", false}, {nullptr, false}};
  for (const auto &d : dials) {
    SCOPED_TRACE(d.digits ? d.digits : "null");
    QV_DialCheckReply reply{};
    EXPECT_EQ(all.DialCheck(d.digits, &reply), d.blocked);
    EXPECT_EQ(reply.DialBlocked, d.blocked ? 1 : 0);
    EXPECT_STREQ(reply.BlockedPromptFile, d.blocked ? "/snd/blocked.dat" : "");
  }

  // The library fills in the account last signed on before it asks.
  const struct {
    PolicyAnswers *answers;
    const char *filled;
    bool prompts;
    const char *announced;
  } answered[] = {
      {&all, "12", true, "5"}, {&account, "12", true, "12"}, {&account, "", true, ""},
      {&silent, "12", true, ""}, {&none, "12", false, ""},
  };
  for (size_t i = 0; i < std::size(answered); ++i) {
    SCOPED_TRACE(i);
    const auto &c = answered[i];
    QV_AnswerReply reply{};
    std::strcpy(reply.AnnounceText, c.filled);
    const host_kit::AnswerPrompts a = c.answers->IncomingAnswered(4, &reply);
    EXPECT_EQ(a.prompts, c.prompts);
    EXPECT_EQ(a.announced, c.announced);
    EXPECT_EQ(reply.PlayAnswerPrompts, c.prompts ? 1 : 0);
    EXPECT_EQ(reply.AnnounceChars, *c.announced ? 1 : 0);
    EXPECT_STREQ(reply.UserPromptFile, c.prompts ? "/snd/answer_user.dat" : "");
    EXPECT_STREQ(reply.CallerPromptFile, c.prompts ? "/snd/answer_caller.dat" : "");
  }

  for (PolicyAnswers *answers : {&all, &none}) {
    QV_ConnectReply reply{};
    const bool notice = answers == &all;
    EXPECT_EQ(answers->TrunkConnected(&reply), notice);
    EXPECT_EQ(reply.PolarityPrompts, notice ? 1 : 0);
    EXPECT_STREQ(reply.PolarityTrunkFile, notice ? "/snd/notice.dat" : "");
    EXPECT_STREQ(reply.PolarityUserFile, notice ? "/snd/notice.dat" : "");
  }
}

// The questions in order, each as the library puts it, and what lands in its answer field.
TEST(HostKitAnswers, QueriesAreAnsweredInTheLibrarysFieldsAndTooLongAPathIsNotGiven) {
  const std::string deep = "/" + std::string(130, 'd');
  PolicyAnswers answers = Answers(R"({"fax_only_trunks": [16], "blocked_callers": ["5550100"]})");
  PolicyAnswers far = Answers("{}", deep);
  std::string named = "/faxes/in.pbm";  // what the host names a received fax
  auto name_fax = [&](int32_t ch, const std::string &caller) {
    return ch == 16 && caller == "5553300" ? named : std::string();
  };
  int32_t channel = 0;
  char number[128] = "";
  QV_FaxFileNameArg fax_file{16, 0, "5553300"};
  const struct {
    PolicyAnswers *answers;
    int32_t code;
    std::function<void *()> arg;  // set up before the question
    bool answered, yes;
    int32_t fax_channel;
    std::string path, refused;
  } cases[] = {
      {&answers, QV_QUERY_FAX_ONLY, [&] { return channel = 16, &channel; }, true, true, -1, "", ""},
      {&answers, QV_QUERY_FAX_ONLY, [&] { return channel = 4, &channel; }, true, false, -1, "", ""},
      {&answers, QV_QUERY_FAX_CHANNEL, [] { return nullptr; }, true, false, 17, "", ""},
      {&answers, QV_QUERY_FAX_CHANNEL, [] { return nullptr; }, true, false, 18, "", ""},
      {&answers, QV_QUERY_FAX_CHANNEL, [] { return nullptr; }, true, false, -1, "", ""},
      {&answers, QV_QUERY_FAX_RX_PROMPT, [] { return nullptr; }, true, false, -1, "/snd/fax_rx.dat", ""},
      {&answers, QV_QUERY_FAX_TX_PROMPT, [] { return nullptr; }, true, false, -1, "/snd/fax_tx.dat", ""},
      {&far, QV_QUERY_FAX_RX_PROMPT, [] { return nullptr; }, true, false, -1, "",
       deep + "/fax_rx.dat is longer than 127 characters"},
      {&answers, QV_QUERY_FAX_FILE_NAME, [&] { return &fax_file; }, true, false, -1, named, ""},
      {&answers, QV_QUERY_FAX_FILE_NAME, [&] { return named = "/" + std::string(126, 'f'), &fax_file; }, true, false,
       -1, "/" + std::string(126, 'f'), ""},
      {&answers, QV_QUERY_FAX_FILE_NAME, [&] { return named = "/" + std::string(127, 'f'), &fax_file; }, true, false,
       -1, "", "/" + std::string(127, 'f') + " is longer than 127 characters"},
      {&answers, QV_QUERY_FAX_FILE_NAME, [&] { return fax_file.channel = 4, &fax_file; }, true, false, -1, "", ""},
      {&answers, QV_QUERY_CALLER_REJECTED, [&] { return std::strcpy(number, "5550100"); }, true, true, -1, "", ""},
      {&answers, QV_QUERY_CALLER_REJECTED, [&] { return std::strcpy(number, "555010"); }, true, false, -1, "", ""},
      {&answers, 99, [] { return nullptr; }, false, false, -1, "", ""},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto &c = cases[i];
    char result[128];
    std::memset(result, 'x', sizeof result);
    const host_kit::QueryAnswer a = c.answers->Query(host_kit::ReadQuestion(c.code, c.arg()), result, name_fax);
    EXPECT_EQ(a.answered, c.answered);
    EXPECT_EQ(a.yes, c.yes);
    EXPECT_EQ(a.fax_channel, c.fax_channel);
    EXPECT_EQ(a.file.path, c.path);
    EXPECT_EQ(a.file.refused, c.refused);
    switch (c.code) {
      case QV_QUERY_FAX_ONLY:
      case QV_QUERY_CALLER_REJECTED: EXPECT_EQ(result[0], c.yes ? 1 : 0); break;
      case QV_QUERY_FAX_CHANNEL: EXPECT_EQ(*reinterpret_cast<int32_t *>(result), c.fax_channel); break;
      case 99: EXPECT_EQ(result[0], 'x'); break;  // untouched: the library's default
      default: EXPECT_EQ(std::string(result), c.path);
    }
  }
  EXPECT_TRUE(answers.ReturnFaxChannel(18));
  EXPECT_FALSE(answers.ReturnFaxChannel(18));
  EXPECT_EQ(answers.Pool().Lent(), 1u);
}

TEST(HostKitLibrary, AFolderWithoutTheLibraryIsRefusedNamingIt) {
  TempDir dir;
  try {
    host_kit::Library library(dir.File(""));
    ADD_FAILURE() << "loaded";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot load libTALO.so: "));
  }
  void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(host_kit::Symbol(libc, "strlen"), nullptr);
  EXPECT_EQ(host_kit::Symbol(libc, "QV_InitDll"), nullptr);
  EXPECT_EQ(host_kit::Symbol(nullptr, "strlen"), nullptr);
  dlclose(libc);
}

// What the handler does with its event: 0 takes it, 1 and 2 fail.
void Handler(void *context, int32_t ch, const char *text) {
  int &outcome = *static_cast<int *>(context);
  if (outcome == 1) throw std::runtime_error(std::string("bad ") + text);
  if (outcome == 2) throw 42;
  outcome = 100 + ch;
}

TEST(HostKitGuard, AnEventReachesTheHandlerAndNoExceptionLeavesIt) {
  const struct {
    int outcome;
    int after;          // the context afterwards
    const char *said;   // on stderr
  } cases[] = {
      {0, 107, ""},
      {1, 1, ": event handler failed: bad event\n"},
      {2, 2, ": event handler failed\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.outcome);
    int context = c.outcome;
    testing::internal::CaptureStderr();
    host_kit::Guarded<&Handler>::Call(&context, 7, "event");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(context, c.after);
    if (*c.said) {
      EXPECT_THAT(said, HasSubstr(c.said));
    } else {
      EXPECT_EQ(said, "");
    }
  }
}

}  // namespace
}  // namespace talo::tools::test

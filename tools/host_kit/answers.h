// The policy's answers to the library's questions: how a trunk call is taken,
// whether a station must sign on, a dialled number checked, the prompts when
// a call is answered or connected, and the OnQuery questions (fax-only
// trunks, a fax channel from the pool, the fax prompts, a received fax's
// file, rejected callers). Each fills the library's reply and returns what it
// decided, so that a host prints or indexes around it.
//
// Threads: the host thread, where the library runs every handler.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "fax_desk.h"
#include "policy.h"
#include "prompts.h"
#include "talo/talo.h"

namespace host_kit {

// A path for one of the library's 128-byte answers.
struct PathAnswer {
  std::string path;     // the path given; "" none
  std::string refused;  // why a path was not given ("" when one was, or none was named)
};

// The library's 128-byte answers hold 127 characters: a longer path is not
// given at all, rather than cut into one that names another file.
PathAnswer PutPath(void *field, const std::string &path);

// One OnQuery question as the library asks it.
struct Question {
  int32_t code = 0;
  int32_t channel = -1;  // fax-only, fax file name
  int32_t mode = 0;      // fax file name
  std::string number;    // caller rejected: the number; fax file name: the caller
};
Question ReadQuestion(int32_t code, const void *arg);

// What an OnQuery answer decided.
struct QueryAnswer {
  bool answered = true;  // false: not a question of the policy's; the library's default stands
  bool yes = false;      // fax-only, caller rejected
  int32_t fax_channel = -1;
  PathAnswer file;  // the fax prompts, a received fax's file
};

// OnUserPickUp's answer.
struct PickUpAnswer {
  bool required = false;   // the station must sign on
  bool signed_on = false;  // and has
};

// OnIncomingAnswered's answer.
struct AnswerPrompts {
  bool prompts = false;   // the station and the caller hear the answer prompts
  std::string announced;  // spelled out to the caller first; "" nothing
};

class PolicyAnswers {
 public:
  // Names the file of a fax received on a channel from a caller; "" none.
  using FaxNamer = std::function<std::string(int32_t channel, const std::string &caller)>;

  PolicyAnswers() = default;
  PolicyAnswers(Policy policy, Prompts prompts, FaxPool pool);

  const Policy &CallPolicy() const { return policy_; }
  const FaxPool &Pool() const { return pool_; }
  // OnFaxEnd hands the fax channel back; false when it was not lent.
  bool ReturnFaxChannel(int32_t fax) { return pool_.Return(fax); }

  IncomingMode IncomingCall(int32_t trunk, QV_IncomingPlan *plan) const;
  PickUpAnswer UserPickUp(int32_t station, QV_UserPickUpReply *reply) const;
  // An accepted station stays signed on until it signs off.
  bool SignOn(int32_t station, const char *account, const char *pin, QV_CommandReply *reply);
  void SignOff(int32_t station) { signed_on_[station] = false; }
  // True: blocked, with the prompt the station hears.
  bool DialCheck(const char *digits, QV_DialCheckReply *reply) const;
  AnswerPrompts IncomingAnswered(int32_t trunk, QV_AnswerReply *reply) const;
  // True: the recording notice plays when the far end answers.
  bool TrunkConnected(QV_ConnectReply *reply) const;
  // `name_fax` is asked only for a received fax's file.
  QueryAnswer Query(const Question &question, void *result, const FaxNamer &name_fax);

 private:
  Policy policy_;
  Prompts prompts_;
  FaxPool pool_;
  std::map<int32_t, bool> signed_on_;  // station -> signed on
};

}  // namespace host_kit

// The policy's answers, filled into the library's replies.
#include "answers.h"

#include <cstdio>
#include <cstring>

namespace host_kit {
namespace {

// The reply's text fields are the library's; what does not fit is cut.
template <size_t N>
void SetText(char (&field)[N], const std::string &text) {
  std::snprintf(field, N, "%s", text.c_str());
}

}  // namespace

PathAnswer PutPath(void *field, const std::string &path) {
  char *text = static_cast<char *>(field);
  if (path.size() > kFaxPathMax) {
    text[0] = '\0';
    return {"", path + " is longer than 127 characters"};
  }
  std::snprintf(text, kFaxPathMax + 1, "%s", path.c_str());
  return {path, ""};
}

Question ReadQuestion(int32_t code, const void *arg) {
  Question q;
  q.code = code;
  if (code == QV_QUERY_FAX_ONLY) {
    q.channel = *static_cast<const int32_t *>(arg);
  } else if (code == QV_QUERY_FAX_FILE_NAME) {
    const auto *name = static_cast<const QV_FaxFileNameArg *>(arg);
    q.channel = name->channel;
    q.mode = name->mode;
    q.number.assign(name->caller, strnlen(name->caller, sizeof name->caller));
  } else if (code == QV_QUERY_CALLER_REJECTED) {
    q.number.assign(static_cast<const char *>(arg), strnlen(static_cast<const char *>(arg), 128));
  }
  return q;
}

PolicyAnswers::PolicyAnswers(Policy policy, Prompts prompts, FaxPool pool)
    : policy_(std::move(policy)), prompts_(std::move(prompts)), pool_(std::move(pool)) {}

IncomingMode PolicyAnswers::IncomingCall(int32_t trunk, QV_IncomingPlan *plan) const {
  const IncomingMode mode = policy_.ModeFor(trunk);
  plan->IncomingMode = static_cast<int32_t>(mode);
  plan->UserRingTimeout = policy_.user_ring_timeout_ms;
  plan->NumberEntryEnabled = policy_.number_entry ? 1 : 0;
  SetText(plan->GreetingFile, prompts_.Path(kGreeting));
  SetText(plan->NumberPromptFile, prompts_.Path(kNumberPrompt));
  SetText(plan->ClosingFile, prompts_.Path(kClosing));
  return mode;
}

PickUpAnswer PolicyAnswers::UserPickUp(int32_t station, QV_UserPickUpReply *reply) const {
  const auto it = signed_on_.find(station);
  const PickUpAnswer answer{policy_.sign_on_required, it != signed_on_.end() && it->second};
  reply->SignOnRequired = answer.required ? 1 : 0;
  reply->SignedOn = answer.signed_on ? 1 : 0;
  return answer;
}

bool PolicyAnswers::SignOn(int32_t station, const char *account, const char *pin, QV_CommandReply *reply) {
  const bool accepted = policy_.SignOnAccepted(account ? account : "", pin ? pin : "");
  reply->CommandAccepted = accepted ? 1 : 0;
  if (accepted) signed_on_[station] = true;
  return accepted;
}

bool PolicyAnswers::DialCheck(const char *digits, QV_DialCheckReply *reply) const {
  const bool blocked = policy_.DialBlocked(digits ? digits : "");
  reply->DialBlocked = blocked ? 1 : 0;
  if (blocked) SetText(reply->BlockedPromptFile, prompts_.Path(kBlocked));
  return blocked;
}

AnswerPrompts PolicyAnswers::IncomingAnswered(int32_t trunk, QV_AnswerReply *reply) const {
  if (!policy_.answer_prompts) return {};
  reply->PlayAnswerPrompts = 1;
  SetText(reply->UserPromptFile, prompts_.Path(kAnswerUser));
  SetText(reply->CallerPromptFile, prompts_.Path(kAnswerCaller));
  // The library fills in the account last signed on; "station" replaces it.
  if (policy_.announce == Announce::kStation) SetText(reply->AnnounceText, std::to_string(trunk + kTrunkUserStep));
  const size_t length = strnlen(reply->AnnounceText, sizeof reply->AnnounceText);
  reply->AnnounceChars = policy_.announce != Announce::kNone && length > 0 ? 1 : 0;
  return {true, reply->AnnounceChars ? std::string(reply->AnnounceText, length) : std::string()};
}

bool PolicyAnswers::TrunkConnected(QV_ConnectReply *reply) const {
  if (!policy_.answer_notice) return false;
  reply->PolarityPrompts = 1;
  SetText(reply->PolarityTrunkFile, prompts_.Path(kNotice));
  SetText(reply->PolarityUserFile, prompts_.Path(kNotice));
  return true;
}

QueryAnswer PolicyAnswers::Query(const Question &q, void *result, const FaxNamer &name_fax) {
  QueryAnswer answer;
  switch (q.code) {
    case QV_QUERY_FAX_ONLY:
      answer.yes = policy_.FaxOnly(q.channel);
      *static_cast<uint8_t *>(result) = answer.yes ? 1 : 0;
      break;
    case QV_QUERY_FAX_CHANNEL:
      answer.fax_channel = pool_.Lend();
      *static_cast<int32_t *>(result) = answer.fax_channel;
      break;
    case QV_QUERY_FAX_RX_PROMPT:
    case QV_QUERY_FAX_TX_PROMPT:
      answer.file = PutPath(result, prompts_.Path(q.code == QV_QUERY_FAX_RX_PROMPT ? kFaxRxPrompt : kFaxTxPrompt));
      break;
    case QV_QUERY_FAX_FILE_NAME:
      answer.file = PutPath(result, name_fax(q.channel, q.number));
      break;
    case QV_QUERY_CALLER_REJECTED:
      answer.yes = policy_.CallerRejected(q.number);
      *static_cast<uint8_t *>(result) = answer.yes ? 1 : 0;
      break;
    default:
      answer.answered = false;
      break;
  }
  return answer;
}

}  // namespace host_kit

// The request hand-off between the exports and a trunk's worker.
#include "callflow/requests.h"

#include <cstring>
#include <utility>

#include "callflow/procedure.h"
#include "channel/record_channel.h"
#include "driver/channel_type.h"
#include "threading/host_application.h"

namespace talo::callflow {
namespace {

using channel::RequestTicket;

constexpr uint32_t kWaitSliceMs = 5;

// Only a trunk worker runs the procedures that answer a request; anywhere
// else the export would wait until the host terminates.
bool ServesRequests(const TRecordChnl_VC &w) {
  return driver::WorkerKindOf(w.Id.ChannelType) == driver::WorkerKind::kTrunk &&
         !TRecordChnl_VC::HandlerRunningFor(&w);
}

// The work that owns the trunk once the loop has taken what is handed in.
int32_t WorkAhead(const TRecordChnl_VC &w) {
  return w.Requests.HandedIn != kWorkIdle ? w.Requests.HandedIn : w.Trunk.WorkState;
}

void TakeDialOut(TRecordChnl_VC &w, TrunkLoopState &s) {
  const int32_t work = w.Trunk.WorkState;
  if (work == kWorkCallIn || work == kWorkSoftDial) {
    Trace(w, "dial-out answered busy: the trunk took a call first");
    AnswerRequest(w.Requests.DialDone, kDialRefused);
    return;
  }
  w.Trunk.WorkState = kWorkSoftDial;
  w.Trunk.DialProgress = 0;
  // The procedure that owned the trunk ends here, so nothing of it is left
  // for its next call and nobody waits on it for ever.
  switch (work) {
    case kWorkUserPhone: AbandonUserPhone(w, s); break;
    case kWorkFaxIn: AbandonFaxReceive(w, s); break;
    case kWorkFaxOut: AbandonFaxSend(w, s); break;
    default: break;
  }
}

void TakeFaxSend(TRecordChnl_VC &w, TrunkLoopState &s) {
  if (w.Trunk.WorkState != kWorkIdle) {
    Trace(w, "fax send answered busy: the trunk took a call first");
    AnswerRequest(w.Requests.FaxDone, kFaxBusy);
    return;
  }
  w.Trunk.WorkState = kWorkFaxOut;
  s.FaxOutStep = 0;
}

}  // namespace

void AnswerRequest(std::shared_ptr<RequestTicket> &ticket, int32_t result) {
  if (auto t = std::exchange(ticket, nullptr)) t->Answer(result);
}

Submission SubmitDialOut(TRecordChnl_VC &w, const char *number, uint8_t dial_whole) {
  if (!number || *number == '\0') return {kDialRefused, nullptr};  // nothing to dial
  channel::Hold hold(w.Holder());
  if (!ServesRequests(w)) return {kDialRefused, nullptr};
  const int32_t ahead = WorkAhead(w);
  if (ahead == kWorkCallIn || ahead == kWorkSoftDial) return {kDialRefused, nullptr};
  // A fax send handed in but not taken yet never starts: it is overtaken.
  if (w.Requests.HandedIn == kWorkFaxOut) AnswerRequest(w.Requests.FaxDone, kFaxBusy);
  auto ticket = std::make_shared<RequestTicket>(kDialRefused);
  SetField(w.Requests.DialNumber, number);
  w.Requests.DialMode = dial_whole;
  w.Requests.DialDone = ticket;
  w.Requests.StopAsked = false;  // a stop meant for an earlier dial-out
  w.Requests.HandedIn = kWorkSoftDial;
  return {0, ticket};
}

Submission SubmitFaxSend(TRecordChnl_VC &w, const char *number, const char *file, bool file_exists,
                         int32_t option) {
  channel::Hold hold(w.Holder());
  if (!ServesRequests(w) || WorkAhead(w) != kWorkIdle) return {kFaxBusy, nullptr};
  // A path the field cannot hold whole would be cut into another file's name.
  if (!file || !file_exists || strnlen(file, sizeof w.Requests.FaxFile) == sizeof w.Requests.FaxFile)
    return {kFaxNoFile, nullptr};
  auto ticket = std::make_shared<RequestTicket>(kFaxNoWorker);
  SetField(w.Requests.FaxNumber, number ? number : "");
  SetField(w.Requests.FaxFile, file);
  w.Requests.FaxOption = option;
  w.Requests.FaxDone = ticket;
  w.Requests.HandedIn = kWorkFaxOut;
  return {0, ticket};
}

void StopDialOut(TRecordChnl_VC &w) {
  channel::Hold hold(w.Holder());
  if (w.Requests.HandedIn == kWorkSoftDial) {
    w.Requests.StopAsked = true;
    return;
  }
  if (w.Trunk.WorkState != kWorkSoftDial || DialStopUnderWay(w)) return;
  w.Requests.StopAsked = true;
}

int32_t AwaitAnswer(RequestTicket &ticket) {
  while (!ticket.Answered()) {
    if (threading::Terminated()) return ticket.Refusal();
    threading::ProcessMessages();
    ticket.WaitAnswered(kWaitSliceMs);
  }
  return ticket.Result();
}

void TakeRequests(TRecordChnl_VC &w, TrunkLoopState &s) {
  const int32_t asked = std::exchange(w.Requests.HandedIn, kWorkIdle);
  if (asked == kWorkSoftDial)
    TakeDialOut(w, s);
  else if (asked == kWorkFaxOut)
    TakeFaxSend(w, s);
  if (w.Requests.StopAsked && w.Trunk.WorkState == kWorkSoftDial) ApplyDialStop(w);
  w.Requests.StopAsked = false;
}

void RefuseRequests(TRecordChnl_VC &w) {
  channel::Hold hold(w.Holder());
  w.Requests.HandedIn = kWorkIdle;
  w.Requests.StopAsked = false;
  if (auto t = std::exchange(w.Requests.DialDone, nullptr)) t->Refuse();
  if (auto t = std::exchange(w.Requests.FaxDone, nullptr)) t->Refuse();
}

}  // namespace talo::callflow

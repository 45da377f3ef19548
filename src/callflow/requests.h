// The hand-off of dial-out and fax-send requests between the exports and a
// trunk's worker. An export hands its request in under one hold (the tests
// that decide busy or not and the writing of the request are never split),
// then waits on the request's ticket. The trunk loop takes a handed-in
// request at the top of a pass, before it looks for a new call, and is the
// only one to write WorkState. So a request the export accepted is either
// served or answered with a result code in bounded time:
//  - a dial-out handed in while the trunk then took an incoming call (or a
//    fax send while the trunk got busy) is answered busy at the take;
//  - a dial-out that takes over a fax send or a station's call ends that
//    procedure first, answering its waiting request;
//  - a worker that ends (deactivation, a terminating host) refuses what it
//    has not answered, and an export whose host terminates stops waiting with
//    its refusal code, never with a result it did not get.
#pragma once
#include <cstdint>
#include <memory>

#include "callflow/loop_state.h"
#include "channel/request_ticket.h"
#include "talo/talo.h"

namespace talo::channel {
class TRecordChnl_VC;
}

namespace talo::callflow {

// What QV_SoftDialOut answers.
enum DialOutResult : int32_t {
  kDialAnswered = 0,   // the station answered; the call goes on
  kDialBusyTone = 1,   // busy tone before dialling
  kDialNoAnswer = 3,   // the station did not answer within 30 s
  kDialStopped = 5,    // QV_StopSoftDialOut before the answer
  kDialRefused = QV_DIAL_BUSY_RESULT,
};

// What QV_SoftSendFax answers.
enum FaxSendRequestResult : int32_t {
  kFaxStarted = 0,        // a fax channel was obtained: the send has begun
  kFaxBadChannel = 1,     // channel out of range
  kFaxNoWorker = 2,       // no worker (or it ended before serving the request)
  kFaxBusy = 3,           // the trunk is busy, or is no trunk
  kFaxNoFaxChannel = 4,   // the host had no fax channel free
  kFaxNoFile = 5,         // the file does not exist, or its path does not fit the request
};

// OnFaxEnd's result for a send or a reception that a dial-out ended.
inline constexpr int32_t kFaxEndTakenOver = 4;

// An export's outcome: the code it returns at once, or the ticket it waits on.
struct Submission {
  int32_t Refusal = 0;
  std::shared_ptr<channel::RequestTicket> Ticket;  // null when refused
};

// Host thread. Refused (busy) when the worker runs no trunk loop, when the
// export runs inside a handler of this very worker's event (the worker waits
// for that handler, so it could never answer), for an empty number, and while
// an incoming call or another dial-out owns the trunk. Accepted otherwise: a
// dial-out may take over a fax send or a station's call.
Submission SubmitDialOut(channel::TRecordChnl_VC &w, const char *number, uint8_t dial_whole);
// Host thread. The tests run in the order busy, then file: a busy trunk is
// busy whether or not the file exists. `file_exists` is the existence test of
// the whole path, made by the caller before the hold.
Submission SubmitFaxSend(channel::TRecordChnl_VC &w, const char *number, const char *file, bool file_exists,
                         int32_t option);
// Host thread: asks the dial-out that is handed in or under way to stop; the
// loop applies it at its next pass (before the answer: the request ends with
// kDialStopped; after it: the trunk is released). Nothing when there is no
// dial-out or a stop is under way already.
void StopDialOut(channel::TRecordChnl_VC &w);
// Host thread: waits for the answer, dispatching this thread's messages in
// 5 ms slices so the request's events run meanwhile. A host that terminates
// ends the wait with the ticket's refusal.
int32_t AwaitAnswer(channel::RequestTicket &ticket);

// Worker thread, under the hold, at the top of every trunk pass: takes a
// handed-in request (or answers it busy), and applies a stop request.
void TakeRequests(channel::TRecordChnl_VC &w, TrunkLoopState &s);
// Worker thread, as the loop ends: every request not answered yet is refused.
void RefuseRequests(channel::TRecordChnl_VC &w);
// Answers a request once; the worker forgets the ticket.
void AnswerRequest(std::shared_ptr<channel::RequestTicket> &ticket, int32_t result);

}  // namespace talo::callflow

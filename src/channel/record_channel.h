// TRecordChnl_VC: the worker of one board channel and the home of all that
// the library knows about the channel.
//
// Threads that touch a worker:
//  - the worker thread runs Run() and owns the call state;
//  - the driver's callback thread appends to CaptureQueue;
//  - host threads calling exports change settings under the hold lock;
//  - the host's main thread (the constructing thread) runs the raise
//    operations and queries while the worker waits for them, and may then
//    write LineStatus and the reply records.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "channel/capture_pipeline.h"
#include "channel/hold_lock.h"
#include "channel/pass_pacing.h"
#include "channel/request_ticket.h"
#include "channel/worker_program.h"
#include "platform/event.h"
#include "platform/files.h"
#include "talo/talo.h"
#include "threading/thread_ex.h"

namespace talo::channel {

inline constexpr int kCallerTextSize = 128;

class TRecordChnl_VC : public threading::TThreadEx {
 public:
  // Host main thread (activation); the thread stays suspended until Resume.
  TRecordChnl_VC(int32_t channel, const QV_HostEvents &events);
  // A request nobody will serve any more gets its refusal.
  ~TRecordChnl_VC() override;

  // ---- identity and set-up
  struct Identity {
    const int32_t ChannelNo;               // constructor only
    const QV_HostEvents HostEvents;        // constructor only: the copy this worker raises from
    int32_t ChannelType = 0;               // activation, before Resume
    int32_t BoardChannels = INT32_MAX;     // activation, before Resume: the board's channel total
    uint32_t PassMs = kDefaultPassMs;      // activation, before Resume: the sleep before every loop pass
    std::atomic<int32_t> PairedChannel{0}; // written by an export without a hold
  } Id;

  // ---- line and call state, both loops (worker thread; the host thread
  // inside a raise, which may write LineStatus)
  struct CallState {
    int32_t LineStatus = 0;  // values in line_status.h
    char CallerNumber[kCallerTextSize] = {};
    const char CallerExtra[kCallerTextSize] = {};  // never written
  } Call;

  // ---- recording settings (exports, under the hold; the worker reads them each pass)
  struct RecordingSettings {
    int32_t RecMode = 0;
    int32_t SilenceTime = 0;
    int32_t SilenceLevel = 0;
    uint32_t FileLenLimit = 0;
    uint32_t RecordStartTick = 0;
    platform::RecordFile RecordFile;
  } Recording;

  // ---- capture (capture_pipeline.cpp)
  struct CaptureState {
    // Each half belongs to the driver from its arming until its callback.
    alignas(16) uint8_t CaptureBuffer[2 * kCaptureBytes] = {};
    TCaptureQueue CaptureQueue;  // its own mutex: callback thread appends, worker unlinks
  } Capture;

  // ---- the live monitor's encoder and store (capture_pipeline.cpp)
  struct MonitorState {
    // Worker thread only: the decode and carry area of the monitor encoder,
    // kSampleBufferSamples long. Made by the first conversion with a monitor
    // store attached and released by the first one without, so a channel
    // nobody listens to does not carry it.
    std::unique_ptr<int16_t[]> SampleBuffer;
    int32_t SampleCount = 0;  // worker thread only: pairs not yet encoded
    // The monitor thread's block store. Guarded by monitor_mutex_: set through
    // AttachMonitorStore / DetachMonitorStore only.
    MonitorBlock *MonitorBlocks = nullptr;
    int32_t *MonitorBlockCount = nullptr;
    platform::Event *MonitorEvent = nullptr;
  } Monitor;

  // ---- trunk and user call state (worker thread; the host thread inside a
  // raise, which fills the reply records)
  struct TrunkState {
    // PairedChannel as the current pass read it: a pass reads it once, so a
    // station rung in a step is the one stopped and reported in it.
    int32_t Paired = 0;
    int32_t WorkState = 0;            // which procedure owns the trunk; exports read it under the hold
    int32_t DialProgress = 0;         // the dial-out's step; exports read it under the hold
    int32_t TracedWorkState = 0;      // the WorkState last traced
    int32_t TracedDialProgress = 0;   // the DialProgress last traced
    QV_IncomingPlan IncomingPlan{};
    QV_UserPickUpReply UserPickUpReply{};
    QV_CommandReply CommandReply{};
    QV_DialCheckReply DialCheckReply{};
    QV_AnswerReply AnswerReply{};
    QV_ConnectReply ConnectReply{};
    std::string CommandField1;        // the account signed on with, for later dial checks
    std::string DialDigits;           // dial-out: the digits still to dial one by one
    int32_t FaxChannel = 0;
    std::string FaxSendFile;
    std::string FaxRecvFile;
    int32_t FaxSendResult = 0;        // the fax send's outcome, reported at its end
    uint32_t DialToneTick = 0;
    uint32_t UserRingTick = 0;
    const int32_t UserRingCount = 8;
  } Trunk;

  // ---- request hand-off (guarded by the hold). An export hands a request
  // in here and the trunk loop takes it at the top of its next pass, so only
  // the worker ever writes WorkState: no step can overwrite a request, and a
  // request the loop cannot take is answered busy there. Each request is
  // answered once through its ticket; the ticket is dropped once answered.
  struct RequestState {
    int32_t HandedIn = 0;      // the WorkState asked for (dial-out or fax send); 0: none waiting
    bool StopAsked = false;    // QV_StopSoftDialOut, applied at the top of the next pass
    char DialNumber[kCallerTextSize] = {};
    uint8_t DialMode = 0;
    std::shared_ptr<RequestTicket> DialDone;
    int32_t DialResult = 0;
    char FaxNumber[kCallerTextSize] = {};
    char FaxFile[256] = {};
    int32_t FaxOption = 0;
    std::shared_ptr<RequestTicket> FaxDone;
    int32_t FaxResult = 0;
  } Requests;

  // The lock that holds this worker still (see hold_lock.h).
  HoldLock &Holder() { return hold_; }

  // ---- raise operations (worker thread): each hands its event to the host's
  // main thread through the synchronizer and waits for the handler. Guarded
  // ones swallow the handler's failure; an unguarded one raises it again here.
  // The flags derive from LineStatus as it is when the handler runs.
  void RaiseOffHook();
  void RaiseUserOffHook();
  void RaiseUserAnswer();
  void RaiseHangUp();
  void RaiseUserHangUp();
  void RaiseRing();
  void RaiseRingStop();
  void RaiseUserRing();
  void RaiseUserRingStop();
  void RaiseCallerId();
  void RaiseSilence();
  void RaiseSound();
  void RaiseLineEmpty();
  void RaiseDtmf(const std::string &digits);
  void RaiseRecordLimit();
  void RaiseIncomingCall();
  void RaiseLeaveMessage();
  void RaiseLeaveMessageEnd();
  void RaiseUserPickUp();
  void RaiseSignOff();
  void RaiseSignOn(const std::string &field1, const std::string &field2);
  void RaiseDialCheck(const std::string &digits);
  void RaiseIncomingAnswered();
  void RaiseTrunkConnected();
  void RaiseFaxSendStart();
  void RaiseFaxRecvStart();
  void RaiseFaxSendEnd(int32_t outcome);
  void RaiseFaxRecvEnd(int32_t outcome);

  // Host thread: whether one of `worker`'s events (or any worker's) is being
  // handled on this thread now. That worker waits for the handler, so an
  // export that would wait for the worker in turn can never finish.
  static bool HandlerRunningFor(const TRecordChnl_VC *worker);
  static bool AnyHandlerRunning();

  // ---- queries (worker thread)
  bool GetChFaxOnly(int32_t channel);
  int32_t GetFaxChannel();
  std::string GetFaxRxPrompt();
  std::string GetFaxTxPrompt();
  std::string GetFaxFileName(int32_t channel, int32_t mode, const std::string &caller);
  bool IsCallerRejected(const std::string &number);

  // ---- the program: given by activation before Resume; Run runs it. A
  // worker without one ends at once.
  void SetProgram(std::unique_ptr<WorkerProgram> program) { program_ = std::move(program); }
  WorkerProgram *Program() const { return program_.get(); }
  // Worker thread: false once the worker is asked to stop or the host terminates.
  bool ShouldRun() const;
  // Worker thread, under the hold: raises OnRecordLimit once the open
  // recording has lasted FileLenLimit.
  void CheckRecordLimit();

  // ---- capture pipeline (capture_pipeline.cpp)
  // The driver's record-buffer callback; `context` is the worker. Runs on a
  // driver thread and lets no failure escape.
  static void RecordBufferCallback(int32_t ch, int32_t unused, void *buffer, int32_t last,
                                   void *context) noexcept;
  // Worker thread, at loop start: arms the lower, then the upper half.
  void ArmCapture();
  // Worker thread, each pass: says in the trace when the driver has sent no
  // buffer for kSilentCaptureMs, and when it sends again.
  void WatchCapture();
  static constexpr uint32_t kSilentCaptureMs = 10000;
  // Driver thread: queues a copy of a full buffer; false once the worker is
  // stopping or the host terminating (the buffer is then not re-armed).
  bool EnqueueCapture(const void *buffer);
  // Worker thread: writes one captured buffer to the record file (under the
  // hold) and, while a monitor store is attached, fills it with the buffer's
  // MonitorBlocks. Failures of the monitor part are dropped.
  void ConvertCapture(const uint8_t *captured);
  // Worker thread: decodes `captured` and appends every whole MonitorBlock
  // that the carried and new samples make up; carries the rest.
  void EncodeMonitorBlocks(const uint8_t *captured, TMyBufGSMType &blocks);
  // Worker thread: converts and releases every queued buffer; returns how many.
  int DrainCaptureQueue();
  // An export holding the worker, before it closes or switches the record
  // file, and deactivation after the join: the buffers the driver delivered
  // before belong to the file being closed, so they are written to it first.
  int FlushCaptureUnderHold();
  // Worker thread: converts and releases the head buffer, if any.
  bool DrainOneCapture();
  // Monitor exports: after DetachMonitorStore returns, no conversion touches
  // the old store. `blocks` holds kMonitorStoreBlocks blocks.
  void AttachMonitorStore(MonitorBlock *blocks, int32_t *count, platform::Event *event);
  void DetachMonitorStore();
  // Monitor thread: hold this while reading the store, so that it never sees
  // a half-written one.
  std::unique_lock<std::mutex> LockMonitorStore() { return std::unique_lock(monitor_mutex_); }

  // Worker thread, without the hold: the sleep at the top of a pass of either
  // loop. One longer than the default ends at a stop request, so deactivation
  // need not sit it out, and when the driver delivers a buffer, so audio does
  // not wait for the interval (the timing rules count ticks, not passes).
  void PassSleep();

 protected:
  void Run() override;
  void OnWaitBegin() override;
  void OnWaitEnd() override;

 private:
  // Runs `body` on the owner thread while this thread waits; a failure of
  // the body is raised again here.
  template <typename F>
  void OnHost(F &&body) {
    pending_body_ = &body;
    pending_call_ = [](void *b) { (*static_cast<std::remove_reference_t<F> *>(b))(); };
    Synchronize(threading::SyncCall{&RaiseTrampoline, this});
  }
  static void RaiseTrampoline(void *self);
  // The host's answer to a question, through OnQuery (unguarded).
  void Query(int32_t code, void *arg, void *result);
  // Sleeps the block pacing with the hold let go, so exports need not wait for it.
  void BlockPause();

  template <typename Fn>
  Fn Handler(int slot) const {
    return reinterpret_cast<Fn>(Id.HostEvents.slots[slot].code);
  }
  void *Context(int slot) const { return Id.HostEvents.slots[slot].context; }

  HoldLock hold_;
  std::unique_ptr<WorkerProgram> program_;  // set before Resume, run by the worker thread
  std::atomic<uint32_t> last_capture_tick_{0};  // driver thread and ArmCapture; read by the worker
  bool capture_silent_ = false;                  // worker thread: the silence was said in the trace
  std::atomic<uint32_t> dropped_buffers_{0};  // driver thread: buffers dropped over the backlog limit
  // Worker thread, read by the owner during the send: the body OnHost runs.
  void *pending_body_ = nullptr;
  void (*pending_call_)(void *) = nullptr;
  int released_depth_ = 0;           // worker thread: hold levels let go in a wait
  std::mutex monitor_mutex_;         // guards MonitorBlocks, MonitorBlockCount, MonitorEvent and the store
};

}  // namespace talo::channel

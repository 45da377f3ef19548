// Soft dial-out and fax send requests: the exports hand the request to the
// trunk's worker and wait, dispatching the host's messages, until the worker
// stores the first result and signals the request's event.
#include <memory>
#include <string>

#include "callflow/loop_state.h"
#include "callflow/procedure.h"
#include "driver/channel_type.h"
#include "host/export_guard.h"
#include "host/table_guard.h"
#include "threading/host_application.h"
#include "host/library.h"
#include "platform/files.h"
#include "talo/talo.h"

using talo::channel::Hold;
using talo::channel::TRecordChnl_VC;

namespace {

constexpr uint32_t kWaitSliceMs = 5;

enum FaxRefusal : int32_t { kFaxNoChannel = 1, kFaxNoWorker = 2, kFaxBusy = 3, kFaxNoFile = 5 };

// Only a trunk worker runs the procedures that answer a request; anywhere
// else the export would wait until the host terminates. Nor can a worker
// serve a request made from inside one of its own event handlers: it waits
// for that handler to return.
bool ServesRequests(const TRecordChnl_VC &w) {
  return talo::driver::WorkerKindOf(w.Id.ChannelType) == talo::driver::WorkerKind::kTrunk &&
         !TRecordChnl_VC::HandlerRunningFor(&w);
}

// Waits for the worker's result, dispatching this thread's messages in 5 ms
// slices. Ends when the event is signalled, the host terminates, or the
// worker is gone (deactivated by a handler that ran meanwhile). Then makes
// sure the worker can no longer reach the event: it belongs to this export.
int32_t AwaitResult(int32_t ch, TRecordChnl_VC *worker, talo::platform::Event &done,
                    talo::platform::Event *&event_field, const int32_t &result_field) {
  for (;;) {
    if (talo::threading::Terminated()) break;
    talo::threading::ProcessMessages();
    if (talo::host::WorkerFor(ch) != worker) return 0;  // the worker and its result are gone
    const auto waited = done.Wait(kWaitSliceMs);
    if (waited != talo::platform::WaitResult::TimedOut) break;
  }
  Hold hold(worker->Holder());
  event_field = nullptr;
  return result_field;
}

}  // namespace

extern "C" {

TALO_EXPORT int32_t QV_SoftDialOut(int32_t ch, const char *number, uint8_t dialWhole) {
  return talo::host::TableExport<int32_t>(QV_DIAL_BUSY_RESULT, [&]() -> int32_t {
    TRecordChnl_VC *worker = talo::host::WorkerFor(ch);
    if (!worker || !ServesRequests(*worker)) return QV_DIAL_BUSY_RESULT;
    if (!number || *number == '\0') return QV_DIAL_BUSY_RESULT;  // nothing to dial
    {
      Hold hold(worker->Holder());
      if (worker->Trunk.WorkState == talo::callflow::kWorkCallIn ||
          worker->Trunk.WorkState == talo::callflow::kWorkSoftDial)
        return QV_DIAL_BUSY_RESULT;
    }
    auto done = std::make_unique<talo::platform::Event>(/*manual_reset=*/false, false);
    {
      Hold hold(worker->Holder());
      worker->Trunk.WorkState = talo::callflow::kWorkSoftDial;
      worker->Requests.PendingDialStop = 0;  // a stop meant for an earlier dial-out
      talo::callflow::SetField(worker->Requests.DialNumber, number);
      worker->Requests.DialMode = dialWhole;
      worker->Requests.DialDoneEvent = done.get();
      done->Reset();
    }
    return AwaitResult(ch, worker, *done, worker->Requests.DialDoneEvent, worker->Requests.DialResult);
  });
}

TALO_EXPORT void QV_StopSoftDialOut(int32_t ch) {
  talo::host::TableExportVoid([&] {
    TRecordChnl_VC *worker = talo::host::WorkerFor(ch);
    if (!worker) return;
    Hold hold(worker->Holder());
    if (worker->Trunk.WorkState != talo::callflow::kWorkSoftDial) return;
    const int32_t progress = worker->Trunk.DialProgress;
    if (progress == -21 || progress == -20) return;  // a stop is under way
    const int32_t stop = progress == 9 ? -20 : -10;
    worker->Trunk.DialProgress = stop;
    worker->Requests.PendingDialStop = stop;
  });
}

TALO_EXPORT int32_t QV_SoftSendFax(int32_t ch, const char *number, const char *file,
                                   int32_t option) {
  return talo::host::TableExport<int32_t>(kFaxNoWorker, [&]() -> int32_t {
    auto &table = talo::host::Library().ChannelTable;
    if (ch < 0 || static_cast<size_t>(ch) >= table.size()) return kFaxNoChannel;
    TRecordChnl_VC *worker = table[static_cast<size_t>(ch)].get();
    if (!worker) return kFaxNoWorker;
    {
      Hold hold(worker->Holder());
      if (worker->Trunk.WorkState != talo::callflow::kWorkIdle || !ServesRequests(*worker)) return kFaxBusy;
    }
    // The whole path is tested, before it is cut to the field.
    if (!file || !talo::platform::FileExists(talo::platform::NormalizePath(file))) return kFaxNoFile;
    auto done = std::make_unique<talo::platform::Event>(/*manual_reset=*/false, false);
    {
      Hold hold(worker->Holder());
      worker->Trunk.WorkState = talo::callflow::kWorkFaxOut;
      talo::callflow::SetField(worker->Requests.FaxNumber, number ? number : "");
      talo::callflow::SetField(worker->Requests.FaxFile, file);
      worker->Requests.FaxOption = option;
      worker->Requests.FaxDoneEvent = done.get();
      done->Reset();
    }
    return AwaitResult(ch, worker, *done, worker->Requests.FaxDoneEvent, worker->Requests.FaxResult);
  });
}

}  // extern "C"

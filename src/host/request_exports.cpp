// Soft dial-out and fax send requests: thin shims over the hand-off, which
// hands the request to the trunk's worker and waits for its answer.
#include "callflow/requests.h"
#include "host/table_guard.h"
#include "host/library.h"
#include "platform/files.h"
#include "talo/talo.h"

using talo::channel::TRecordChnl_VC;

namespace {

// Waits outside the table guard's reader: handlers that run meanwhile may
// deactivate, and the request's ticket is answered either way.
int32_t Await(const talo::callflow::Submission &submitted) {
  return submitted.Ticket ? talo::callflow::AwaitAnswer(*submitted.Ticket) : submitted.Refusal;
}

}  // namespace

extern "C" {

TALO_EXPORT int32_t QV_SoftDialOut(int32_t ch, const char *number, uint8_t dialWhole) {
  using talo::callflow::kDialRefused;
  talo::callflow::Submission submitted{kDialRefused, nullptr};
  const int32_t refused = talo::host::TableExport<int32_t>(kDialRefused, [&]() -> int32_t {
    TRecordChnl_VC *worker = talo::host::WorkerFor(ch);
    if (!worker) return kDialRefused;
    submitted = talo::callflow::SubmitDialOut(*worker, number, dialWhole);
    return submitted.Refusal;
  });
  if (!submitted.Ticket) return refused;
  return talo::host::ExportGuard<int32_t>(kDialRefused, [&] { return Await(submitted); });
}

TALO_EXPORT void QV_StopSoftDialOut(int32_t ch) {
  talo::host::TableExportVoid([&] {
    if (TRecordChnl_VC *worker = talo::host::WorkerFor(ch)) talo::callflow::StopDialOut(*worker);
  });
}

TALO_EXPORT int32_t QV_SoftSendFax(int32_t ch, const char *number, const char *file, int32_t option) {
  using namespace talo::callflow;
  Submission submitted{kFaxNoWorker, nullptr};
  const int32_t refused = talo::host::TableExport<int32_t>(kFaxNoWorker, [&]() -> int32_t {
    auto &table = talo::host::Library().ChannelTable;
    if (ch < 0 || static_cast<size_t>(ch) >= table.size()) return kFaxBadChannel;
    TRecordChnl_VC *worker = table[static_cast<size_t>(ch)].get();
    if (!worker) return kFaxNoWorker;
    // The whole path is tested, before the hold.
    const bool exists = file && talo::platform::FileExists(talo::platform::NormalizePath(file));
    submitted = SubmitFaxSend(*worker, number, file, exists, option);
    return submitted.Refusal;
  });
  if (!submitted.Ticket) return refused;
  return talo::host::ExportGuard<int32_t>(kFaxNoWorker, [&] { return Await(submitted); });
}

}  // extern "C"

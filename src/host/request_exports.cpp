// Soft dial-out and fax send requests: thin shims over the hand-off, which
// hands the request to the trunk's worker and waits for its answer.
#include "callflow/requests.h"
#include "host/table_guard.h"
#include "host/library.h"
#include "platform/files.h"
#include "talo/talo.h"

using talo::channel::TRecordChnl_VC;

namespace {

using talo::callflow::Submission;

// A request export: `submit` hands the request in (or refuses it) while the
// tables may be reached; the wait runs outside the table guard's reader, as
// handlers that run meanwhile may deactivate, and the request's ticket is
// answered either way.
template <typename Submit>
int32_t RequestExport(int32_t refusal, Submit &&submit) {
  Submission submitted{refusal, nullptr};
  const int32_t refused = talo::host::TableExport<int32_t>(refusal, [&]() -> int32_t {
    submitted = submit();
    return submitted.Refusal;
  });
  if (!submitted.Ticket) return refused;
  return talo::host::ExportGuard<int32_t>(refusal, [&] { return talo::callflow::AwaitAnswer(*submitted.Ticket); });
}

}  // namespace

extern "C" {

TALO_EXPORT int32_t QV_SoftDialOut(int32_t ch, const char *number, uint8_t dialWhole) {
  using talo::callflow::kDialRefused;
  return RequestExport(kDialRefused, [&]() -> Submission {
    TRecordChnl_VC *worker = talo::host::WorkerFor(ch);
    if (!worker) return {kDialRefused, nullptr};
    return talo::callflow::SubmitDialOut(*worker, number, dialWhole);
  });
}

TALO_EXPORT void QV_StopSoftDialOut(int32_t ch) {
  talo::host::TableExportVoid([&] {
    if (TRecordChnl_VC *worker = talo::host::WorkerFor(ch)) talo::callflow::StopDialOut(*worker);
  });
}

TALO_EXPORT int32_t QV_SoftSendFax(int32_t ch, const char *number, const char *file, int32_t option) {
  using namespace talo::callflow;
  return RequestExport(kFaxNoWorker, [&]() -> Submission {
    auto &table = talo::host::Library().ChannelTable;
    if (ch < 0 || static_cast<size_t>(ch) >= table.size()) return {kFaxBadChannel, nullptr};
    TRecordChnl_VC *worker = table[static_cast<size_t>(ch)].get();
    if (!worker) return {kFaxNoWorker, nullptr};
    // The whole path is tested, before the hold.
    const bool exists = file && talo::platform::FileExists(talo::platform::NormalizePath(file));
    return SubmitFaxSend(*worker, number, file, exists, option);
  });
}

}  // extern "C"

// The channel and monitor tables are made and freed by QV_SetActive. The
// exports belong to the thread that activated the library; one called on
// another thread while QV_SetActive runs would reach freed workers. These
// guards turn that race into a refusal.
#pragma once
#include <chrono>

#include "host/export_guard.h"

namespace talo::host {

// Held by QV_SetActive across the whole activation or deactivation. It waits
// up to kTableWriterWait for exports still running on other threads and is
// not had when that runs out, or inside a handler run while this thread
// already activates or deactivates.
class TableWriter {
 public:
  static constexpr std::chrono::seconds kTableWriterWait{5};
  TableWriter();
  ~TableWriter();
  TableWriter(const TableWriter &) = delete;
  TableWriter &operator=(const TableWriter &) = delete;
  bool Held() const { return held_; }

 private:
  bool held_ = false;  // constant after construction
};

// Held by an export for as long as it works on the tables. Granted at once on
// the thread that holds the writer (handlers run while it pumps) and inside
// another reader on the same thread; elsewhere only while no activation or
// deactivation runs. It never waits: a listener's or another thread's export
// that waited here could hold up the deactivation that waits for it.
class TableReader {
 public:
  TableReader();
  ~TableReader();
  TableReader(const TableReader &) = delete;
  TableReader &operator=(const TableReader &) = delete;
  bool Granted() const { return granted_; }

 private:
  bool granted_ = false;  // constant after construction
  bool locked_ = false;   // constant after construction: this reader took the lock
};

// ExportGuard for an export that reaches the tables: `refusal` when the
// tables may not be reached from here now.
template <typename R, typename F>
R TableExport(R refusal, F &&body) noexcept {
  return ExportGuard<R>(refusal, [&]() -> R {
    TableReader reader;
    if (!reader.Granted()) {
      platform::DebugTrace(-1, "export refused: QV_SetActive is running on another thread");
      return refusal;
    }
    return body();
  });
}

template <typename F>
void TableExportVoid(F &&body) noexcept {
  ExportGuardVoid([&] {
    TableReader reader;
    if (!reader.Granted()) {
      platform::DebugTrace(-1, "export refused: QV_SetActive is running on another thread");
      return;
    }
    body();
  });
}

}  // namespace talo::host

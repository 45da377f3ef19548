#include "host/table_guard.h"

#include <condition_variable>
#include <mutex>

namespace talo::host {
namespace {

// A reader-writer lock that knows its own thread's readers: a handler run
// inside a blocking export (a dial-out pumping the host's messages) may still
// deactivate, as the requests expect, since the only reader it would wait for
// is its own thread's.
std::mutex g_mutex;
std::condition_variable g_changed;
int g_readers = 0;       // guarded by g_mutex: outermost readers of every thread
bool g_writing = false;  // guarded by g_mutex

// Per thread, trivially destructible, so no thread-exit destructor pins the
// library in memory.
thread_local int t_writer_depth = 0;
thread_local int t_reader_depth = 0;

}  // namespace

TableWriter::TableWriter() {
  if (t_writer_depth > 0) return;  // a handler run while this thread switches
  const int own = t_reader_depth > 0 ? 1 : 0;
  std::unique_lock lock(g_mutex);
  held_ = g_changed.wait_for(lock, kTableWriterWait, [&] { return !g_writing && g_readers == own; });
  if (!held_) return;
  g_writing = true;
  ++t_writer_depth;
}

TableWriter::~TableWriter() {
  if (!held_) return;
  --t_writer_depth;
  {
    std::lock_guard lock(g_mutex);
    g_writing = false;
  }
  g_changed.notify_all();
}

TableReader::TableReader() {
  if (t_writer_depth > 0 || t_reader_depth > 0) {
    granted_ = true;
  } else {
    std::lock_guard lock(g_mutex);
    if (!g_writing) {
      ++g_readers;
      locked_ = granted_ = true;
    }
  }
  if (granted_) ++t_reader_depth;
}

TableReader::~TableReader() {
  if (!granted_) return;
  --t_reader_depth;
  if (!locked_) return;
  {
    std::lock_guard lock(g_mutex);
    --g_readers;
  }
  g_changed.notify_all();
}

}  // namespace talo::host

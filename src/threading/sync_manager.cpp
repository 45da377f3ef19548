#include "threading/sync_manager.h"

#include "threading/assertion.h"
#include "threading/thread_synchronizer.h"

namespace talo::threading {
namespace {

void SyncReleaseProc(void *record) {
  TclSynchronizerManager::Instance().DropUser(static_cast<TclSyncInfo *>(record));
}

}  // namespace

TclSynchronizerManager &TclSynchronizerManager::Instance() {
  static TclSynchronizerManager manager;
  return manager;
}

TclSynchronizerManager::~TclSynchronizerManager() {
  std::lock_guard lock(lock_);
  while (!records_.empty()) {
    TclSyncInfo *last = records_.back().get();
    DestroyRecord(last);
    // A record without a window stays in DestroyRecord; drop it with the list.
    if (!records_.empty() && records_.back().get() == last) records_.pop_back();
  }
}

TclSyncInfo *TclSynchronizerManager::FindRecord(uint32_t thread_id) {
  for (auto &record : records_)
    if (record->OwnerThreadId == thread_id) return record.get();
  return nullptr;
}

TclSyncInfo *TclSynchronizerManager::RequireRecord(uint32_t thread_id) {
  TclSyncInfo *record = FindRecord(thread_id);
  if (!record)
    throw AssertionFailed("Cannot find SyncInfo for the specified thread synchronizer", "ThreadEx",
                          237);
  return record;
}

void TclSynchronizerManager::DestroyRecord(TclSyncInfo *record) {
  if (!record->Window) return;  // a record without a window is left in place
  record->Window.reset();
  records_.remove_if([record](const auto &r) { return r.get() == record; });
}

void TclSynchronizerManager::AttachSynchronizer(TclThreadSynchronizer *synchronizer) {
  std::lock_guard lock(lock_);
  TclSyncInfo *record = FindRecord(synchronizer->OwnerThreadId());
  if (!record) {
    auto fresh = std::make_unique<TclSyncInfo>();
    fresh->OwnerThreadId = synchronizer->OwnerThreadId();
    record = fresh.get();
    records_.push_back(std::move(fresh));
  }
  // A window that refuses calls belongs to an ended thread whose id is now
  // reused, or was released at unload: this thread's own queue takes its
  // place, or every call for it would be lost.
  if (record->UserCount == 0 || !record->Window || record->Window->Refused())
    record->Window = platform::MessageQueue::ForCurrentThread();
  ++record->UserCount;
}

void TclSynchronizerManager::DetachSynchronizer(TclThreadSynchronizer *synchronizer) {
  std::lock_guard lock(lock_);
  TclSyncInfo *record = RequireRecord(synchronizer->OwnerThreadId());
  if (record->Window) record->Window->Post(&SyncReleaseProc, record);
}

void TclSynchronizerManager::DropUser(TclSyncInfo *record) {
  std::lock_guard lock(lock_);
  if (--record->UserCount == 0) DestroyRecord(record);
}

std::shared_ptr<platform::MessageQueue> TclSynchronizerManager::RequireWindow(uint32_t thread_id) {
  std::lock_guard lock(lock_);
  return RequireRecord(thread_id)->Window;
}

size_t TclSynchronizerManager::RecordCount() {
  std::lock_guard lock(lock_);
  return records_.size();
}

int32_t TclSynchronizerManager::UserCountOf(uint32_t thread_id) {
  std::lock_guard lock(lock_);
  TclSyncInfo *record = FindRecord(thread_id);
  return record ? record->UserCount : -1;
}

bool TclSynchronizerManager::HasWindow(uint32_t thread_id) {
  std::lock_guard lock(lock_);
  TclSyncInfo *record = FindRecord(thread_id);
  return record && record->Window;
}

}  // namespace talo::threading

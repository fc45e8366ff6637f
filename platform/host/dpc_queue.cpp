// The host kernel's DPC queue and its worker. A DPC is queued at most once:
// inserting one that is already queued changes nothing, so a burst of
// requests for the same deferred work costs one run. One worker thread runs
// the routines one at a time, in the order they were queued, at dispatch
// level, as one processor would.
#include <string>

#include "platform/host/host_kernel.h"
#include "platform/host/host_objects.h"

namespace velto::platform {

bool HostKernel::insert_queue_dpc(KDPC& dpc, void* arg1, void* arg2) {
  // Context: any level. Locks: takes dpc_mutex_. Blocks: never.
  if (dpc.DeferredRoutine == nullptr)
    fail(std::string("queued a DPC with no routine: ") + dpc.name);
  {
    std::lock_guard guard(dpc_mutex_);
    if (dpc.inserted) return false;
    dpc.inserted = true;
    dpc.SystemArgument1 = arg1;
    dpc.SystemArgument2 = arg2;
    dpc.next_queued = nullptr;
    if (dpc_tail_ == nullptr) {
      dpc_head_ = &dpc;
    } else {
      dpc_tail_->next_queued = &dpc;
    }
    dpc_tail_ = &dpc;
  }
  dpc_cv_.notify_one();
  return true;
}

bool HostKernel::remove_queue_dpc(KDPC& dpc) {
  // Context: any level. Locks: takes dpc_mutex_. Blocks: never.
  std::lock_guard guard(dpc_mutex_);
  if (!dpc.inserted) return false;
  KDPC* previous = nullptr;
  KDPC* entry = dpc_head_;
  while (entry != nullptr && entry != &dpc) {
    previous = entry;
    entry = entry->next_queued;
  }
  if (entry == nullptr) fail(std::string("a DPC marked queued is not on the queue: ") + dpc.name);
  if (previous == nullptr) {
    dpc_head_ = dpc.next_queued;
  } else {
    previous->next_queued = dpc.next_queued;
  }
  if (dpc_tail_ == &dpc) dpc_tail_ = previous;
  dpc.next_queued = nullptr;
  dpc.inserted = false;
  return true;
}

namespace {

// A flush queues one of these behind everything queued so far and waits for
// it to run.
struct FlushFence {
  Kernel* kernel = nullptr;
  KEVENT passed;
  KDPC dpc;
};

void pass_fence(KDPC*, void* context, void*, void*) {
  auto* fence = static_cast<FlushFence*>(context);
  fence->kernel->set_event(fence->passed, IO_NO_INCREMENT);
}

}  // namespace

void HostKernel::flush_queued_dpcs() {
  // Context: passive. Locks: takes dpc_mutex_, then dispatcher_mutex_.
  // Blocks: until the DPCs queued before the call, and the routine running
  // now, have finished. DPCs run one at a time in queue order, so once the
  // fence has run, so has everything ahead of it.
  check_may_wait("flush_queued_dpcs", "the DPC queue", std::nullopt);
  FlushFence fence;
  fence.kernel = this;
  initialize_event(fence.passed, EVENT_TYPE::NotificationEvent, false, "DPC flush");
  initialize_dpc(fence.dpc, pass_fence, &fence, "DPC flush fence");
  {
    std::lock_guard guard(dpc_mutex_);
    // The worker is gone at shutdown; there is nothing left to wait for.
    if (dpc_stopping_) return;
  }
  if (!insert_queue_dpc(fence.dpc, nullptr, nullptr))
    fail("a fresh flush fence was already queued");
  if (wait_for_single_object(fence.passed, std::nullopt) != STATUS_SUCCESS) {
    fail("flush_queued_dpcs: an endless wait ended without the fence");
  }
}

void HostKernel::run_dpc_worker() {
  // Context: the DPC worker thread. Locks: takes dpc_mutex_, dropped while a
  // routine runs. Blocks: while the queue is empty.
  std::unique_lock lock(dpc_mutex_);
  for (;;) {
    dpc_cv_.wait(lock, [this] { return dpc_stopping_ || dpc_head_ != nullptr; });
    if (dpc_stopping_) return;
    KDPC* dpc = dpc_head_;
    dpc_head_ = dpc->next_queued;
    if (dpc_head_ == nullptr) dpc_tail_ = nullptr;
    dpc->next_queued = nullptr;
    // Cleared before the routine runs, so that the routine, or anyone else,
    // may queue it again for another run.
    dpc->inserted = false;
    void* arg1 = dpc->SystemArgument1;
    void* arg2 = dpc->SystemArgument2;
    lock.unlock();
    run_dpc(dpc, arg1, arg2);
    lock.lock();
  }
}

void HostKernel::run_dpc(KDPC* dpc, void* arg1, void* arg2) {
  // Context: the DPC worker thread, at dispatch level. Locks: none on entry
  // or exit. Blocks: never (the routine must not wait).
  HostThreadContext& self = this_thread_context();
  const char* name = dpc->name;  // the routine may free its DPC
  self.irql = KIRQL::DISPATCH_LEVEL;
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, arg1, arg2);
  if (self.held_count != 0) {
    fail(std::string("DPC ") + name + " returned holding " + self.held[self.held_count - 1]->name);
  }
  if (self.irql != KIRQL::DISPATCH_LEVEL) {
    fail(std::string("DPC ") + name + " returned at another interrupt request level");
  }
  self.irql = KIRQL::PASSIVE_LEVEL;
}

void HostKernel::stop_dpc_worker() {
  // Context: passive, from the destructor. Locks: takes dpc_mutex_. Blocks:
  // until the routine running now, if any, returns.
  {
    std::lock_guard guard(dpc_mutex_);
    dpc_stopping_ = true;
    // DPCs still queued are dropped without touching them: the drivers that
    // queued them are gone, and their memory may be too.
    dpc_head_ = nullptr;
    dpc_tail_ = nullptr;
  }
  dpc_cv_.notify_one();
  if (dpc_worker_.joinable()) dpc_worker_.join();
}

}  // namespace velto::platform

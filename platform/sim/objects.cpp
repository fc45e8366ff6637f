// The simulation kernel's synchronisation objects and services: spin locks
// with the lock-order check, events, DPCs and the DPC worker, timers, threads,
// time, and pool memory with fault injection. Each operation is a scheduling
// point, so the seed decides where threads interleave.
#include <cstring>

#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_thread.h"

namespace velto::platform::sim {

namespace {
size_t rank(LockClass c) {
  return static_cast<size_t>(c);
}
}  // namespace

// --- time -------------------------------------------------------------------------

int64_t SimKernel::query_system_time() {
  Lock lock(mutex_);
  schedule_point(lock, self_locked("query_system_time"));
  return now_100ns_;
}

NTSTATUS SimKernel::delay_execution_thread(int64_t interval_100ns) {
  Lock lock(mutex_);
  SimThread* self = self_locked("delay_execution_thread");
  require_can_wait_locked(self, "delay");
  if (interval_100ns == 0) {
    schedule_point(lock, self);
    return STATUS_SUCCESS;
  }
  return block_locked(lock, self, WaitKind::kDelay, nullptr, "delay",
                      absolute_due_locked(interval_100ns));
}

// A busy wait lets other processors run but does not move this one's clock:
// virtual time only jumps when nothing can run.
void SimKernel::stall_execution_processor(uint32_t) {
  Lock lock(mutex_);
  schedule_point(lock, self_locked("stall_execution_processor"));
}

// --- spin locks and the lock order ---------------------------------------------------

void SimKernel::check_lock_order_locked(SimThread* self, const KSPIN_LOCK& lock) {
  for (const KSPIN_LOCK* held : self->held) {
    if (held == &lock) fail_locked(self->name + " takes " + lock.name + " twice");
    const LockClass from = held->lock_class;
    const LockClass to = lock.lock_class;
    if (from == LockClass::kUnclassified || to == LockClass::kUnclassified) continue;
    if (from == to) fail_locked(self->name + " nests two locks of one class: " + lock.name);
    if (to == LockClass::kPortLock) {
      fail_locked(std::string("lock order: ") + self->name + " takes " + lock.name +
                  " while holding " + held->name + " (PortLock must come first)");
    }
    if (lock_edges_[rank(to)][rank(from)]) {
      fail_locked(std::string("lock order: ") + self->name + " takes " + lock.name +
                  " while holding " + held->name + ", the reverse of an earlier order");
    }
    lock_edges_[rank(from)][rank(to)] = true;
  }
}

KIRQL SimKernel::acquire_spin_lock(KSPIN_LOCK& lock) {
  Lock guard(mutex_);
  SimThread* self = self_locked("acquire_spin_lock");
  schedule_point(guard, self);
  check_lock_order_locked(self, lock);
  while (lock.state.load(std::memory_order_relaxed) != 0) {
    (void)block_locked(guard, self, WaitKind::kSpinLock, &lock, lock.name, std::nullopt);
  }
  lock.state.store(1, std::memory_order_relaxed);
  self->held.push_back(&lock);
  const KIRQL old = self->irql;
  self->irql = KIRQL::DISPATCH_LEVEL;
  return old;
}

void SimKernel::release_spin_lock(KSPIN_LOCK& lock, KIRQL old_irql) {
  Lock guard(mutex_);
  SimThread* self = self_locked("release_spin_lock");
  auto it = std::find(self->held.begin(), self->held.end(), &lock);
  if (it == self->held.end())
    fail_locked(self->name + " releases " + lock.name + " it does not hold");
  self->held.erase(it);
  lock.state.store(0, std::memory_order_relaxed);
  self->irql = old_irql;
  wake_waiters_locked(WaitKind::kSpinLock, &lock, true, STATUS_SUCCESS);
  schedule_point(guard, self);
}

KIRQL SimKernel::acquire_cancel_spin_lock() {
  return acquire_spin_lock(cancel_lock_);
}

void SimKernel::release_cancel_spin_lock(KIRQL old_irql) {
  release_spin_lock(cancel_lock_, old_irql);
}

KIRQL SimKernel::current_irql() {
  Lock lock(mutex_);
  return self_locked("current_irql")->irql;
}

int32_t SimKernel::interlocked_exchange(std::atomic<int32_t>& target, int32_t value) {
  Lock lock(mutex_);
  schedule_point(lock, self_locked("interlocked_exchange"));
  return target.exchange(value);
}

// --- events -----------------------------------------------------------------------

bool SimKernel::set_event(KEVENT& event, int8_t) {
  Lock lock(mutex_);
  SimThread* self = self_locked("set_event");
  const bool previous = event.signalled;
  if (event.type == EVENT_TYPE::NotificationEvent) {
    event.signalled = true;
    wake_waiters_locked(WaitKind::kEvent, &event, true, STATUS_SUCCESS);
  } else if (wake_waiters_locked(WaitKind::kEvent, &event, false, STATUS_SUCCESS) == 0) {
    event.signalled = true;  // no waiter took it: it stays set for the next one
  }
  trace_locked(std::string("set ") + event.name);
  schedule_point(lock, self);
  return previous;
}

void SimKernel::clear_event(KEVENT& event) {
  Lock lock(mutex_);
  schedule_point(lock, self_locked("clear_event"));
  event.signalled = false;
}

bool SimKernel::read_state_event(KEVENT& event) {
  Lock lock(mutex_);
  schedule_point(lock, self_locked("read_state_event"));
  return event.signalled;
}

NTSTATUS SimKernel::wait_for_single_object(KEVENT& event, std::optional<int64_t> timeout_100ns) {
  Lock lock(mutex_);
  SimThread* self = self_locked("wait_for_single_object");
  require_can_wait_locked(self, event.name);
  schedule_point(lock, self);
  if (event.signalled) {
    if (event.type == EVENT_TYPE::SynchronizationEvent) event.signalled = false;
    return STATUS_SUCCESS;
  }
  if (timeout_100ns && *timeout_100ns == 0) return STATUS_TIMEOUT;
  std::optional<int64_t> deadline;
  if (timeout_100ns) deadline = absolute_due_locked(*timeout_100ns);
  return block_locked(lock, self, WaitKind::kEvent, &event, event.name, deadline);
}

// --- DPCs ---------------------------------------------------------------------------

bool SimKernel::insert_dpc_locked(KDPC& dpc, void* arg1, void* arg2) {
  if (dpc.inserted) return false;
  dpc.inserted = true;
  dpc.SystemArgument1 = arg1;
  dpc.SystemArgument2 = arg2;
  dpc.next_queued = nullptr;
  if (dpc_tail_) {
    dpc_tail_->next_queued = &dpc;
  } else {
    dpc_head_ = &dpc;
  }
  dpc_tail_ = &dpc;
  queued_dpcs_[reinterpret_cast<uintptr_t>(&dpc)] = 1;
  wake_waiters_locked(WaitKind::kDpcQueue, nullptr, true, STATUS_SUCCESS);
  return true;
}

bool SimKernel::insert_queue_dpc(KDPC& dpc, void* arg1, void* arg2) {
  Lock lock(mutex_);
  SimThread* self = self_locked("insert_queue_dpc");
  const bool inserted = insert_dpc_locked(dpc, arg1, arg2);
  if (inserted) trace_locked(std::string("queue ") + dpc.name);
  schedule_point(lock, self);
  return inserted;
}

bool SimKernel::remove_queue_dpc(KDPC& dpc) {
  Lock lock(mutex_);
  SimThread* self = self_locked("remove_queue_dpc");
  if (!dpc.inserted) return false;
  KDPC** link = &dpc_head_;
  KDPC* previous = nullptr;
  while (*link != &dpc) {
    previous = *link;
    link = &(*link)->next_queued;
  }
  *link = dpc.next_queued;
  if (dpc_tail_ == &dpc) dpc_tail_ = previous;
  dpc.inserted = false;
  dpc.next_queued = nullptr;
  queued_dpcs_.erase(reinterpret_cast<uintptr_t>(&dpc));
  schedule_point(lock, self);
  return true;
}

void SimKernel::flush_queued_dpcs() {
  Lock lock(mutex_);
  SimThread* self = self_locked("flush_queued_dpcs");
  require_can_wait_locked(self, "flush_queued_dpcs");
  schedule_point(lock, self);
  while (dpc_head_ || dpc_running_) {
    (void)block_locked(lock, self, WaitKind::kDpcFlush, nullptr, "queued DPCs", std::nullopt);
  }
}

// The DPC worker: one processor's DPC queue, drained one routine at a time at
// DISPATCH_LEVEL. Idle, it waits on the queue; that is not a hang.
void SimKernel::run_dpcs(SimThread* self) {
  Lock lock(mutex_);
  for (;;) {
    if (KDPC* dpc = dpc_head_) {
      dpc_head_ = dpc->next_queued;
      if (!dpc_head_) dpc_tail_ = nullptr;
      dpc->next_queued = nullptr;
      dpc->inserted = false;
      queued_dpcs_.erase(reinterpret_cast<uintptr_t>(dpc));
      trace_locked(std::string("run ") + dpc->name);
      if (!dpc->DeferredRoutine)
        fail_locked(std::string(dpc->name) + " was queued without a routine");
      self->irql = KIRQL::DISPATCH_LEVEL;
      dpc_running_ = true;
      lock.unlock();
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      lock.lock();
      if (!self->held.empty())
        fail_locked(std::string(dpc->name) + " returned holding a spin lock");
      self->irql = KIRQL::PASSIVE_LEVEL;
      dpc_running_ = false;
      if (!dpc_head_) wake_waiters_locked(WaitKind::kDpcFlush, nullptr, true, STATUS_SUCCESS);
      schedule_point(lock, self);
      continue;
    }
    if (shutting_down_) return;
    (void)block_locked(lock, self, WaitKind::kDpcQueue, nullptr, "idle", std::nullopt);
  }
}

// --- timers -------------------------------------------------------------------------

bool SimKernel::set_timer(KTIMER& timer, int64_t due_time_100ns, KDPC* dpc) {
  Lock lock(mutex_);
  SimThread* self = self_locked("set_timer");
  const bool was_set = timer.inserted;
  timer.inserted = true;
  timer.dpc = dpc;
  timer.due_time_100ns = absolute_due_locked(due_time_100ns);
  ++timer.generation;
  armed_timers_[reinterpret_cast<uintptr_t>(&timer)] = timer.generation;
  push_deadline_locked(timer.due_time_100ns, Deadline::Kind::kTimer, &timer, timer.generation);
  schedule_point(lock, self);
  return was_set;
}

bool SimKernel::cancel_timer(KTIMER& timer) {
  Lock lock(mutex_);
  SimThread* self = self_locked("cancel_timer");
  const bool was_set = timer.inserted;
  timer.inserted = false;
  ++timer.generation;
  armed_timers_.erase(reinterpret_cast<uintptr_t>(&timer));
  schedule_point(lock, self);
  return was_set;
}

// --- threads -------------------------------------------------------------------------

NTSTATUS SimKernel::create_system_thread(PKSTART_ROUTINE routine, void* context, const char* name,
                                         KTHREAD** thread) {
  Lock lock(mutex_);
  SimThread* self = self_locked("create_system_thread");
  if (shutting_down_) return STATUS_UNSUCCESSFUL;
  SimThread* created = new_thread_locked(name);
  created->handle_open = true;
  start_thread_locked(created, routine, context);
  *thread = to_handle(created);
  trace_locked(self->name + " starts " + name);
  schedule_point(lock, self);
  return STATUS_SUCCESS;
}

NTSTATUS SimKernel::wait_for_thread(KTHREAD* handle, std::optional<int64_t> timeout_100ns) {
  Lock lock(mutex_);
  SimThread* self = self_locked("wait_for_thread");
  SimThread* thread = from_handle(handle);
  require_can_wait_locked(self, "thread end");
  schedule_point(lock, self);
  if (thread->done) return STATUS_SUCCESS;
  if (timeout_100ns && *timeout_100ns == 0) return STATUS_TIMEOUT;
  std::optional<int64_t> deadline;
  if (timeout_100ns) deadline = absolute_due_locked(*timeout_100ns);
  return block_locked(lock, self, WaitKind::kThread, thread, thread->name.c_str(), deadline);
}

void SimKernel::close_thread(KTHREAD* handle) {
  Lock lock(mutex_);
  SimThread* self = self_locked("close_thread");
  SimThread* thread = from_handle(handle);
  if (!thread->handle_open) fail_locked("a thread reference was closed twice");
  thread->handle_open = false;
  schedule_point(lock, self);
}

void SimKernel::set_base_priority_thread(int32_t increment) {
  Lock lock(mutex_);
  SimThread* self = self_locked("set_base_priority_thread");
  self->priority_increment = increment;
  schedule_point(lock, self);
}

// --- pool memory ----------------------------------------------------------------------

void* SimKernel::allocate_pool_with_tag(POOL_TYPE type, size_t bytes, uint32_t tag) {
  {
    Lock lock(mutex_);
    SimThread* self = self_locked("allocate_pool_with_tag");
    if (type == POOL_TYPE::PagedPool && self->irql >= KIRQL::DISPATCH_LEVEL) {
      fail_locked(self->name + " allocates paged pool at DPC level");
    }
    schedule_point(lock, self);
  }
  return KernelBase::allocate_pool_with_tag(type, bytes, tag);
}

void SimKernel::free_pool(void* block) {
  {
    Lock lock(mutex_);
    schedule_point(lock, self_locked("free_pool"));
  }
  KernelBase::free_pool(block);
}

bool SimKernel::should_fail_allocation(POOL_TYPE type, size_t bytes, uint32_t tag) {
  ++allocation_count_;
  if (faults_.fail_nth != 0 && allocation_count_ == faults_.fail_nth) return true;
  return faults_.fail_if && faults_.fail_if(type, bytes, tag);
}

// Fresh pool memory is not zeroed; filling it with a pattern makes a driver
// that forgets to zero a buffer fail loudly in the tests.
void SimKernel::on_allocated(void* block, size_t bytes) {
  std::memset(block, 0xCD, bytes);
}

void SimKernel::on_freeing(void* block, size_t bytes) {
  {
    Lock lock(mutex_);
    check_freed_range_locked(block, bytes);
  }
  std::memset(block, 0xDD, bytes);
}

void SimKernel::check_freed_range_locked(const void* block, size_t bytes) {
  const auto begin = reinterpret_cast<uintptr_t>(block);
  auto timer = armed_timers_.lower_bound(begin);
  if (timer != armed_timers_.end() && timer->first < begin + bytes) {
    fail_locked("freed memory holds an armed timer");
  }
  auto dpc = queued_dpcs_.lower_bound(begin);
  if (dpc != queued_dpcs_.end() && dpc->first < begin + bytes) {
    fail_locked("freed memory holds a queued DPC");
  }
}

}  // namespace velto::platform::sim

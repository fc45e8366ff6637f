// The host kernel's life cycle, its clock, interrupt request levels, spin
// locks and events. DPCs, timers, system threads and the UDP transport live in
// files of their own; this one starts and stops the workers they need.
#include "platform/host/host_kernel.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/host_objects.h"

namespace velto::platform {

namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;

// Due times beyond this many 100-ns ticks (about 31 years) are clamped, so
// that converting them to the clock's nanoseconds cannot overflow.
constexpr int64_t kMaxDue100ns = 10'000'000'000'000'000;

// A waiter spins this many times before it sleeps on the lock word: spin
// locks are held for a few hundred instructions, so a short spin usually wins.
constexpr int kSpinTriesBeforeSleep = 100;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

int64_t clamp_due(int64_t due_100ns) {
  if (due_100ns > kMaxDue100ns) return kMaxDue100ns;
  if (due_100ns < -kMaxDue100ns) return -kMaxDue100ns;
  return due_100ns;
}

}  // namespace

HostThreadContext& this_thread_context() {
  thread_local HostThreadContext context;
  return context;
}

HostKernel::HostKernel(store::Store& registry, HostKernelOptions options)
    : KernelBase(registry), options_(options), epoch_(Clock::now()) {
  initialize_spin_lock(cancel_lock_, LockClass::kCancelSpinLock, "cancel spin lock");
  dpc_worker_ = std::thread([this] { run_dpc_worker(); });
  timer_worker_ = std::thread([this] { run_timer_worker(); });
}

HostKernel::~HostKernel() {
  // System threads first: they may still be waiting for a DPC or a timer.
  join_system_threads();
  // Timers before DPCs, as an expiring timer queues a DPC.
  stop_timer_worker();
  stop_dpc_worker();
  close_all_transport_addresses();
}

void HostKernel::on_debug_line(std::string_view line) {
  if (!options_.verbose) return;
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void HostKernel::fail(std::string_view what) {
  std::fprintf(stderr, "velto kernel: %.*s\n", static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
  std::abort();
}

// --- time -------------------------------------------------------------------

int64_t HostKernel::query_system_time() {
  // Context: any level. Locks: none. Blocks: never.
  return std::chrono::duration_cast<Ticks>(Clock::now() - epoch_).count();
}

int64_t HostKernel::absolute_due_100ns(int64_t due_time_100ns) {
  const int64_t due = clamp_due(due_time_100ns);
  if (due >= 0) return due;
  return query_system_time() - due;
}

HostKernel::Clock::time_point HostKernel::time_point_of(int64_t absolute_100ns) const {
  return epoch_ + std::chrono::duration_cast<Clock::duration>(Ticks(clamp_due(absolute_100ns)));
}

std::optional<HostKernel::Clock::time_point> HostKernel::deadline_of(
    std::optional<int64_t> timeout_100ns) {
  if (!timeout_100ns) return std::nullopt;
  return time_point_of(absolute_due_100ns(*timeout_100ns));
}

NTSTATUS HostKernel::delay_execution_thread(int64_t interval_100ns) {
  // Context: passive. Locks: none. Blocks: for the interval.
  check_may_wait("delay_execution_thread", "delay", interval_100ns);
  std::this_thread::sleep_until(time_point_of(absolute_due_100ns(interval_100ns)));
  return STATUS_SUCCESS;
}

void HostKernel::stall_execution_processor(uint32_t microseconds) {
  // Context: any level. Locks: none. Blocks: never; spins for the interval.
  const Clock::time_point until = Clock::now() + std::chrono::microseconds(microseconds);
  while (Clock::now() < until) cpu_relax();
}

// --- interrupt request level and spin locks ---------------------------------

KIRQL HostKernel::current_irql() {
  return this_thread_context().irql;
}

KIRQL HostKernel::acquire_spin_lock(KSPIN_LOCK& lock) {
  // Context: any level. Locks: takes `lock`. Blocks: spins, then sleeps on the
  // lock word until the holder releases it.
  HostThreadContext& self = this_thread_context();
  if (self.holds(&lock)) fail(std::string("spin lock acquired twice by one thread: ") + lock.name);
  if (self.held_count == kMaxHeldSpinLocks)
    fail(std::string("too many spin locks held at ") + lock.name);
  for (int tries = 0;; ++tries) {
    uint32_t expected = 0;
    if (lock.state.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      break;
    }
    if (tries < kSpinTriesBeforeSleep) {
      cpu_relax();
      continue;
    }
    lock.state.wait(1, std::memory_order_relaxed);
  }
  const KIRQL old_irql = self.irql;
  self.irql = KIRQL::DISPATCH_LEVEL;
  self.held[self.held_count++] = &lock;
  return old_irql;
}

void HostKernel::release_spin_lock(KSPIN_LOCK& lock, KIRQL old_irql) {
  // Context: dispatch, holding `lock`. Locks: releases `lock`. Blocks: never.
  HostThreadContext& self = this_thread_context();
  size_t index = 0;
  while (index < self.held_count && self.held[index] != &lock) ++index;
  if (index == self.held_count) fail(std::string("release of a spin lock not held: ") + lock.name);
  if (lock.state.load(std::memory_order_relaxed) != 1) {
    fail(std::string("release of a spin lock whose word says free: ") + lock.name);
  }
  for (; index + 1 < self.held_count; ++index) self.held[index] = self.held[index + 1];
  --self.held_count;
  if (self.held_count > 0 && old_irql < KIRQL::DISPATCH_LEVEL) {
    fail(std::string("leaving dispatch level while still holding ") +
         self.held[self.held_count - 1]->name);
  }
  lock.state.store(0, std::memory_order_release);
  lock.state.notify_one();
  self.irql = old_irql;
}

KIRQL HostKernel::acquire_cancel_spin_lock() {
  return acquire_spin_lock(cancel_lock_);
}

void HostKernel::release_cancel_spin_lock(KIRQL old_irql) {
  release_spin_lock(cancel_lock_, old_irql);
}

int32_t HostKernel::interlocked_exchange(std::atomic<int32_t>& target, int32_t value) {
  return target.exchange(value, std::memory_order_seq_cst);
}

// --- waiting ----------------------------------------------------------------

void HostKernel::check_may_wait(std::string_view what, const char* name,
                                std::optional<int64_t> timeout_100ns) {
  const HostThreadContext& self = this_thread_context();
  if (self.irql < KIRQL::DISPATCH_LEVEL) return;
  // A zero timeout only polls, which is allowed at dispatch level.
  if (timeout_100ns && *timeout_100ns == 0) return;
  std::string message(what);
  message += " at dispatch level on ";
  message += name;
  if (self.held_count > 0) {
    message += " while holding ";
    message += self.held[self.held_count - 1]->name;
  }
  fail(message);
}

bool HostKernel::wait_flag_locked(std::unique_lock<std::mutex>& lock, const bool& flag,
                                  std::optional<Clock::time_point> deadline) {
  // Context: passive. Locks: dispatcher_mutex_ held (through `lock`). Blocks:
  // until the flag is set or the deadline passes.
  if (!deadline) {
    dispatcher_cv_.wait(lock, [&flag] { return flag; });
    return true;
  }
  return dispatcher_cv_.wait_until(lock, *deadline, [&flag] { return flag; });
}

// --- events -----------------------------------------------------------------

bool HostKernel::set_event(KEVENT& event, int8_t /*increment*/) {
  // Context: any level. Locks: takes dispatcher_mutex_. Blocks: never.
  bool previous = false;
  {
    std::lock_guard guard(dispatcher_mutex_);
    previous = event.signalled;
    event.signalled = true;
  }
  // Every waiter rechecks its own event; for a synchronization event the
  // first to get the mutex consumes the signal and the others sleep on.
  dispatcher_cv_.notify_all();
  return previous;
}

void HostKernel::clear_event(KEVENT& event) {
  // Context: any level. Locks: takes dispatcher_mutex_. Blocks: never.
  std::lock_guard guard(dispatcher_mutex_);
  event.signalled = false;
}

bool HostKernel::read_state_event(KEVENT& event) {
  // Context: any level. Locks: takes dispatcher_mutex_. Blocks: never.
  std::lock_guard guard(dispatcher_mutex_);
  return event.signalled;
}

NTSTATUS HostKernel::wait_for_single_object(KEVENT& event, std::optional<int64_t> timeout_100ns) {
  // Context: passive (dispatch with a zero timeout). Locks: takes
  // dispatcher_mutex_. Blocks: until the event is signalled or the timeout.
  check_may_wait("wait_for_single_object", event.name, timeout_100ns);
  const std::optional<Clock::time_point> deadline = deadline_of(timeout_100ns);
  std::unique_lock lock(dispatcher_mutex_);
  if (!wait_flag_locked(lock, event.signalled, deadline)) return STATUS_TIMEOUT;
  if (event.type == EVENT_TYPE::SynchronizationEvent) event.signalled = false;
  return STATUS_SUCCESS;
}

}  // namespace velto::platform

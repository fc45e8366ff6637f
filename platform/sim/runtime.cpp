// The simulation's runtime: the baton that lets one thread run at a time, the
// seeded choice of who runs next, the virtual clock with its deadline heap,
// hang and livelock detection, the watchdog, and the failure report.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_thread.h"

namespace velto::platform::sim {

namespace {

thread_local SimThread* t_current = nullptr;
thread_local SimKernel* t_kernel = nullptr;

// The clock starts at a fixed, realistic system time so that absolute due
// times look like the real thing in traces.
constexpr int64_t kEpoch100ns = 133'800'000'000'000'000;
constexpr size_t kRecentTraceKept = 48;

uint64_t choose_seed(uint64_t requested) {
  if (requested != 0) return requested;
  if (const char* env = std::getenv("SIM_SEED"); env && *env) {
    return std::strtoull(env, nullptr, 0);
  }
  std::random_device device;
  return (uint64_t{device()} << 32) | device();
}

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const char* wait_kind_name(WaitKind kind) {
  switch (kind) {
    case WaitKind::kNone:
      return "nothing";
    case WaitKind::kBaton:
      return "its first turn";
    case WaitKind::kEvent:
      return "event";
    case WaitKind::kThread:
      return "thread end";
    case WaitKind::kDelay:
      return "delay";
    case WaitKind::kSpinLock:
      return "spin lock";
    case WaitKind::kDpcQueue:
      return "DPC queue";
    case WaitKind::kDpcFlush:
      return "DPC flush";
    case WaitKind::kDatagram:
      return "datagram";
  }
  return "?";
}

}  // namespace

SimKernel::SimKernel(store::Store& registry, SimOptions options)
    : KernelBase(registry),
      options_(options),
      seed_(choose_seed(options.seed)),
      scheduler_random_(stream_seed(seed_, Stream::kScheduler)),
      fault_random_(stream_seed(seed_, Stream::kFaults)),
      network_(options.host_ip),
      network_random_(stream_seed(seed_, Stream::kNetwork)) {
  // The seed also picks how eagerly threads are preempted, so a sweep of
  // seeds covers both long runs and fine interleavings.
  Random swarm(stream_seed(seed_, Stream::kSwarm));
  constexpr double kPreempt[] = {0.02, 0.1, 0.3, 0.6};
  preempt_probability_ = options.preempt_probability.value_or(kPreempt[swarm.below(4)]);
  now_100ns_ = kEpoch100ns;
  initialize_spin_lock(cancel_lock_, LockClass::kCancelSpinLock, "cancel spin lock");

  Lock lock(mutex_);
  main_ = new_thread_locked("main");
  main_->runnable = true;
  main_->wait = WaitKind::kNone;
  running_ = main_;
  t_current = main_;
  t_kernel = this;
  dpc_thread_ = new_thread_locked("dpc");
  start_thread_locked(
      dpc_thread_, [](void* self) { t_kernel->run_dpcs(static_cast<SimThread*>(self)); },
      dpc_thread_);
  last_progress_ms_ = wall_ms();
  watchdog_ = std::thread([this] { watchdog_main(); });
}

SimKernel::~SimKernel() {
  shutdown();
}

std::string SimKernel::replay_hint() const {
  return "SIM_SEED=" + std::to_string(seed_);
}

SimThread* SimKernel::new_thread_locked(const char* name) {
  auto thread = std::make_unique<SimThread>();
  thread->id = static_cast<int>(threads_.size());
  thread->name = name;
  thread->wait = WaitKind::kBaton;
  threads_.push_back(std::move(thread));
  return threads_.back().get();
}

// The new thread waits for its first turn before it touches anything, and
// hands the baton on when its routine returns.
void SimKernel::start_thread_locked(SimThread* thread, PKSTART_ROUTINE routine, void* context) {
  thread->runnable = true;
  thread->os_thread = std::thread([this, thread, routine, context] {
    {
      Lock lock(mutex_);
      t_current = thread;
      t_kernel = this;
      thread->baton.wait(lock, [&] { return running_ == thread; });
      thread->wait = WaitKind::kNone;
    }
    routine(context);
    Lock lock(mutex_);
    thread_exit_locked(lock, thread);
  });
}

SimThread* SimKernel::self_locked(const char* operation) {
  if (t_kernel != this || t_current == nullptr || running_ != t_current) {
    fail_locked(std::string(operation) + " called from a thread that the simulation does not run");
  }
  return t_current;
}

void SimKernel::trace_locked(std::string_view event) {
  for (char c : event) trace_hash_ = (trace_hash_ ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
  trace_hash_ = (trace_hash_ ^ 0xFF) * 0x100000001B3ull;
  if (recent_trace_.size() == kRecentTraceKept) recent_trace_.pop_front();
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%12.4f ms  ",
                static_cast<double>(now_100ns_ - kEpoch100ns) / 10'000.0);
  recent_trace_.push_back(stamp + std::string(event));
}

void SimKernel::trace(std::string_view event) {
  Lock lock(mutex_);
  trace_locked(event);
}

size_t SimKernel::live_threads() {
  Lock lock(mutex_);
  size_t live = 0;
  for (const auto& t : threads_) live += !t->done && t.get() != main_ && t.get() != dpc_thread_;
  return live;
}

// --- scheduling ---------------------------------------------------------------

void SimKernel::schedule_point(Lock& lock, SimThread* self) {
  if (++steps_ > options_.max_steps) fail_locked("livelock: the step bound was reached");
  last_progress_ms_.store(wall_ms(), std::memory_order_relaxed);
  SimThread* next = pick_next_locked(self);
  if (next != self) switch_to_locked(lock, self, next);
}

SimThread* SimKernel::pick_next_locked(SimThread* self) {
  for (;;) {
    std::vector<SimThread*> runnable;
    for (const auto& t : threads_) {
      if (t->runnable) runnable.push_back(t.get());
    }
    if (!runnable.empty()) {
      if (self->runnable && !scheduler_random_.chance(preempt_probability_)) return self;
      return runnable[scheduler_random_.below(runnable.size())];
    }
    if (!advance_clock_locked()) {
      fail_locked("hang: every thread is blocked and no deadline is pending");
    }
  }
}

void SimKernel::switch_to_locked(Lock& lock, SimThread* self, SimThread* next) {
  trace_locked(self->name + " -> " + next->name);
  running_ = next;
  next->baton.notify_one();
  self->baton.wait(lock, [&] { return running_ == self; });
  last_progress_ms_.store(wall_ms(), std::memory_order_relaxed);
}

NTSTATUS SimKernel::block_locked(Lock& lock, SimThread* self, WaitKind kind, const void* object,
                                 const char* what, std::optional<int64_t> deadline_100ns) {
  self->runnable = false;
  self->wait = kind;
  self->wait_object = object;
  self->wait_what = what;
  self->wait_since_100ns = now_100ns_;
  self->wait_order = ++wait_sequence_;
  self->wake_status = STATUS_SUCCESS;
  ++self->wait_generation;
  if (deadline_100ns) {
    push_deadline_locked(*deadline_100ns, Deadline::Kind::kWaitTimeout, self,
                         self->wait_generation);
  }
  SimThread* next = pick_next_locked(self);
  if (next != self) switch_to_locked(lock, self, next);
  return self->wake_status;
}

void SimKernel::make_runnable_locked(SimThread* thread, NTSTATUS status) {
  ++thread->wait_generation;  // a timeout still in the heap is stale from now on
  thread->runnable = true;
  thread->wait = WaitKind::kNone;
  thread->wait_object = nullptr;
  thread->wake_status = status;
}

int SimKernel::wake_waiters_locked(WaitKind kind, const void* object, bool all, NTSTATUS status) {
  int woken = 0;
  for (;;) {
    SimThread* first = nullptr;
    for (const auto& t : threads_) {
      if (t->runnable || t->wait != kind || t->wait_object != object) continue;
      if (!first || t->wait_order < first->wait_order) first = t.get();
    }
    if (!first) return woken;
    make_runnable_locked(first, status);
    ++woken;
    if (!all) return woken;
  }
}

void SimKernel::thread_exit_locked(Lock& lock, SimThread* self) {
  if (!self->held.empty()) fail_locked(self->name + " ended while holding a spin lock");
  self->done = true;
  self->runnable = false;
  self->wait = WaitKind::kNone;
  trace_locked(self->name + " ends");
  wake_waiters_locked(WaitKind::kThread, self, true, STATUS_SUCCESS);
  SimThread* next = pick_next_locked(self);
  running_ = next;
  next->baton.notify_one();
  lock.unlock();
}

// --- virtual time ---------------------------------------------------------------

int64_t SimKernel::absolute_due_locked(int64_t due_time_100ns) const {
  return due_time_100ns < 0 ? now_100ns_ - due_time_100ns : due_time_100ns;
}

void SimKernel::push_deadline_locked(int64_t due_100ns, Deadline::Kind kind, const void* object,
                                     uint64_t generation) {
  deadlines_.push(Deadline{due_100ns, ++deadline_sequence_, kind, object, generation});
}

bool SimKernel::advance_clock_locked() {
  if (deadlines_.empty()) return false;
  const int64_t due = deadlines_.top().due_100ns;
  if (due > now_100ns_) now_100ns_ = due;
  if (now_100ns_ - kEpoch100ns > options_.max_virtual_time_100ns) {
    fail_locked("livelock: the virtual time bound was reached");
  }
  while (!deadlines_.empty() && deadlines_.top().due_100ns <= now_100ns_) {
    const Deadline deadline = deadlines_.top();
    deadlines_.pop();
    fire_deadline_locked(deadline);
  }
  return true;
}

void SimKernel::fire_deadline_locked(const Deadline& deadline) {
  switch (deadline.kind) {
    case Deadline::Kind::kWaitTimeout: {
      auto* thread = static_cast<SimThread*>(const_cast<void*>(deadline.object));
      if (thread->runnable || thread->done || thread->wait_generation != deadline.generation)
        return;
      const bool delay = thread->wait == WaitKind::kDelay;
      make_runnable_locked(thread, delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
      return;
    }
    case Deadline::Kind::kTimer: {
      const auto address = reinterpret_cast<uintptr_t>(deadline.object);
      auto it = armed_timers_.find(address);
      if (it == armed_timers_.end() || it->second != deadline.generation) return;
      armed_timers_.erase(it);
      auto* timer = static_cast<KTIMER*>(const_cast<void*>(deadline.object));
      timer->inserted = false;
      trace_locked("timer fires");
      if (timer->dpc) insert_dpc_locked(*timer->dpc, nullptr, nullptr);
      return;
    }
    case Deadline::Kind::kDelivery: {
      Endpoint* endpoint = network_.deliver(deadline.generation);
      if (endpoint) wake_waiters_locked(WaitKind::kDatagram, endpoint, false, STATUS_SUCCESS);
      return;
    }
  }
}

// --- checks and the failure report ----------------------------------------------

void SimKernel::require_can_wait_locked(SimThread* self, const char* operation) {
  if (!self->held.empty()) {
    fail_locked(self->name + " waits (" + operation + ") while holding " + self->held.back()->name);
  }
  if (self->irql >= KIRQL::DISPATCH_LEVEL) {
    fail_locked(self->name + " waits (" + operation + ") at DPC level");
  }
}

std::string SimKernel::report_locked(std::string_view what) {
  std::ostringstream out;
  out << "simulation failure: " << what << "\n";
  out << "  seed " << seed_ << " (replay with " << replay_hint() << ")\n";
  out << "  virtual time " << static_cast<double>(now_100ns_ - kEpoch100ns) / 10'000.0
      << " ms, step " << steps_ << "\n  threads:\n";
  for (const auto& t : threads_) {
    out << "    #" << t->id << " " << t->name << ": ";
    if (t->done) {
      out << "ended";
    } else if (t.get() == running_) {
      out << "running";
    } else if (t->runnable) {
      out << "runnable";
    } else {
      out << "blocked on " << wait_kind_name(t->wait) << " '" << t->wait_what << "' since "
          << static_cast<double>(t->wait_since_100ns - kEpoch100ns) / 10'000.0 << " ms";
    }
    for (const KSPIN_LOCK* held : t->held) out << ", holds " << held->name;
    out << "\n";
  }
  out << "  recent trace:\n";
  for (const auto& line : recent_trace_) out << "    " << line << "\n";
  return out.str();
}

void SimKernel::fail_locked(std::string_view what) {
  const std::string report = report_locked(what);
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

void SimKernel::fail(std::string_view what) {
  // Reached from the shared kernel code, which may or may not be inside a
  // runtime call; the baton holder is the only thread running either way.
  Lock lock(mutex_, std::try_to_lock);
  fail_locked(what);
}

void SimKernel::watchdog_main() {
  std::unique_lock lock(watchdog_mutex_);
  while (!watchdog_stop_.load()) {
    watchdog_wake_.wait_for(lock, std::chrono::milliseconds(100));
    const int64_t idle = wall_ms() - last_progress_ms_.load(std::memory_order_relaxed);
    if (idle > options_.watchdog_ms && !watchdog_stop_.load()) {
      std::fprintf(stderr,
                   "simulation failure: the running thread made no kernel call for %" PRId64
                   " ms of wall-clock time (a raw sleep, socket or foreign lock?)\n  seed %" PRIu64
                   " (replay with SIM_SEED=%" PRIu64 ")\n",
                   idle, seed_, seed_);
      std::abort();
    }
  }
}

// The test's thread ends the run: the DPC worker is told to stop, every other
// thread must already have ended, and the real threads are joined.
void SimKernel::shutdown() {
  Lock lock(mutex_);
  SimThread* self = self_locked("shutdown");
  shutting_down_ = true;
  wake_waiters_locked(WaitKind::kDpcQueue, nullptr, true, STATUS_SUCCESS);
  while (!dpc_thread_->done) {
    (void)block_locked(lock, self, WaitKind::kThread, dpc_thread_, "the DPC worker", std::nullopt);
  }
  for (const auto& t : threads_) {
    if (t.get() != main_ && !t->done) fail_locked("thread " + t->name + " still runs at shutdown");
  }
  running_ = nullptr;
  t_current = nullptr;
  t_kernel = nullptr;
  lock.unlock();
  for (const auto& t : threads_) {
    if (t->os_thread.joinable()) t->os_thread.join();
  }
  {
    std::lock_guard guard(watchdog_mutex_);
    watchdog_stop_ = true;
  }
  watchdog_wake_.notify_all();
  watchdog_.join();
}

}  // namespace velto::platform::sim

// The host kernel's system threads. Each is a std::thread running the
// driver's routine at passive level. The driver holds a reference from
// creation until close_thread; closing the reference of a running thread does
// not stop it. A thread is joined once it has ended and its reference is
// closed, at the next create or close, or at the latest by the destructor.
#include <string>
#include <system_error>

#include "platform/host/host_kernel.h"
#include "platform/host/host_objects.h"

namespace velto::platform {

namespace {

// How long the destructor waits for a system thread still running before it
// reports it. Shutdown is orderly, so this only bounds a hang.
constexpr int64_t kShutdownGrace100ns = 30 * 10'000'000LL;

}  // namespace

NTSTATUS HostKernel::create_system_thread(PKSTART_ROUTINE routine, void* context, const char* name,
                                          KTHREAD** thread) {
  // Context: passive. Locks: takes threads_mutex_. Blocks: never.
  *thread = nullptr;
  auto record = std::make_unique<KTHREAD>();
  record->routine = routine;
  record->context = context;
  record->name = name;
  KTHREAD* raw = record.get();
  std::lock_guard guard(threads_mutex_);
  reap_ended_threads_locked();
  threads_.push_back(std::move(record));
  try {
    raw->thread = std::thread([this, raw] { run_system_thread(raw); });
  } catch (const std::system_error&) {
    threads_.pop_back();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *thread = raw;
  return STATUS_SUCCESS;
}

void HostKernel::run_system_thread(KTHREAD* thread) {
  // Context: the new thread, at passive level. Locks: takes dispatcher_mutex_
  // at the end. Blocks: as the routine does.
  HostThreadContext& self = this_thread_context();
  thread->routine(thread->context);
  if (self.held_count != 0) {
    fail(std::string("system thread ") + thread->name + " ended holding " +
         self.held[self.held_count - 1]->name);
  }
  if (self.irql != KIRQL::PASSIVE_LEVEL) {
    fail(std::string("system thread ") + thread->name + " ended above passive level");
  }
  {
    std::lock_guard guard(dispatcher_mutex_);
    thread->done = true;
  }
  // Past this point the record may be joined and freed at any moment.
  dispatcher_cv_.notify_all();
}

NTSTATUS HostKernel::wait_for_thread(KTHREAD* thread, std::optional<int64_t> timeout_100ns) {
  // Context: passive. Locks: takes dispatcher_mutex_. Blocks: until the
  // thread ends or the timeout.
  check_may_wait("wait_for_thread", thread->name, timeout_100ns);
  const std::optional<Clock::time_point> deadline = deadline_of(timeout_100ns);
  std::unique_lock lock(dispatcher_mutex_);
  return wait_flag_locked(lock, thread->done, deadline) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

void HostKernel::close_thread(KTHREAD* thread) {
  // Context: passive. Locks: takes threads_mutex_, then dispatcher_mutex_.
  // Blocks: only to join threads that have already ended.
  std::lock_guard guard(threads_mutex_);
  bool found = false;
  for (const auto& record : threads_) found = found || record.get() == thread;
  if (!found) fail("close_thread of a thread reference that is not open");
  if (thread->closed) fail(std::string("thread reference closed twice: ") + thread->name);
  thread->closed = true;
  reap_ended_threads_locked();
}

void HostKernel::reap_ended_threads_locked() {
  // Context: passive. Locks: threads_mutex_ held; takes dispatcher_mutex_.
  // Blocks: only to join threads that have already ended.
  for (size_t i = 0; i < threads_.size();) {
    KTHREAD& record = *threads_[i];
    bool done = false;
    {
      std::lock_guard guard(dispatcher_mutex_);
      done = record.done;
    }
    if (!record.closed || !done) {
      ++i;
      continue;
    }
    record.thread.join();
    threads_[i] = std::move(threads_.back());
    threads_.pop_back();
  }
}

void HostKernel::join_system_threads() {
  // Context: passive, from the destructor. Locks: takes threads_mutex_, then
  // dispatcher_mutex_. Blocks: until every system thread has ended.
  std::vector<std::unique_ptr<KTHREAD>> threads;
  {
    std::lock_guard guard(threads_mutex_);
    threads.swap(threads_);
  }
  for (const auto& record : threads) {
    if (wait_for_thread(record.get(), -kShutdownGrace100ns) != STATUS_SUCCESS) {
      fail(std::string("system thread still running at shutdown: ") + record->name);
    }
    record->thread.join();
  }
}

void HostKernel::set_base_priority_thread(int32_t increment) {
  // Context: passive. Locks: none. Blocks: never. Host threads keep the
  // scheduler's priority; the increment is only recorded.
  this_thread_context().base_priority_increment = increment;
}

}  // namespace velto::platform

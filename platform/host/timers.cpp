// The host kernel's one-shot timers. Armed timers sit in a min-heap by due
// time on the steady clock, one entry per timer: re-setting or cancelling a
// timer takes its entry out at once, so the heap never points at a timer the
// driver has cancelled and may since have freed. One timer thread sleeps until
// the earliest due time and turns each expired timer into a queued DPC.
#include <algorithm>
#include <string>

#include "platform/host/host_kernel.h"
#include "platform/host/host_objects.h"

namespace velto::platform {

namespace {

// Heap order: std::push_heap keeps the "largest" first, so the later entry
// compares less and the earliest (due, seq) stays on top.
constexpr auto later = [](const auto& a, const auto& b) {
  if (a.due_100ns != b.due_100ns) return a.due_100ns > b.due_100ns;
  return a.seq > b.seq;
};

}  // namespace

bool HostKernel::set_timer(KTIMER& timer, int64_t due_time_100ns, KDPC* dpc) {
  // Context: any level. Locks: takes timer_mutex_. Blocks: never.
  const int64_t due = absolute_due_100ns(due_time_100ns);
  std::lock_guard guard(timer_mutex_);
  const bool was_set = timer.inserted;
  if (was_set) remove_timer_entry_locked(timer);
  ++timer.generation;
  timer.inserted = true;
  timer.due_time_100ns = due;
  timer.dpc = dpc;
  timer_heap_.push_back(TimerEntry{due, timer_seq_++, &timer, timer.generation});
  std::push_heap(timer_heap_.begin(), timer_heap_.end(), later);
  // The timer thread sleeps until the earliest due time; wake it only when
  // that moved.
  if (timer_heap_.front().timer == &timer) timer_cv_.notify_one();
  return was_set;
}

bool HostKernel::cancel_timer(KTIMER& timer) {
  // Context: any level. Locks: takes timer_mutex_. Blocks: never.
  std::lock_guard guard(timer_mutex_);
  if (!timer.inserted) return false;
  remove_timer_entry_locked(timer);
  timer.inserted = false;
  ++timer.generation;
  return true;
}

void HostKernel::remove_timer_entry_locked(const KTIMER& timer) {
  // Context: any level. Locks: timer_mutex_ held. Blocks: never. Linear in
  // the armed timers, which are a few per port.
  auto it = std::find_if(timer_heap_.begin(), timer_heap_.end(),
                         [&timer](const TimerEntry& e) { return e.timer == &timer; });
  if (it == timer_heap_.end()) fail("a set timer has no entry in the deadline heap");
  if (it->generation != timer.generation) fail("a timer's heap entry is of another generation");
  *it = timer_heap_.back();
  timer_heap_.pop_back();
  std::make_heap(timer_heap_.begin(), timer_heap_.end(), later);
}

void HostKernel::run_timer_worker() {
  // Context: the timer thread. Locks: takes timer_mutex_. Blocks: until the
  // earliest due time, a new earlier timer, or stop.
  std::unique_lock lock(timer_mutex_);
  while (!timer_stopping_) {
    if (timer_heap_.empty()) {
      timer_cv_.wait(lock);
      continue;
    }
    const int64_t due = timer_heap_.front().due_100ns;
    if (due > query_system_time()) {
      timer_cv_.wait_until(lock, time_point_of(due));
      continue;
    }
    expire_first_timer_locked();
  }
}

void HostKernel::expire_first_timer_locked() {
  // Context: the timer thread. Locks: timer_mutex_ held; takes dpc_mutex_.
  // Blocks: never.
  std::pop_heap(timer_heap_.begin(), timer_heap_.end(), later);
  const TimerEntry entry = timer_heap_.back();
  timer_heap_.pop_back();
  KTIMER& timer = *entry.timer;
  if (!timer.inserted || timer.generation != entry.generation) {
    fail("an expiring heap entry does not match its timer");
  }
  timer.inserted = false;
  // Queued while the timer mutex is still held, so that a cancel that comes
  // too late to stop the timer finds its DPC already queued, and can take it
  // out again with remove_queue_dpc. A DPC still queued from an earlier
  // expiry coalesces with this one.
  if (timer.dpc != nullptr) (void)insert_queue_dpc(*timer.dpc, nullptr, nullptr);
}

void HostKernel::stop_timer_worker() {
  // Context: passive, from the destructor. Locks: takes timer_mutex_.
  // Blocks: until the timer thread has ended.
  {
    std::lock_guard guard(timer_mutex_);
    timer_stopping_ = true;
  }
  timer_cv_.notify_one();
  if (timer_worker_.joinable()) timer_worker_.join();
}

}  // namespace velto::platform

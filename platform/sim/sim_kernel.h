// The simulation kernel: drivers run on real threads, but only one at a time,
// on a virtual clock, in an order chosen by a seeded generator. Every kernel
// call is a scheduling point where the runtime may hand the baton to another
// thread; when nothing can run, the clock jumps to the next deadline. So a
// 22-second retry schedule passes in milliseconds, and a seed replays a run
// exactly.
//
// The runtime also checks the driver's discipline as it goes: no waiting at
// DPC level or under a spin lock, locks taken in the agreed order, no leaks,
// no hang. A violation prints what happened, every thread with what it waits
// on, the recent trace and the seed, and aborts the run.
//
// The thread that constructs the kernel becomes the simulated thread "main";
// it holds the baton until it makes a kernel call.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/kernel_base.h"
#include "platform/sim/network.h"
#include "platform/sim/random.h"

namespace velto::platform::sim {

struct SimOptions {
  // 0: take SIM_SEED from the environment, or else a fresh random seed.
  uint64_t seed = 0;
  // The host's own IPv4 address on the simulated network (host order).
  uint32_t host_ip = 0xC0000201;  // 192.0.2.1
  // Livelock bounds.
  uint64_t max_steps = 200'000'000;
  int64_t max_virtual_time_100ns = 24ll * 3600 * 10'000'000;  // a day
  // How often a kernel call hands the baton to another runnable thread; by
  // default the seed picks it. 0 runs each thread until it blocks.
  std::optional<double> preempt_probability;
  // Wall-clock time the baton holder may spend between two kernel calls.
  int watchdog_ms = 20'000;
};

// Faults that the test asks the pool to produce.
struct AllocationFaults {
  uint64_t fail_nth = 0;  // 1-based index of the one allocation to refuse; 0 = none
  std::function<bool(POOL_TYPE, size_t bytes, uint32_t tag)> fail_if;
};

// What a blocked thread waits for.
enum class WaitKind : uint8_t {
  kNone,      // runnable or running
  kBaton,     // newly created, waits for its first turn
  kEvent,     // an event
  kThread,    // another thread's end
  kDelay,     // a relative delay
  kSpinLock,  // a spin lock held by another thread
  kDpcQueue,  // the DPC worker, idle
  kDpcFlush,  // a flush, for the DPC queue to drain
  kDatagram,  // a receive on the simulated network
};

struct SimThread;

// One entry of the runtime's deadline heap: a timer expiry, the end of a
// timed wait or delay, or a datagram landing.
struct Deadline {
  enum class Kind : uint8_t { kTimer, kWaitTimeout, kDelivery };
  int64_t due_100ns = 0;
  uint64_t sequence = 0;  // ties at one due time fire in the order they were made
  Kind kind = Kind::kTimer;
  const void* object = nullptr;  // KTIMER or SimThread
  uint64_t generation = 0;       // the timer's or the wait's, or the delivery id
  bool operator>(const Deadline& o) const {
    return due_100ns != o.due_100ns ? due_100ns > o.due_100ns : sequence > o.sequence;
  }
};

class SimKernel final : public KernelBase {
 public:
  explicit SimKernel(store::Store& registry, SimOptions options = {});
  ~SimKernel() override;
  SimKernel(const SimKernel&) = delete;
  SimKernel& operator=(const SimKernel&) = delete;

  uint64_t seed() const { return seed_; }
  std::string replay_hint() const;
  SimNetwork& network() { return network_; }
  AllocationFaults& allocation_faults() { return faults_; }
  uint64_t allocations_made() const { return allocation_count_; }
  // A hash of every scheduling decision and trace event so far.
  uint64_t trace_hash() const { return trace_hash_; }
  // Adds an event of the caller's own to the trace.
  void trace(std::string_view event);
  uint64_t steps() const { return steps_; }
  size_t live_threads();

  // Kernel interface.
  int64_t query_system_time() override;
  NTSTATUS delay_execution_thread(int64_t interval_100ns) override;
  void stall_execution_processor(uint32_t microseconds) override;
  KIRQL acquire_spin_lock(KSPIN_LOCK& lock) override;
  void release_spin_lock(KSPIN_LOCK& lock, KIRQL old_irql) override;
  KIRQL acquire_cancel_spin_lock() override;
  void release_cancel_spin_lock(KIRQL old_irql) override;
  KIRQL current_irql() override;
  bool insert_queue_dpc(KDPC& dpc, void* arg1, void* arg2) override;
  bool remove_queue_dpc(KDPC& dpc) override;
  void flush_queued_dpcs() override;
  bool set_timer(KTIMER& timer, int64_t due_time_100ns, KDPC* dpc) override;
  bool cancel_timer(KTIMER& timer) override;
  bool set_event(KEVENT& event, int8_t increment) override;
  void clear_event(KEVENT& event) override;
  bool read_state_event(KEVENT& event) override;
  NTSTATUS wait_for_single_object(KEVENT& event, std::optional<int64_t> timeout_100ns) override;
  NTSTATUS create_system_thread(PKSTART_ROUTINE routine, void* context, const char* name,
                                KTHREAD** thread) override;
  NTSTATUS wait_for_thread(KTHREAD* thread, std::optional<int64_t> timeout_100ns) override;
  void close_thread(KTHREAD* thread) override;
  void set_base_priority_thread(int32_t increment) override;
  int32_t interlocked_exchange(std::atomic<int32_t>& target, int32_t value) override;
  void* allocate_pool_with_tag(POOL_TYPE type, size_t bytes, uint32_t tag) override;
  void free_pool(void* block) override;
  NTSTATUS open_transport_address(uint16_t local_port, TransportAddress** address) override;
  NTSTATUS send_datagram(TransportAddress* address, uint32_t remote_ip, uint16_t remote_port,
                         std::span<const uint8_t> data) override;
  NTSTATUS receive_datagram(TransportAddress* address, uint32_t remote_ip, uint16_t remote_port,
                            std::span<uint8_t> buffer, ReceivedDatagram* received) override;
  void close_transport_address(TransportAddress* address) override;
  void release_transport_address(TransportAddress* address) override;

  // Endpoints for simulated actors other than the host (device servers):
  // bound to their own address. The host's transport address is the same
  // with address 0. Must be called from a simulated thread.
  NTSTATUS open_endpoint(uint32_t ip, uint16_t port, TransportAddress** address);
  // A receive that gives up with STATUS_TIMEOUT when the timeout (negative:
  // relative, in 100-ns units) passes first; without one it waits for ever.
  NTSTATUS receive_datagram_until(TransportAddress* address, std::span<uint8_t> buffer,
                                  ReceivedDatagram* received,
                                  std::optional<int64_t> timeout_100ns);

 protected:
  bool should_fail_allocation(POOL_TYPE type, size_t bytes, uint32_t tag) override;
  void on_allocated(void* block, size_t bytes) override;
  void on_freeing(void* block, size_t bytes) override;
  [[noreturn]] void fail(std::string_view what) override;

 private:
  using Lock = std::unique_lock<std::mutex>;

  // Runtime core (runtime.cpp). Every *_locked routine runs with mutex_ held
  // by the baton holder.
  SimThread* self_locked(const char* operation);
  SimThread* new_thread_locked(const char* name);
  void start_thread_locked(SimThread* thread, PKSTART_ROUTINE routine, void* context);
  void schedule_point(Lock& lock, SimThread* self);
  NTSTATUS block_locked(Lock& lock, SimThread* self, WaitKind kind, const void* object,
                        const char* what, std::optional<int64_t> deadline_100ns);
  void make_runnable_locked(SimThread* thread, NTSTATUS status);
  SimThread* pick_next_locked(SimThread* self);
  bool advance_clock_locked();
  void fire_deadline_locked(const Deadline& deadline);
  void switch_to_locked(Lock& lock, SimThread* self, SimThread* next);
  void thread_exit_locked(Lock& lock, SimThread* self);
  // Wakes the waiters on object in the order they began to wait; all of
  // them, or only the first. Returns how many woke.
  int wake_waiters_locked(WaitKind kind, const void* object, bool all, NTSTATUS status);
  void push_deadline_locked(int64_t due_100ns, Deadline::Kind kind, const void* object,
                            uint64_t generation);
  void require_can_wait_locked(SimThread* self, const char* operation);
  void check_lock_order_locked(SimThread* self, const KSPIN_LOCK& lock);
  bool insert_dpc_locked(KDPC& dpc, void* arg1, void* arg2);
  void check_freed_range_locked(const void* block, size_t bytes);
  void trace_locked(std::string_view event);
  [[noreturn]] void fail_locked(std::string_view what);
  std::string report_locked(std::string_view what);
  void watchdog_main();
  void run_dpcs(SimThread* self);
  void shutdown();
  int64_t absolute_due_locked(int64_t due_time_100ns) const;

  const SimOptions options_;
  const uint64_t seed_;

  std::mutex mutex_;                                 // the runtime lock: guards every field below
  SimThread* running_ = nullptr;                     // the baton holder
  std::vector<std::unique_ptr<SimThread>> threads_;  // by id; kept until the kernel ends
  SimThread* main_ = nullptr;
  SimThread* dpc_thread_ = nullptr;
  bool shutting_down_ = false;
  int64_t now_100ns_ = 0;
  uint64_t steps_ = 0;
  uint64_t deadline_sequence_ = 0;
  uint64_t wait_sequence_ = 0;
  std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines_;
  // Armed timers and queued DPCs by address, so that freeing memory that
  // still holds one is caught rather than fired into later.
  std::map<uintptr_t, uint64_t> armed_timers_;  // address -> generation
  std::map<uintptr_t, size_t> queued_dpcs_;
  KDPC* dpc_head_ = nullptr;
  KDPC* dpc_tail_ = nullptr;
  bool dpc_running_ = false;  // the DPC worker is inside a routine
  KSPIN_LOCK cancel_lock_;
  std::array<std::array<bool, static_cast<size_t>(LockClass::kCount)>,
             static_cast<size_t>(LockClass::kCount)>
      lock_edges_{};
  Random scheduler_random_;
  Random fault_random_;
  double preempt_probability_ = 0.25;
  uint64_t trace_hash_ = 0xCBF29CE484222325ull;
  std::deque<std::string> recent_trace_;
  AllocationFaults faults_;
  uint64_t allocation_count_ = 0;
  SimNetwork network_;
  Random network_random_;
  // Watchdog: wall-clock progress of the baton holder.
  std::atomic<int64_t> last_progress_ms_{0};
  std::atomic<bool> watchdog_stop_{false};
  std::mutex watchdog_mutex_;  // only for the watchdog's sleep
  std::condition_variable watchdog_wake_;
  std::thread watchdog_;
};

}  // namespace velto::platform::sim

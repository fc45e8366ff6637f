// The host kernel: the kernel interface on real threads, the steady clock and
// IPv4 UDP sockets, for the product. A system thread is a std::thread at
// passive level; one worker thread runs the DPC queue at dispatch level, one
// timer thread turns due timers into queued DPCs, and a spin lock is an atomic
// word that waiters spin on briefly and then sleep on. The interrupt request
// level is tracked per thread, so a wait at dispatch level or a release of a
// spin lock the thread does not hold is caught here as a programmer error, as
// the simulation kernel catches it.
//
// Lock order, outermost first: timer_mutex_ before dpc_mutex_, and
// threads_mutex_ before dispatcher_mutex_. transport_mutex_ is a leaf. None of
// them is held while a driver routine runs, and none while calling into
// KernelBase, whose base_lock_ is a leaf of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/kernel/kernel_base.h"

namespace velto::platform {

struct HostKernelOptions {
  // Local IPv4 address every transport address binds to, in host order. 0
  // binds to every local address. A loopback address such as 127.0.0.1 lets a
  // device server on 127.0.0.2 use the same UDP port on the same machine.
  uint32_t bind_ip = 0;
  // Echo every debug_print line to stderr as well as recording it.
  bool verbose = false;
};

class HostKernel final : public KernelBase {
 public:
  // Starts the DPC worker and the timer thread. The store is the registry;
  // the kernel does not own it.
  explicit HostKernel(store::Store& registry, HostKernelOptions options = {});
  // Every system thread must have ended by now (a thread still running after
  // a grace period is reported through fail()). Stops the timer thread and
  // the DPC worker, dropping DPCs still queued, and closes any transport
  // address left open.
  ~HostKernel() override;
  HostKernel(const HostKernel&) = delete;
  HostKernel& operator=(const HostKernel&) = delete;

  // Transport addresses opened and not yet released, for leak checks.
  size_t open_transport_addresses();

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
  NTSTATUS open_transport_address(uint16_t local_port, TransportAddress** address) override;
  NTSTATUS send_datagram(TransportAddress* address, uint32_t remote_ip, uint16_t remote_port,
                         std::span<const uint8_t> data) override;
  NTSTATUS receive_datagram(TransportAddress* address, uint32_t remote_ip, uint16_t remote_port,
                            std::span<uint8_t> buffer, ReceivedDatagram* received) override;
  void close_transport_address(TransportAddress* address) override;
  void release_transport_address(TransportAddress* address) override;

 protected:
  void on_debug_line(std::string_view line) override;
  [[noreturn]] void fail(std::string_view what) override;

 private:
  using Clock = std::chrono::steady_clock;

  // One armed timer in the deadline heap. The heap holds exactly the timers
  // whose inserted flag is set, one entry each; generation is the pair
  // assertion that the entry and the timer agree.
  struct TimerEntry {
    int64_t due_100ns = 0;
    uint64_t seq = 0;  // orders timers that are due at the same tick
    KTIMER* timer = nullptr;
    uint64_t generation = 0;
  };

  // Time.
  int64_t absolute_due_100ns(int64_t due_time_100ns);
  Clock::time_point time_point_of(int64_t absolute_100ns) const;
  std::optional<Clock::time_point> deadline_of(std::optional<int64_t> timeout_100ns);

  // Waiting.
  void check_may_wait(std::string_view what, const char* name,
                      std::optional<int64_t> timeout_100ns);
  bool wait_flag_locked(std::unique_lock<std::mutex>& lock, const bool& flag,
                        std::optional<Clock::time_point> deadline);

  // DPCs.
  void run_dpc_worker();
  void run_dpc(KDPC* dpc, void* arg1, void* arg2);
  void stop_dpc_worker();

  // Timers.
  void run_timer_worker();
  void expire_first_timer_locked();
  void remove_timer_entry_locked(const KTIMER& timer);
  void stop_timer_worker();

  // Threads.
  void run_system_thread(KTHREAD* thread);
  void reap_ended_threads_locked();
  void join_system_threads();

  // Transport.
  void close_all_transport_addresses();

  const HostKernelOptions options_;
  const Clock::time_point epoch_;  // query_system_time() counts from here
  KSPIN_LOCK cancel_lock_;         // the cancel spin lock; its word is its own guard

  // The DPC queue: a FIFO linked through KDPC::next_queued. Guarded by
  // dpc_mutex_, as are the queued DPCs' inserted, SystemArgument1/2 and
  // next_queued fields. A DPC is queued at most once, so the queue never
  // holds more entries than there are DPC objects.
  std::mutex dpc_mutex_;
  std::condition_variable dpc_cv_;  // signalled on insert and on stop
  KDPC* dpc_head_ = nullptr;
  KDPC* dpc_tail_ = nullptr;
  bool dpc_stopping_ = false;

  // Timers: the min-heap by (due, seq), and every KTIMER's kernel-owned
  // fields, guarded by timer_mutex_. The heap holds one entry per armed timer.
  std::mutex timer_mutex_;
  std::condition_variable timer_cv_;  // signalled when the earliest deadline moves or on stop
  std::vector<TimerEntry> timer_heap_;
  uint64_t timer_seq_ = 0;
  bool timer_stopping_ = false;

  // The dispatcher: KEVENT::signalled and KTHREAD::done are guarded by
  // dispatcher_mutex_. Every change is announced with notify_all; waiters
  // recheck their own flag.
  std::mutex dispatcher_mutex_;
  std::condition_variable dispatcher_cv_;

  // Every system thread not yet joined, guarded by threads_mutex_, as are
  // KTHREAD::closed and KTHREAD::thread.
  std::mutex threads_mutex_;
  std::vector<std::unique_ptr<KTHREAD>> threads_;

  // Every transport address not yet released, guarded by transport_mutex_.
  std::mutex transport_mutex_;
  std::vector<std::unique_ptr<TransportAddress>> transport_addresses_;

  // Started last in the constructor, once everything above is ready.
  std::thread dpc_worker_;
  std::thread timer_worker_;
};

}  // namespace velto::platform

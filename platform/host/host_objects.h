// The host kernel's own objects, private to platform/host: the system thread
// record, the transport address, and the per-thread context (interrupt
// request level and spin locks held) that the checks on waits and lock
// releases read.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "platform/kernel/kernel.h"

namespace velto::platform {

struct KTHREAD {
  PKSTART_ROUTINE routine = nullptr;
  void* context = nullptr;
  const char* name = "system thread";
  // Under HostKernel::threads_mutex_.
  std::thread thread;   // joined once the thread has ended and its reference is closed
  bool closed = false;  // the driver's reference is gone
  // Under HostKernel::dispatcher_mutex_.
  bool done = false;  // the routine has returned
};

struct TransportAddress {
  TransportAddress() = default;
  TransportAddress(const TransportAddress&) = delete;
  TransportAddress& operator=(const TransportAddress&) = delete;
  ~TransportAddress();

  // Set once at open; the descriptors stay valid until release.
  int socket_fd = -1;
  int wake_fd = -1;  // an eventfd that turns readable, for good, on close
  uint16_t local_port = 0;
  // Atomics, read without a lock.
  std::atomic<bool> closed{false};
  std::atomic<int> calls_in_progress{0};  // sends and receives under way
};

// Deep enough for the driver's nesting (a port lock, then the cancel spin lock
// or the outbound queue lock) with room to spare.
inline constexpr size_t kMaxHeldSpinLocks = 8;

// What the host kernel knows about the running thread. Only that thread
// touches it, so it needs no lock.
struct HostThreadContext {
  KIRQL irql = KIRQL::PASSIVE_LEVEL;
  std::array<const KSPIN_LOCK*, kMaxHeldSpinLocks> held{};
  size_t held_count = 0;
  int32_t base_priority_increment = 0;  // recorded only: host threads keep their priority

  bool holds(const KSPIN_LOCK* lock) const {
    for (size_t i = 0; i < held_count; ++i) {
      if (held[i] == lock) return true;
    }
    return false;
  }
};

// The calling thread's context.
HostThreadContext& this_thread_context();

}  // namespace velto::platform

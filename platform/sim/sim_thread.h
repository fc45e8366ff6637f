// A simulated thread: a real thread that runs only while it holds the baton.
// Private to the simulation kernel; drivers see it as an opaque KTHREAD.
#pragma once

#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/types.h"
#include "platform/sim/sim_kernel.h"

namespace velto::platform::sim {

// Every field is guarded by the runtime lock (SimKernel::mutex_).
struct SimThread {
  int id = 0;
  std::string name;
  std::condition_variable baton;  // signalled when this thread is handed the baton
  bool runnable = false;          // may be picked to run
  bool done = false;              // its routine has returned
  bool handle_open = false;       // a driver still holds its reference
  // What it waits for while blocked.
  WaitKind wait = WaitKind::kNone;
  const void* wait_object = nullptr;
  const char* wait_what = "";
  int64_t wait_since_100ns = 0;
  uint64_t wait_generation = 0;  // tells a stale timeout from the current wait
  uint64_t wait_order = 0;       // FIFO order among waiters on one object
  NTSTATUS wake_status = STATUS_SUCCESS;
  KIRQL irql = KIRQL::PASSIVE_LEVEL;
  std::vector<const KSPIN_LOCK*> held;  // in the order taken
  int32_t priority_increment = 0;
  std::thread os_thread;
};

inline SimThread* from_handle(KTHREAD* handle) {
  return reinterpret_cast<SimThread*>(handle);
}
inline KTHREAD* to_handle(SimThread* thread) {
  return reinterpret_cast<KTHREAD*>(thread);
}

}  // namespace velto::platform::sim

// Thin host tests of the host kernel: real threads, the steady clock and
// loopback UDP. They also run under ThreadSanitizer. Every wait on something
// that should happen is bounded by a generous timeout that only stops a hang;
// the short waits that remain check that something does NOT happen, and hold
// on any machine, however fast or slow.
#include "platform/host/host_kernel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/store/store.h"

namespace velto::platform {
namespace {

constexpr int64_t kGenerous100ns = relative_ms(10'000);  // bounds a hang only
constexpr auto kGenerous = std::chrono::seconds(10);
constexpr int64_t kBriefly100ns = relative_ms(50);  // for "still not happened" checks
constexpr uint32_t kLoopback1 = 0x7F000001;         // 127.0.0.1
constexpr uint32_t kLoopback2 = 0x7F000002;         // 127.0.0.2

struct KernelOnStore {
  explicit KernelOnStore(HostKernelOptions options = {}) : kernel(store, options) {}
  store::Store store = store::Store::open(":memory:");
  HostKernel kernel;
};

class HostKernelFixture : public ::testing::Test {
 protected:
  HostKernel& kernel() { return host_.kernel; }

 private:
  KernelOnStore host_;
};

// --- events -----------------------------------------------------------------

class HostEvents : public HostKernelFixture {};

struct EventWaiter {
  HostKernel* kernel = nullptr;
  KEVENT* event = nullptr;
  std::atomic<int>* released = nullptr;
  std::atomic<int>* first_released = nullptr;  // index of the first waiter through
  KEVENT* through = nullptr;                   // set by every waiter released
  int index = 0;
  KTHREAD* thread = nullptr;
};

void wait_on_event(void* context) {
  auto* waiter = static_cast<EventWaiter*>(context);
  EXPECT_EQ(waiter->kernel->current_irql(), KIRQL::PASSIVE_LEVEL);
  EXPECT_EQ(waiter->kernel->wait_for_single_object(*waiter->event, kGenerous100ns), STATUS_SUCCESS);
  int none = -1;
  waiter->first_released->compare_exchange_strong(none, waiter->index);
  waiter->released->fetch_add(1);
  waiter->kernel->set_event(*waiter->through, IO_NO_INCREMENT);
}

// The waiters' records must stay put while their threads run: `waiters` is
// sized by the caller and not resized afterwards.
void start_waiters(HostKernel& kernel, KEVENT& event, std::vector<EventWaiter>& waiters,
                   std::atomic<int>& released, std::atomic<int>& first, KEVENT& through) {
  for (size_t i = 0; i < waiters.size(); ++i) {
    waiters[i] =
        EventWaiter{&kernel, &event, &released, &first, &through, static_cast<int>(i), nullptr};
  }
  for (auto& waiter : waiters) {
    EXPECT_EQ(kernel.create_system_thread(wait_on_event, &waiter, "waiter", &waiter.thread),
              STATUS_SUCCESS);
  }
}

TEST_F(HostEvents, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT event;
  KEVENT through;
  kernel().initialize_event(event, EVENT_TYPE::SynchronizationEvent, false, "sync");
  kernel().initialize_event(through, EVENT_TYPE::SynchronizationEvent, false, "through");
  std::atomic<int> released{0};
  std::atomic<int> first{-1};
  std::vector<EventWaiter> waiters(2);
  start_waiters(kernel(), event, waiters, released, first, through);

  EXPECT_FALSE(kernel().set_event(event, IO_NO_INCREMENT));
  ASSERT_EQ(kernel().wait_for_single_object(through, kGenerous100ns), STATUS_SUCCESS);
  // The waiter that took the signal consumed it, so the other one waits on.
  KTHREAD* taker = waiters[first.load()].thread;
  KTHREAD* other = waiters[1 - first.load()].thread;
  EXPECT_EQ(kernel().wait_for_thread(taker, kGenerous100ns), STATUS_SUCCESS);
  EXPECT_EQ(kernel().wait_for_thread(other, kBriefly100ns), STATUS_TIMEOUT);
  EXPECT_EQ(released.load(), 1);
  EXPECT_FALSE(kernel().read_state_event(event));

  EXPECT_FALSE(kernel().set_event(event, IO_NO_INCREMENT));
  EXPECT_EQ(kernel().wait_for_thread(other, kGenerous100ns), STATUS_SUCCESS);
  EXPECT_EQ(released.load(), 2);
  EXPECT_FALSE(kernel().read_state_event(event));
  for (auto& waiter : waiters) kernel().close_thread(waiter.thread);
}

TEST_F(HostEvents, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KEVENT through;
  kernel().initialize_event(event, EVENT_TYPE::NotificationEvent, false, "notification");
  kernel().initialize_event(through, EVENT_TYPE::NotificationEvent, false, "through");
  std::atomic<int> released{0};
  std::atomic<int> first{-1};
  std::vector<EventWaiter> waiters(3);
  start_waiters(kernel(), event, waiters, released, first, through);

  EXPECT_FALSE(kernel().set_event(event, IO_NO_INCREMENT));
  for (auto& waiter : waiters) {
    EXPECT_EQ(kernel().wait_for_thread(waiter.thread, kGenerous100ns), STATUS_SUCCESS);
    kernel().close_thread(waiter.thread);
  }
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(kernel().set_event(event, IO_NO_INCREMENT));  // was still signalled
  kernel().clear_event(event);
  EXPECT_FALSE(kernel().read_state_event(event));
}

TEST_F(HostEvents, WaitEndsAtItsTimeoutAndNotBefore) {
  struct Case {
    const char* name;
    bool absolute;
    int64_t ms;
  };
  const Case cases[] = {{"relative", false, 20}, {"absolute", true, 20}, {"poll", false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KEVENT event;
    kernel().initialize_event(event, EVENT_TYPE::NotificationEvent, false, "never set");
    const int64_t deadline = kernel().query_system_time() - relative_ms(c.ms);
    const int64_t timeout = c.absolute ? deadline : relative_ms(c.ms);
    EXPECT_EQ(kernel().wait_for_single_object(event, timeout), STATUS_TIMEOUT);
    EXPECT_GE(kernel().query_system_time(), deadline);
  }
}

TEST_F(HostEvents, SignalledSynchronizationEventIsConsumedByOneWait) {
  KEVENT event;
  kernel().initialize_event(event, EVENT_TYPE::SynchronizationEvent, true, "set at start");
  EXPECT_EQ(kernel().wait_for_single_object(event, 0), STATUS_SUCCESS);
  EXPECT_EQ(kernel().wait_for_single_object(event, 0), STATUS_TIMEOUT);
}

// --- spin locks -------------------------------------------------------------

class HostSpinLocks : public HostKernelFixture {};

struct LockContender {
  HostKernel* kernel = nullptr;
  KSPIN_LOCK* lock = nullptr;  // nullptr: the cancel spin lock
  int* counter = nullptr;      // deliberately not atomic: the lock guards it
  std::atomic<bool>* inside = nullptr;
  std::atomic<int>* violations = nullptr;
};

constexpr int kContenders = 4;
constexpr int kRoundsPerContender = 5'000;

void contend(void* context) {
  auto* c = static_cast<LockContender*>(context);
  for (int round = 0; round < kRoundsPerContender; ++round) {
    const KIRQL old =
        c->lock ? c->kernel->acquire_spin_lock(*c->lock) : c->kernel->acquire_cancel_spin_lock();
    if (c->inside->exchange(true)) c->violations->fetch_add(1);
    if (c->kernel->current_irql() != KIRQL::DISPATCH_LEVEL) c->violations->fetch_add(1);
    ++*c->counter;
    c->inside->store(false);
    if (c->lock) {
      c->kernel->release_spin_lock(*c->lock, old);
    } else {
      c->kernel->release_cancel_spin_lock(old);
    }
    if (c->kernel->current_irql() != KIRQL::PASSIVE_LEVEL) c->violations->fetch_add(1);
  }
}

TEST_F(HostSpinLocks, HoldersExcludeEachOtherAcrossThreads) {
  KSPIN_LOCK port_lock;
  kernel().initialize_spin_lock(port_lock, LockClass::kPortLock, "port lock");
  for (KSPIN_LOCK* lock : {&port_lock, static_cast<KSPIN_LOCK*>(nullptr)}) {
    SCOPED_TRACE(lock ? "port lock" : "cancel spin lock");
    int counter = 0;
    std::atomic<bool> inside{false};
    std::atomic<int> violations{0};
    LockContender contender{&kernel(), lock, &counter, &inside, &violations};
    KTHREAD* threads[kContenders] = {};
    for (KTHREAD*& thread : threads) {
      ASSERT_EQ(kernel().create_system_thread(contend, &contender, "contender", &thread),
                STATUS_SUCCESS);
    }
    for (KTHREAD* thread : threads) {
      EXPECT_EQ(kernel().wait_for_thread(thread, kGenerous100ns), STATUS_SUCCESS);
      kernel().close_thread(thread);
    }
    EXPECT_EQ(counter, kContenders * kRoundsPerContender);
    EXPECT_EQ(violations.load(), 0);
  }
}

TEST_F(HostSpinLocks, NestedLocksRestoreTheLevelOnRelease) {
  KSPIN_LOCK port_lock;
  kernel().initialize_spin_lock(port_lock, LockClass::kPortLock, "port lock");
  const KIRQL outer = kernel().acquire_spin_lock(port_lock);
  const KIRQL inner = kernel().acquire_cancel_spin_lock();
  EXPECT_EQ(outer, KIRQL::PASSIVE_LEVEL);
  EXPECT_EQ(inner, KIRQL::DISPATCH_LEVEL);
  kernel().release_cancel_spin_lock(inner);
  EXPECT_EQ(kernel().current_irql(), KIRQL::DISPATCH_LEVEL);
  kernel().release_spin_lock(port_lock, outer);
  EXPECT_EQ(kernel().current_irql(), KIRQL::PASSIVE_LEVEL);
}

// Programmer errors end the process with a message naming the culprit.
class HostChecks : public HostKernelFixture {};

TEST_F(HostChecks, MisuseAbortsWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    std::function<void(HostKernel&, KSPIN_LOCK&, KEVENT&)> misuse;
    const char* message;
  };
  const Case cases[] = {
      {"release not held",
       [](HostKernel& k, KSPIN_LOCK& l, KEVENT&) { k.release_spin_lock(l, KIRQL::PASSIVE_LEVEL); },
       "velto kernel: release of a spin lock not held: test lock"},
      {"wait under a spin lock",
       [](HostKernel& k, KSPIN_LOCK& l, KEVENT& e) {
         (void)k.acquire_spin_lock(l);
         (void)k.wait_for_single_object(e, relative_ms(1));
       },
       "velto kernel: wait_for_single_object at dispatch level on test event while holding test "
       "lock"},
      {"acquire twice",
       [](HostKernel& k, KSPIN_LOCK& l, KEVENT&) {
         (void)k.acquire_spin_lock(l);
         (void)k.acquire_spin_lock(l);
       },
       "velto kernel: spin lock acquired twice by one thread: test lock"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KSPIN_LOCK lock;
    kernel().initialize_spin_lock(lock, LockClass::kUnclassified, "test lock");
    KEVENT event;
    kernel().initialize_event(event, EVENT_TYPE::NotificationEvent, false, "test event");
    EXPECT_DEATH(c.misuse(kernel(), lock, event), c.message);
  }
}

// --- DPCs -------------------------------------------------------------------

class HostDpcs : public HostKernelFixture {};

struct DpcProbe {
  HostKernel* kernel = nullptr;
  KEVENT ran;  // set after every run
  std::atomic<int> runs{0};
  std::atomic<void*> last_arg1{nullptr};
  std::atomic<bool> ran_at_dispatch{true};
  std::atomic<int> requeues_left{0};
  std::atomic<int64_t> last_run_100ns{0};
};

void probe_routine(KDPC* dpc, void* context, void* arg1, void*) {
  auto* probe = static_cast<DpcProbe*>(context);
  probe->runs.fetch_add(1);
  probe->last_arg1.store(arg1);
  probe->last_run_100ns.store(probe->kernel->query_system_time());
  if (probe->kernel->current_irql() != KIRQL::DISPATCH_LEVEL) probe->ran_at_dispatch.store(false);
  if (probe->requeues_left.fetch_sub(1) > 0) {
    EXPECT_TRUE(probe->kernel->insert_queue_dpc(*dpc, arg1, nullptr));
    return;
  }
  probe->kernel->set_event(probe->ran, IO_NO_INCREMENT);
}

// A DPC and its probe, initialised together.
struct ProbedDpc {
  ProbedDpc(HostKernel& kernel, const char* name) {
    probe.kernel = &kernel;
    kernel.initialize_event(probe.ran, EVENT_TYPE::SynchronizationEvent, false, name);
    kernel.initialize_dpc(dpc, probe_routine, &probe, name);
  }
  DpcProbe probe;
  KDPC dpc;
};

// Holds the DPC worker inside a long-running DPC until opened, so that the
// DPCs queued meanwhile stay queued. The test thread stays at passive level,
// free to wait.
class DpcGate {
 public:
  explicit DpcGate(HostKernel& kernel) : kernel_(kernel) {
    kernel.initialize_dpc(dpc_, &DpcGate::pass, this, "gate");
    EXPECT_TRUE(kernel.insert_queue_dpc(dpc_, nullptr, nullptr));
  }
  // Also on an early exit from the test: the gate DPC must be done before
  // the gate goes away.
  ~DpcGate() {
    open();
    kernel_.flush_queued_dpcs();
  }
  void open() {
    open_.store(true);
    open_.notify_all();
  }

 private:
  static void pass(KDPC*, void* context, void*, void*) {
    static_cast<DpcGate*>(context)->open_.wait(false);
  }
  HostKernel& kernel_;
  std::atomic<bool> open_{false};
  KDPC dpc_;
};

TEST_F(HostDpcs, InsertWhileQueuedCoalesces) {
  ProbedDpc work(kernel(), "work");
  int first = 1;
  int second = 2;
  DpcGate gate(kernel());
  EXPECT_TRUE(kernel().insert_queue_dpc(work.dpc, &first, nullptr));
  EXPECT_FALSE(kernel().insert_queue_dpc(work.dpc, &second, nullptr));
  gate.open();
  kernel().flush_queued_dpcs();
  EXPECT_EQ(work.probe.runs.load(), 1);
  EXPECT_EQ(work.probe.last_arg1.load(), &first);  // the second insert changed nothing
  EXPECT_TRUE(work.probe.ran_at_dispatch.load());
}

TEST_F(HostDpcs, RemoveTakesAQueuedDpcOut) {
  ProbedDpc work(kernel(), "work");
  DpcGate gate(kernel());
  EXPECT_TRUE(kernel().insert_queue_dpc(work.dpc, nullptr, nullptr));
  EXPECT_TRUE(kernel().remove_queue_dpc(work.dpc));
  EXPECT_FALSE(kernel().remove_queue_dpc(work.dpc));
  gate.open();
  kernel().flush_queued_dpcs();
  EXPECT_EQ(work.probe.runs.load(), 0);
}

void flush_dpcs(void* context) {
  static_cast<HostKernel*>(context)->flush_queued_dpcs();
}

TEST_F(HostDpcs, FlushWaitsForQueuedAndRunningRoutines) {
  ProbedDpc work(kernel(), "work");
  DpcGate gate(kernel());  // the worker is held inside the gate DPC
  EXPECT_TRUE(kernel().insert_queue_dpc(work.dpc, nullptr, nullptr));
  KTHREAD* flusher = nullptr;
  ASSERT_EQ(kernel().create_system_thread(flush_dpcs, &kernel(), "flusher", &flusher),
            STATUS_SUCCESS);
  EXPECT_EQ(kernel().wait_for_thread(flusher, kBriefly100ns), STATUS_TIMEOUT);
  gate.open();
  EXPECT_EQ(kernel().wait_for_thread(flusher, kGenerous100ns), STATUS_SUCCESS);
  EXPECT_EQ(work.probe.runs.load(), 1);
  kernel().close_thread(flusher);
}

TEST_F(HostDpcs, RoutineMayQueueItselfAgain) {
  ProbedDpc work(kernel(), "work");
  work.probe.requeues_left.store(4);
  ASSERT_TRUE(kernel().insert_queue_dpc(work.dpc, nullptr, nullptr));
  ASSERT_EQ(kernel().wait_for_single_object(work.probe.ran, kGenerous100ns), STATUS_SUCCESS);
  EXPECT_EQ(work.probe.runs.load(), 5);
  EXPECT_TRUE(work.probe.ran_at_dispatch.load());
}

// --- timers -----------------------------------------------------------------

class HostTimers : public HostKernelFixture {};

TEST_F(HostTimers, ExpiryQueuesTheDpcNoEarlierThanDue) {
  for (const bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute" : "relative");
    ProbedDpc expiry(kernel(), "expiry");
    KTIMER timer;
    kernel().initialize_timer(timer);
    const int64_t due = kernel().query_system_time() - relative_ms(10);
    EXPECT_FALSE(kernel().set_timer(timer, absolute ? due : relative_ms(10), &expiry.dpc));
    ASSERT_EQ(kernel().wait_for_single_object(expiry.probe.ran, kGenerous100ns), STATUS_SUCCESS);
    EXPECT_GE(expiry.probe.last_run_100ns.load(), due);
    EXPECT_EQ(expiry.probe.runs.load(), 1);
    EXPECT_FALSE(kernel().cancel_timer(timer));  // it expired, so it is no longer set
  }
}

TEST_F(HostTimers, CancelledTimerDoesNotFire) {
  ProbedDpc cancelled(kernel(), "cancelled");
  ProbedDpc later(kernel(), "later");
  KTIMER early_timer;
  KTIMER later_timer;
  kernel().initialize_timer(early_timer);
  kernel().initialize_timer(later_timer);
  EXPECT_FALSE(kernel().set_timer(early_timer, relative_ms(20), &cancelled.dpc));
  EXPECT_TRUE(kernel().cancel_timer(early_timer));
  EXPECT_FALSE(kernel().cancel_timer(early_timer));
  // Timers expire in due order and DPCs run in queue order, so had the early
  // timer survived, its DPC would have run before this one.
  EXPECT_FALSE(kernel().set_timer(later_timer, relative_ms(60), &later.dpc));
  ASSERT_EQ(kernel().wait_for_single_object(later.probe.ran, kGenerous100ns), STATUS_SUCCESS);
  EXPECT_EQ(cancelled.probe.runs.load(), 0);
}

TEST_F(HostTimers, SettingAgainReportsItAndReArms) {
  ProbedDpc expiry(kernel(), "expiry");
  KTIMER timer;
  kernel().initialize_timer(timer);
  EXPECT_FALSE(kernel().set_timer(timer, relative_ms(600'000), &expiry.dpc));
  EXPECT_TRUE(kernel().set_timer(timer, relative_ms(10), &expiry.dpc));
  ASSERT_EQ(kernel().wait_for_single_object(expiry.probe.ran, kGenerous100ns), STATUS_SUCCESS);
  EXPECT_EQ(expiry.probe.runs.load(), 1);
  EXPECT_FALSE(kernel().cancel_timer(timer));
}

// --- threads and time --------------------------------------------------------

class HostThreads : public HostKernelFixture {};

struct GoAndFinish {
  HostKernel* kernel = nullptr;
  KEVENT go;
  KEVENT finished;
};

void wait_for_go(void* context) {
  auto* c = static_cast<GoAndFinish*>(context);
  EXPECT_EQ(c->kernel->wait_for_single_object(c->go, kGenerous100ns), STATUS_SUCCESS);
  c->kernel->set_event(c->finished, IO_NO_INCREMENT);
}

TEST_F(HostThreads, ClosingTheReferenceLeavesTheThreadRunning) {
  GoAndFinish c;
  c.kernel = &kernel();
  kernel().initialize_event(c.go, EVENT_TYPE::NotificationEvent, false, "go");
  kernel().initialize_event(c.finished, EVENT_TYPE::NotificationEvent, false, "finished");
  KTHREAD* thread = nullptr;
  ASSERT_EQ(kernel().create_system_thread(wait_for_go, &c, "go and finish", &thread),
            STATUS_SUCCESS);
  EXPECT_EQ(kernel().wait_for_thread(thread, kBriefly100ns), STATUS_TIMEOUT);
  kernel().close_thread(thread);
  kernel().set_event(c.go, IO_NO_INCREMENT);
  EXPECT_EQ(kernel().wait_for_single_object(c.finished, kGenerous100ns), STATUS_SUCCESS);
}

TEST_F(HostThreads, DelayLastsAtLeastItsInterval) {
  for (const bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute" : "relative");
    const int64_t until = kernel().query_system_time() - relative_ms(5);
    EXPECT_EQ(kernel().delay_execution_thread(absolute ? until : relative_ms(5)), STATUS_SUCCESS);
    EXPECT_GE(kernel().query_system_time(), until);
  }
}

// --- UDP transport ------------------------------------------------------------

class HostUdp : public ::testing::Test {};

// The tests' ports: high enough to need no privilege, and tried in turn.
constexpr uint16_t kFirstTestPort = 25519;
constexpr int kPortTries = 64;
// The kernels' sockets share their port (SO_REUSEADDR), so two test processes
// that ctest runs side by side could bind the same port and steal each
// other's datagrams. A test therefore first claims its port with an
// exclusive socket on an otherwise unused loopback address, which a second
// claim of the same port fails on, and which no kernel socket conflicts with.
constexpr uint32_t kClaimAddress = 0x7F0000FD;  // 127.0.0.253

std::vector<uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

struct Receipt {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ReceivedDatagram datagram;
  std::vector<uint8_t> bytes;
};

// Receives on a thread of its own so that a lost datagram fails the test
// instead of hanging it: past the timeout the address is closed, which ends
// the receive.
Receipt receive_within(HostKernel& kernel, TransportAddress* address, size_t buffer_bytes,
                       std::chrono::milliseconds timeout = kGenerous) {
  auto receive = std::async(std::launch::async, [&kernel, address, buffer_bytes] {
    Receipt r;
    r.bytes.resize(buffer_bytes);
    r.status = kernel.receive_datagram(address, 0, 0, r.bytes, &r.datagram);
    r.bytes.resize(r.datagram.length);
    return r;
  });
  if (receive.wait_for(timeout) != std::future_status::ready) {
    kernel.close_transport_address(address);
  }
  return receive.get();
}

// Binds a socket without SO_REUSEADDR to ip:port (0: any free port).
// Returns the descriptor, or -1 when the port is taken.
int bind_exclusive(uint32_t ip, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(ip);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

uint16_t port_of(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

// Two kernels on 127.0.0.1 and 127.0.0.2, each with an address on one port.
struct LoopbackPair {
  KernelOnStore a{HostKernelOptions{kLoopback1, false}};
  KernelOnStore b{HostKernelOptions{kLoopback2, false}};
  TransportAddress* address_a = nullptr;
  TransportAddress* address_b = nullptr;
  uint16_t port = 0;
  int claim = -1;

  LoopbackPair() {
    for (int i = 0; i < kPortTries && port == 0; ++i) {
      const auto candidate = static_cast<uint16_t>(kFirstTestPort + i);
      claim = bind_exclusive(kClaimAddress, candidate);
      if (claim < 0) continue;
      if (a.kernel.open_transport_address(candidate, &address_a) == STATUS_SUCCESS) {
        if (b.kernel.open_transport_address(candidate, &address_b) == STATUS_SUCCESS) {
          port = candidate;
          break;
        }
        close(a.kernel, address_a);
      }
      ::close(claim);
      claim = -1;
    }
  }
  ~LoopbackPair() {
    if (port == 0) return;
    close(a.kernel, address_a);
    close(b.kernel, address_b);
    ::close(claim);
    EXPECT_EQ(a.kernel.open_transport_addresses(), 0u);
    EXPECT_EQ(b.kernel.open_transport_addresses(), 0u);
  }
  static void close(HostKernel& kernel, TransportAddress*& address) {
    kernel.close_transport_address(address);
    kernel.release_transport_address(address);
    address = nullptr;
  }
};

TEST_F(HostUdp, TwoLoopbackAddressesShareOnePort) {
  LoopbackPair pair;
  ASSERT_NE(pair.port, 0) << "no free port in the test range on both addresses";
  const std::vector<uint8_t> ping = bytes_of("ping");
  ASSERT_EQ(pair.a.kernel.send_datagram(pair.address_a, kLoopback2, pair.port, ping),
            STATUS_SUCCESS);
  Receipt at_b = receive_within(pair.b.kernel, pair.address_b, 64);
  ASSERT_EQ(at_b.status, STATUS_SUCCESS);
  EXPECT_EQ(at_b.bytes, ping);
  EXPECT_EQ(at_b.datagram.sender_ip, kLoopback1);
  EXPECT_EQ(at_b.datagram.sender_port, pair.port);

  const std::vector<uint8_t> pong = bytes_of("pong");
  ASSERT_EQ(pair.b.kernel.send_datagram(pair.address_b, kLoopback1, pair.port, pong),
            STATUS_SUCCESS);
  Receipt at_a = receive_within(pair.a.kernel, pair.address_a, 64);
  ASSERT_EQ(at_a.status, STATUS_SUCCESS);
  EXPECT_EQ(at_a.bytes, pong);
  EXPECT_EQ(at_a.datagram.sender_ip, kLoopback2);
  EXPECT_EQ(at_a.datagram.sender_port, pair.port);
}

TEST_F(HostUdp, LongDatagramIsCutToTheBuffer) {
  LoopbackPair pair;
  ASSERT_NE(pair.port, 0);
  std::vector<uint8_t> long_one(100);
  for (size_t i = 0; i < long_one.size(); ++i) long_one[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(pair.a.kernel.send_datagram(pair.address_a, kLoopback2, pair.port, long_one),
            STATUS_SUCCESS);
  ASSERT_EQ(pair.a.kernel.send_datagram(pair.address_a, kLoopback2, pair.port, bytes_of("abc")),
            STATUS_SUCCESS);
  Receipt cut = receive_within(pair.b.kernel, pair.address_b, 10);
  ASSERT_EQ(cut.status, STATUS_SUCCESS);
  EXPECT_EQ(cut.bytes, std::vector<uint8_t>(long_one.begin(), long_one.begin() + 10));
  // The rest of the long datagram is gone; the next receive gets the next one.
  Receipt next = receive_within(pair.b.kernel, pair.address_b, 10);
  ASSERT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.bytes, bytes_of("abc"));
}

TEST_F(HostUdp, CloseFailsBlockedAndLaterReceivesPromptly) {
  KernelOnStore host{HostKernelOptions{kLoopback1, false}};
  HostKernel& kernel = host.kernel;
  TransportAddress* address = nullptr;
  ASSERT_EQ(kernel.open_transport_address(0, &address), STATUS_SUCCESS);
  auto receive = [&kernel, address] {
    uint8_t buffer[16];
    ReceivedDatagram datagram;
    return kernel.receive_datagram(address, 0, 0, buffer, &datagram);
  };
  auto first = std::async(std::launch::async, receive);
  auto second = std::async(std::launch::async, receive);
  // Nothing was sent, so neither receive may end before the close.
  EXPECT_EQ(first.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  kernel.close_transport_address(address);
  ASSERT_EQ(first.wait_for(kGenerous), std::future_status::ready);
  ASSERT_EQ(second.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(first.get(), STATUS_CANCELLED);
  EXPECT_EQ(second.get(), STATUS_CANCELLED);
  EXPECT_EQ(receive(), STATUS_CANCELLED);
  EXPECT_EQ(kernel.send_datagram(address, kLoopback1, 9, bytes_of("x")), STATUS_CANCELLED);
  kernel.release_transport_address(address);
  EXPECT_EQ(kernel.open_transport_addresses(), 0u);
}

TEST_F(HostUdp, SendToAPortNobodyListensOnLeavesTheAddressUsable) {
  LoopbackPair pair;
  ASSERT_NE(pair.port, 0);
  // A port that nothing listens on: bound, read and let go.
  const int probe = bind_exclusive(kLoopback1, 0);
  ASSERT_GE(probe, 0);
  const uint16_t silent_port = port_of(probe);
  ::close(probe);
  ASSERT_NE(silent_port, 0);
  for (int i = 0; i < 3; ++i) {
    const NTSTATUS status =
        pair.b.kernel.send_datagram(pair.address_b, kLoopback1, silent_port, bytes_of("lost"));
    EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_CONNECTION_REFUSED);
  }
  // The port-unreachable reports must not disturb the next exchange.
  ASSERT_EQ(pair.a.kernel.send_datagram(pair.address_a, kLoopback2, pair.port, bytes_of("hi")),
            STATUS_SUCCESS);
  Receipt at_b = receive_within(pair.b.kernel, pair.address_b, 16);
  ASSERT_EQ(at_b.status, STATUS_SUCCESS);
  EXPECT_EQ(at_b.bytes, bytes_of("hi"));
}

TEST_F(HostUdp, PortTakenIsReported) {
  KernelOnStore host{HostKernelOptions{kLoopback1, false}};
  HostKernel& kernel = host.kernel;
  // A port held by a socket that does not share it.
  const int exclusive = bind_exclusive(kLoopback1, 0);
  ASSERT_GE(exclusive, 0);
  const uint16_t taken_elsewhere = port_of(exclusive);
  ASSERT_NE(taken_elsewhere, 0);
  TransportAddress* address = nullptr;
  EXPECT_EQ(kernel.open_transport_address(taken_elsewhere, &address),
            STATUS_ADDRESS_ALREADY_EXISTS);
  EXPECT_EQ(address, nullptr);
  const std::vector<std::string> lines = kernel.debug_output();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("cannot open UDP 127.0.0.1:" + std::to_string(taken_elsewhere)),
            std::string::npos);
  ::close(exclusive);

  // One kernel opening its own port twice is refused although the socket
  // option would allow it.
  TransportAddress* first = nullptr;
  ASSERT_EQ(kernel.open_transport_address(taken_elsewhere, &first), STATUS_SUCCESS);
  EXPECT_EQ(kernel.open_transport_address(taken_elsewhere, &address),
            STATUS_ADDRESS_ALREADY_EXISTS);
  kernel.close_transport_address(first);
  kernel.release_transport_address(first);
}

// Concurrent senders and receivers on one pair of addresses.
constexpr int kSenders = 2;
constexpr int kReceivers = 2;
constexpr int kDatagramsPerSender = 32;
constexpr size_t kDatagramsInAll = size_t{kSenders} * kDatagramsPerSender;

struct Traffic {
  HostKernel* kernel = nullptr;
  TransportAddress* address = nullptr;
  uint16_t port = 0;
  std::atomic<int> next_sender{0};
  std::mutex mutex;
  std::set<std::pair<int, int>> seen;  // (sender, sequence), under mutex
  int duplicates = 0;                  // under mutex
  KEVENT all_seen;
};

void send_traffic(void* context) {
  auto* t = static_cast<Traffic*>(context);
  const int sender = t->next_sender.fetch_add(1);
  for (int seq = 0; seq < kDatagramsPerSender; ++seq) {
    const uint8_t payload[2] = {static_cast<uint8_t>(sender), static_cast<uint8_t>(seq)};
    EXPECT_EQ(t->kernel->send_datagram(t->address, kLoopback2, t->port, payload), STATUS_SUCCESS);
  }
}

void receive_traffic(void* context) {
  auto* t = static_cast<Traffic*>(context);
  uint8_t payload[8];
  ReceivedDatagram datagram;
  // Ends when the test closes the address.
  while (t->kernel->receive_datagram(t->address, 0, 0, payload, &datagram) == STATUS_SUCCESS) {
    if (datagram.length != 2) continue;
    std::lock_guard guard(t->mutex);
    if (!t->seen.emplace(payload[0], payload[1]).second) ++t->duplicates;
    if (t->seen.size() == kDatagramsInAll) t->kernel->set_event(t->all_seen, 0);
  }
}

TEST_F(HostUdp, ConcurrentSendersAndReceiversShareAnAddress) {
  LoopbackPair pair;
  ASSERT_NE(pair.port, 0);
  Traffic out;
  out.kernel = &pair.a.kernel;
  out.address = pair.address_a;
  out.port = pair.port;
  Traffic in;
  in.kernel = &pair.b.kernel;
  in.address = pair.address_b;
  in.port = pair.port;
  pair.b.kernel.initialize_event(in.all_seen, EVENT_TYPE::NotificationEvent, false, "all seen");
  std::vector<std::pair<HostKernel*, KTHREAD*>> threads;
  for (int i = 0; i < kReceivers; ++i) {
    KTHREAD* thread = nullptr;
    ASSERT_EQ(pair.b.kernel.create_system_thread(receive_traffic, &in, "receiver", &thread),
              STATUS_SUCCESS);
    threads.emplace_back(&pair.b.kernel, thread);
  }
  for (int i = 0; i < kSenders; ++i) {
    KTHREAD* thread = nullptr;
    ASSERT_EQ(pair.a.kernel.create_system_thread(send_traffic, &out, "sender", &thread),
              STATUS_SUCCESS);
    threads.emplace_back(&pair.a.kernel, thread);
  }
  EXPECT_EQ(pair.b.kernel.wait_for_single_object(in.all_seen, kGenerous100ns), STATUS_SUCCESS);
  pair.b.kernel.close_transport_address(pair.address_b);
  for (auto [kernel, thread] : threads) {
    EXPECT_EQ(kernel->wait_for_thread(thread, kGenerous100ns), STATUS_SUCCESS);
    kernel->close_thread(thread);
  }
  std::lock_guard guard(in.mutex);
  EXPECT_EQ(in.seen.size(), kDatagramsInAll);
  EXPECT_EQ(in.duplicates, 0);
}

}  // namespace
}  // namespace velto::platform

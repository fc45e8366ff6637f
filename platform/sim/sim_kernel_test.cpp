// The simulation kernel's own guarantees: virtual time, replay by seed, hang
// and discipline detection, the semantics of events, DPCs and timers, pool
// accounting and fault injection, and the simulated network's faults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/testing.h"

namespace velto::platform::sim {
namespace {

using ::testing::ElementsAre;

// --- virtual time --------------------------------------------------------------

TEST_F(SimTest, DelaysRunOnVirtualTime) {
  const int64_t start = kernel().query_system_time();
  const uint64_t steps_before = kernel().steps();
  // The open handshake's longest schedule: 11 x (50 ms + 100 x 20 ms).
  for (int attempt = 0; attempt < 11; ++attempt) {
    EXPECT_EQ(kernel().delay_execution_thread(relative_ms(50)), STATUS_SUCCESS);
    for (int poll = 0; poll < 100; ++poll) {
      ASSERT_EQ(kernel().delay_execution_thread(relative_ms(20)), STATUS_SUCCESS);
    }
  }
  EXPECT_EQ(kernel().query_system_time() - start, 22'550 * 10'000);
  // Each delay is one jump of the clock, not a wait: the cost is a handful of
  // steps per delay, whatever the delay's length (bench/ measures the time).
  EXPECT_LT(kernel().steps() - steps_before, 11u * 101u * 4u);
}

struct TimedWaiter {
  Kernel* kernel;
  KEVENT* event;
  NTSTATUS result = STATUS_PENDING;
  int64_t woke_at = 0;
};

void timed_waiter(void* context) {
  auto* w = static_cast<TimedWaiter*>(context);
  w->result = w->kernel->wait_for_single_object(*w->event, relative_ms(200));
  w->woke_at = w->kernel->query_system_time();
}

TEST_F(SimTest, TimedWaitEndsWithTimeoutAtItsDeadline) {
  KEVENT never;
  kernel().initialize_event(never, EVENT_TYPE::NotificationEvent, false, "never");
  TimedWaiter w{&kernel(), &never};
  const int64_t start = kernel().query_system_time();
  KTHREAD* thread = nullptr;
  ASSERT_EQ(kernel().create_system_thread(timed_waiter, &w, "waiter", &thread), STATUS_SUCCESS);
  ASSERT_EQ(kernel().wait_for_thread(thread, std::nullopt), STATUS_SUCCESS);
  kernel().close_thread(thread);
  EXPECT_EQ(w.result, STATUS_TIMEOUT);
  EXPECT_EQ(w.woke_at - start, 200 * 10'000);
}

// --- replay ------------------------------------------------------------------------

struct Workload {
  Kernel* kernel = nullptr;
  KSPIN_LOCK lock;
  KEVENT go;
  KDPC dpc;
  KTIMER timer;
  std::vector<int> order;  // under lock
  int dpc_runs = 0;
};

void workload_thread(void* context) {
  auto* w = static_cast<Workload*>(context);
  (void)w->kernel->wait_for_single_object(w->go, std::nullopt);
  for (int i = 0; i < 20; ++i) {
    const KIRQL irql = w->kernel->acquire_spin_lock(w->lock);
    w->order.push_back(static_cast<int>(w->order.size()));
    w->kernel->release_spin_lock(w->lock, irql);
    (void)w->kernel->delay_execution_thread(relative_ms(1 + i % 3));
    w->kernel->insert_queue_dpc(w->dpc, nullptr, nullptr);
  }
}

void workload_dpc(KDPC*, void* context, void*, void*) {
  auto* w = static_cast<Workload*>(context);
  ++w->dpc_runs;
  w->kernel->set_timer(w->timer, relative_ms(5), nullptr);
}

uint64_t run_workload(uint64_t seed) {
  auto store = store::Store::open(":memory:");
  SimKernel kernel(store, SimOptions{.seed = seed});
  Workload w;
  w.kernel = &kernel;
  kernel.initialize_spin_lock(w.lock, LockClass::kUnclassified, "workload lock");
  kernel.initialize_event(w.go, EVENT_TYPE::NotificationEvent, false, "go");
  kernel.initialize_dpc(w.dpc, workload_dpc, &w, "workload dpc");
  kernel.initialize_timer(w.timer);
  std::vector<KTHREAD*> threads(4);
  for (auto& t : threads)
    EXPECT_EQ(kernel.create_system_thread(workload_thread, &w, "worker", &t), STATUS_SUCCESS);
  kernel.set_event(w.go, 0);
  for (auto* t : threads) {
    EXPECT_EQ(kernel.wait_for_thread(t, std::nullopt), STATUS_SUCCESS);
    kernel.close_thread(t);
  }
  kernel.cancel_timer(w.timer);
  EXPECT_EQ(w.order.size(), 80u);
  return kernel.trace_hash();
}

TEST(SimReplay, SameSeedGivesSameTraceAndOtherSeedsDiffer) {
  for (uint64_t seed : {1ull, 42ull, 0xDEADBEEFull}) {
    SCOPED_TRACE(testing::Message() << "SIM_SEED=" << seed);
    EXPECT_EQ(run_workload(seed), run_workload(seed));
  }
  EXPECT_NE(run_workload(1), run_workload(2));
}

// --- hangs and discipline ------------------------------------------------------------

void dpc_that_waits(KDPC*, void* context, void*, void*) {
  auto* kernel = static_cast<Kernel*>(context);
  (void)kernel->delay_execution_thread(relative_ms(1));
}

constexpr uint32_t kLeakTag = make_pool_tag("Leak");

NTSTATUS leaking_entry(DRIVER_OBJECT* driver, const UNICODE_STRING*) {
  (void)driver->kernel->allocate_pool_with_tag(POOL_TYPE::NonPagedPool, 8, kLeakTag);
  driver->DriverUnload = [](DRIVER_OBJECT*) {};
  return STATUS_SUCCESS;
}

// A run that breaks a rule, and what the report must say about it.
struct Violation {
  const char* name;
  void (*run)(SimKernel& kernel);
  const char* report;
};

const Violation kViolations[] = {
    {"HangNamesTheBlockedThreadAndTheSeed",
     [](SimKernel& kernel) {
       KEVENT never;
       kernel.initialize_event(never, EVENT_TYPE::NotificationEvent, false, "the reply event");
       (void)kernel.wait_for_single_object(never, std::nullopt);
     },
     "hang(.|\n)*seed 99(.|\n)*main: blocked on event 'the reply event'"},
    {"WaitingWhileHoldingASpinLock",
     [](SimKernel& kernel) {
       KSPIN_LOCK lock;
       kernel.initialize_spin_lock(lock, LockClass::kPortLock, "PortLock");
       (void)kernel.acquire_spin_lock(lock);
       (void)kernel.delay_execution_thread(relative_ms(1));
     },
     "main waits \\(delay\\) while holding PortLock"},
    {"PortLockAfterTheCancelSpinLock",
     [](SimKernel& kernel) {
       KSPIN_LOCK port_lock;
       kernel.initialize_spin_lock(port_lock, LockClass::kPortLock, "PortLock");
       (void)kernel.acquire_cancel_spin_lock();
       (void)kernel.acquire_spin_lock(port_lock);
     },
     "lock order: main takes PortLock while holding cancel spin lock"},
    {"WaitingInADpc",
     [](SimKernel& kernel) {
       KDPC dpc;
       kernel.initialize_dpc(dpc, dpc_that_waits, &kernel, "waiting dpc");
       kernel.insert_queue_dpc(dpc, nullptr, nullptr);
       (void)kernel.delay_execution_thread(relative_ms(10));
     },
     "dpc waits \\(delay\\) at DPC level"},
    {"FreeingMemoryThatHoldsAnArmedTimer",
     [](SimKernel& kernel) {
       auto* timer = static_cast<KTIMER*>(
           kernel.allocate_pool_with_tag(POOL_TYPE::NonPagedPool, sizeof(KTIMER), 1));
       new (timer) KTIMER{};
       kernel.set_timer(*timer, relative_ms(10), nullptr);
       kernel.free_pool(timer);
     },
     "freed memory holds an armed timer"},
    {"DriverLeavingPoolBlocksAtUnload",
     [](SimKernel& kernel) {
       NTSTATUS status = STATUS_SUCCESS;
       kernel.unload_driver(kernel.load_driver(u"Leaky", u"", leaking_entry, &status, kLeakTag));
     },
     "Leaky left 1 pool block\\(s\\) after unload"},
};

class SimFailureDeathTest : public ::testing::TestWithParam<Violation> {};

TEST_P(SimFailureDeathTest, IsReportedWithWhatHappened) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto store = store::Store::open(":memory:");
        SimKernel kernel(store, SimOptions{.seed = 99});
        GetParam().run(kernel);
      },
      GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(Sim, SimFailureDeathTest, ::testing::ValuesIn(kViolations),
                         [](const auto& info) { return std::string(info.param.name); });

// --- events, DPCs and timers -----------------------------------------------------------

struct EventWaiters {
  Kernel* kernel = nullptr;
  KEVENT event;
  int woken = 0;
};

void event_waiter(void* context) {
  auto* w = static_cast<EventWaiters*>(context);
  if (w->kernel->wait_for_single_object(w->event, relative_ms(100)) == STATUS_SUCCESS) ++w->woken;
}

int woken_by_one_set(SimKernel& kernel, EVENT_TYPE type) {
  EventWaiters w;
  w.kernel = &kernel;
  kernel.initialize_event(w.event, type, false, "event");
  KTHREAD* threads[3];
  for (auto*& t : threads)
    EXPECT_EQ(kernel.create_system_thread(event_waiter, &w, "waiter", &t), STATUS_SUCCESS);
  (void)kernel.delay_execution_thread(relative_ms(10));  // every waiter is waiting by now
  kernel.set_event(w.event, 0);
  for (auto* t : threads) {
    EXPECT_EQ(kernel.wait_for_thread(t, std::nullopt), STATUS_SUCCESS);
    kernel.close_thread(t);
  }
  return w.woken;
}

TEST_F(SimTest, SynchronizationEventReleasesOneWaiterNotificationEventAll) {
  EXPECT_EQ(woken_by_one_set(kernel(), EVENT_TYPE::SynchronizationEvent), 1);
  EXPECT_EQ(woken_by_one_set(kernel(), EVENT_TYPE::NotificationEvent), 3);
}

struct DpcLog {
  Kernel* kernel = nullptr;
  std::vector<int64_t> runs;  // virtual times
};

void log_dpc(KDPC*, void* context, void*, void*) {
  auto* log = static_cast<DpcLog*>(context);
  log->runs.push_back(log->kernel->query_system_time());
}

class SimNoPreemptTest : public SimTest {
  SimOptions options() override { return SimOptions{.preempt_probability = 0.0}; }
};

TEST_F(SimNoPreemptTest, DpcInsertCoalescesAndRemoveTakesItBack) {
  DpcLog log;
  log.kernel = &kernel();
  KDPC dpc;
  kernel().initialize_dpc(dpc, log_dpc, &log, "log");
  // Without preemption the DPC worker runs only once this thread waits.
  EXPECT_TRUE(kernel().insert_queue_dpc(dpc, nullptr, nullptr));
  EXPECT_FALSE(kernel().insert_queue_dpc(dpc, nullptr, nullptr));
  (void)kernel().delay_execution_thread(relative_ms(1));
  EXPECT_EQ(log.runs.size(), 1u);

  EXPECT_TRUE(kernel().insert_queue_dpc(dpc, nullptr, nullptr));
  EXPECT_TRUE(kernel().remove_queue_dpc(dpc));
  EXPECT_FALSE(kernel().remove_queue_dpc(dpc));
  (void)kernel().delay_execution_thread(relative_ms(1));
  EXPECT_EQ(log.runs.size(), 1u);
}

TEST_F(SimTest, TimerFiresItsDpcOnceAndCancelReportsWhetherItWasSet) {
  DpcLog log;
  log.kernel = &kernel();
  KDPC dpc;
  KTIMER timer;
  kernel().initialize_dpc(dpc, log_dpc, &log, "timer dpc");
  kernel().initialize_timer(timer);
  const int64_t start = kernel().query_system_time();

  EXPECT_FALSE(kernel().set_timer(timer, relative_ms(30), &dpc));
  EXPECT_TRUE(kernel().set_timer(timer, relative_ms(20), &dpc));  // re-armed: only this one fires
  (void)kernel().delay_execution_thread(relative_ms(100));
  ASSERT_EQ(log.runs.size(), 1u);
  EXPECT_EQ(log.runs[0] - start, 20 * 10'000);
  EXPECT_FALSE(kernel().cancel_timer(timer));  // it expired

  kernel().set_timer(timer, relative_ms(20), &dpc);
  EXPECT_TRUE(kernel().cancel_timer(timer));
  (void)kernel().delay_execution_thread(relative_ms(100));
  EXPECT_EQ(log.runs.size(), 1u);
}

// --- pool ------------------------------------------------------------------------------

TEST_F(SimTest, PoolCountsLiveBlocksPerTagAndFailsTheNthAllocation) {
  constexpr uint32_t kTag = make_pool_tag("Test");
  const uint64_t before = kernel().allocations_made();
  kernel().allocation_faults().fail_nth = before + 2;
  void* first = kernel().allocate_pool_with_tag(POOL_TYPE::NonPagedPool, 16, kTag);
  void* second = kernel().allocate_pool_with_tag(POOL_TYPE::NonPagedPool, 16, kTag);
  void* third = kernel().allocate_pool_with_tag(POOL_TYPE::PagedPool, 16, kTag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(kernel().live_pool_blocks(kTag), 2u);
  // Fresh pool memory is not zeroed.
  EXPECT_EQ(static_cast<uint8_t*>(first)[0], 0xCD);
  kernel().free_pool(first);
  kernel().free_pool(third);
  EXPECT_EQ(kernel().live_pool_blocks(kTag), 0u);

  kernel().allocation_faults() = {
      .fail_if = [](POOL_TYPE, size_t bytes, uint32_t) { return bytes == 4100; }};
  EXPECT_EQ(kernel().allocate_pool_with_tag(POOL_TYPE::NonPagedPool, 4100, kTag), nullptr);
  void* other = kernel().allocate_pool_with_tag(POOL_TYPE::NonPagedPool, 132, kTag);
  EXPECT_NE(other, nullptr);
  kernel().free_pool(other);
}

// --- network ----------------------------------------------------------------------------

struct Receiver {
  SimKernel* kernel = nullptr;
  TransportAddress* address = nullptr;
  std::vector<std::vector<uint8_t>> got;
  NTSTATUS last = STATUS_SUCCESS;
};

void receive_until_closed(void* context) {
  auto* r = static_cast<Receiver*>(context);
  uint8_t buffer[512];
  for (int i = 0; i < 10'000; ++i) {
    ReceivedDatagram d;
    r->last = r->kernel->receive_datagram(r->address, 0, 0, buffer, &d);
    if (r->last != STATUS_SUCCESS) return;
    r->got.emplace_back(buffer, buffer + d.length);
  }
}

TEST_F(SimTest, NetworkLosesAndDuplicatesAsConfiguredAndCloseWakesTheReceiver) {
  constexpr uint32_t kServer = 0xC000020A;  // 192.0.2.10
  TransportAddress* host = nullptr;
  TransportAddress* server = nullptr;
  ASSERT_EQ(kernel().open_transport_address(519, &host), STATUS_SUCCESS);
  ASSERT_EQ(kernel().open_endpoint(kServer, 519, &server), STATUS_SUCCESS);
  kernel().network().set_default_faults({.loss = 0.2, .duplicate = 0.2});

  Receiver r;
  r.kernel = &kernel();
  r.address = server;
  KTHREAD* thread = nullptr;
  ASSERT_EQ(kernel().create_system_thread(receive_until_closed, &r, "server rx", &thread),
            STATUS_SUCCESS);
  for (uint8_t i = 0; i < 200; ++i) {
    const uint8_t bytes[] = {i};
    ASSERT_EQ(kernel().send_datagram(host, kServer, 519, bytes), STATUS_SUCCESS);
  }
  (void)kernel().delay_execution_thread(relative_ms(1000));
  kernel().close_transport_address(server);
  ASSERT_EQ(kernel().wait_for_thread(thread, std::nullopt), STATUS_SUCCESS);
  kernel().close_thread(thread);
  kernel().release_transport_address(server);
  kernel().close_transport_address(host);
  kernel().release_transport_address(host);

  const auto& c = kernel().network().counters();
  EXPECT_GT(c.lost, 0u);
  EXPECT_GT(c.duplicated, 0u);
  EXPECT_EQ(r.got.size(), c.delivered);
  EXPECT_EQ(c.delivered, 200 - c.lost + c.duplicated);
  EXPECT_EQ(r.last, STATUS_CANCELLED);
}

TEST_F(SimTest, HostAddressCarriesTheHostIpAndTakesDatagramsForIt) {
  constexpr uint32_t kServer = 0xC000020B;
  TransportAddress* host = nullptr;
  TransportAddress* server = nullptr;
  ASSERT_EQ(kernel().open_transport_address(519, &host), STATUS_SUCCESS);
  ASSERT_EQ(kernel().open_endpoint(kServer, 519, &server), STATUS_SUCCESS);
  TransportAddress* again = nullptr;
  EXPECT_EQ(kernel().open_transport_address(519, &again), STATUS_ADDRESS_ALREADY_EXISTS);

  const uint8_t hello[] = {1, 2, 3};
  ASSERT_EQ(kernel().send_datagram(server, kernel().network().host_ip(), 519, hello),
            STATUS_SUCCESS);
  uint8_t buffer[2];
  ReceivedDatagram d;
  ASSERT_EQ(kernel().receive_datagram(host, kServer, 519, buffer, &d), STATUS_SUCCESS);
  EXPECT_EQ(d.length, 2u);  // truncated to the buffer
  EXPECT_EQ(d.sender_ip, kServer);
  EXPECT_EQ(d.sender_port, 519);
  EXPECT_THAT(std::vector<uint8_t>(buffer, buffer + 2), ElementsAre(1, 2));
  for (auto* a : {host, server}) {
    kernel().close_transport_address(a);
    kernel().release_transport_address(a);
  }
}

}  // namespace
}  // namespace velto::platform::sim

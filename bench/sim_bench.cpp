// What the simulation kernel costs: a hand-over of the baton between two
// threads, and a 22.5-second virtual wait (the open handshake's full retry
// schedule), measured in wall-clock time.
#include <benchmark/benchmark.h>

#include "platform/kernel/kernel.h"
#include "platform/sim/sim_kernel.h"
#include "platform/store/store.h"

namespace {

using namespace velto::platform;

struct PingPong {
  Kernel* kernel;
  KEVENT ping;
  KEVENT pong;
  int rounds;
};

void pong_thread(void* context) {
  auto* p = static_cast<PingPong*>(context);
  for (int i = 0; i < p->rounds; ++i) {
    (void)p->kernel->wait_for_single_object(p->ping, std::nullopt);
    p->kernel->set_event(p->pong, 0);
  }
}

void BM_BatonHandOver(benchmark::State& state) {
  auto store = velto::store::Store::open(":memory:");
  sim::SimKernel kernel(store, sim::SimOptions{.seed = 1});
  PingPong p{&kernel, {}, {}, static_cast<int>(state.max_iterations)};
  kernel.initialize_event(p.ping, EVENT_TYPE::SynchronizationEvent, false, "ping");
  kernel.initialize_event(p.pong, EVENT_TYPE::SynchronizationEvent, false, "pong");
  KTHREAD* thread = nullptr;
  (void)kernel.create_system_thread(pong_thread, &p, "pong", &thread);
  for (auto _ : state) {
    kernel.set_event(p.ping, 0);
    (void)kernel.wait_for_single_object(p.pong, std::nullopt);
  }
  (void)kernel.wait_for_thread(thread, std::nullopt);
  kernel.close_thread(thread);
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_BatonHandOver);

void BM_VirtualWait22_5s(benchmark::State& state) {
  auto store = velto::store::Store::open(":memory:");
  for (auto _ : state) {
    sim::SimKernel kernel(store, sim::SimOptions{.seed = 7});
    // 11 attempts of 50 ms plus 100 polls of 20 ms each.
    for (int attempt = 0; attempt < 11; ++attempt) {
      (void)kernel.delay_execution_thread(relative_ms(50));
      for (int poll = 0; poll < 100; ++poll) (void)kernel.delay_execution_thread(relative_ms(20));
    }
  }
}
BENCHMARK(BM_VirtualWait22_5s)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

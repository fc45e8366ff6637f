// Seed sweeps of the device link against an emulated device server on a
// faulty simulated network: whatever the seed's interleaving, losses,
// duplicates and reordering, the data the server sends reaches the port's
// receive ring whole and in order once the faults heal. Kept out of the
// quick suite; SIM_SEED=<seed> runs one seed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "deviceserver/sim_runner.h"
#include "portdriver/link/link_fixture.h"

namespace velto::portdriver::testing {
namespace {

constexpr size_t kPayloadBytes = 64 * 1024;

class LinkSweep : public LinkFixture, public ::testing::WithParamInterface<uint64_t> {
 protected:
  platform::sim::SimOptions options() override {
    const char* env = std::getenv("SIM_SEED");
    return platform::sim::SimOptions{.seed = env && *env ? 0 : GetParam()};
  }

  // The read engine's part, played by the test: takes what the ring holds.
  void take_from_ring(Bytes& out) {
    RxRing& ring = ds().RxRing[0];
    const int32_t end = ring.WriteIndex.load();
    for (int32_t i = ring.ReadIndex; i != end; i = (i + 1) % kRxRingBytes) {
      out.push_back(ring.Data[i]);
    }
    ring.ReadIndex = end;
  }
};

TEST_P(LinkSweep, DeviceDataArrivesWholeAndInOrderThroughLossDuplicationAndReordering) {
  deviceserver::SimRunner server(kernel(), {.ports = 1}, kServerA);
  ASSERT_EQ(server.start(), platform::STATUS_SUCCESS);
  start({{kServerA, 1}}, false);
  const platform::sim::LinkFaults faulty{.loss = 0.10, .duplicate = 0.05, .reorder = 0.05};
  kernel().network().set_link_faults(kServerA, 0, faulty);
  kernel().network().set_link_faults(0, kServerA, faulty);
  ASSERT_TRUE(handshake_open(0));

  platform::sim::Random workload(
      platform::sim::stream_seed(kernel().seed(), platform::sim::Stream::kWorkload));
  Bytes sent(kPayloadBytes);
  for (auto& b : sent) b = static_cast<uint8_t>(workload.next());
  Bytes got;
  size_t offered = 0;
  const int64_t started = kernel().query_system_time();
  // Bounded: at worst every message needs several 200 ms resends.
  for (int step = 0; step < 200'000 && got.size() < sent.size(); ++step) {
    if (offered < sent.size()) {
      const size_t n = std::min<size_t>(workload.between(1, 600), sent.size() - offered);
      offered +=
          server.server().serial_input(0, {sent.data() + offered, n}, kernel().query_system_time());
    }
    settle(static_cast<int>(workload.between(1, 10)));
    if (workload.chance(0.8)) take_from_ring(got);  // a reader that now and then lags
    if (step == 20'000) kernel().network().heal();
  }
  ASSERT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent) << "the received bytes differ from the sent ones";

  // The faults fired, and the link dealt with them.
  const auto& net = kernel().network().counters();
  EXPECT_GT(net.lost, 0u);
  EXPECT_GT(net.duplicated, 0u);
  EXPECT_GT(net.reordered, 0u);
  EXPECT_GT(ds().LinkStats[0].repeats + ds().LinkStats[0].out_of_order, 0u);
  RecordProperty("lost", static_cast<int>(net.lost));
  RecordProperty("virtual_ms", static_cast<int>((kernel().query_system_time() - started) / 10'000));
  server.stop();
}

INSTANTIATE_TEST_SUITE_P(Seeds, LinkSweep, ::testing::Range<uint64_t>(1, 9));

}  // namespace
}  // namespace velto::portdriver::testing

// The emulated device server on the simulated network, reached from a raw
// host endpoint as the port driver reaches it: the open, data and echo round
// trip in virtual time, and device data that arrives whole and in order
// through a lossy network because the server resends it.
#include "deviceserver/sim_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/testing.h"

namespace velto::deviceserver {
namespace {

using platform::ReceivedDatagram;
using platform::relative_ms;
using platform::STATUS_SUCCESS;
using platform::TransportAddress;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using Bytes = std::vector<uint8_t>;

Bytes message(MessageType type, uint8_t port, uint16_t length, uint8_t seq, const Bytes& payload) {
  return encode_message({.type = type, .port = port, .length = length, .seq = seq}, payload);
}

Bytes open_message(uint8_t port) {
  return message(MessageType::kOpen, port, 4 + kSettingsBytes, 1, Bytes(kSettingsBytes));
}

class SimRunnerTest : public platform::sim::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(kernel().open_transport_address(kLinkUdpPort, &host_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (host_) {
      kernel().close_transport_address(host_);
      kernel().release_transport_address(host_);
    }
    SimTest::TearDown();
  }

  void send(const Bytes& datagram) {
    ASSERT_EQ(kernel().send_datagram(host_, kSimServerIp, kLinkUdpPort, datagram), STATUS_SUCCESS);
  }

  // The next datagram within the timeout (virtual time), or nothing.
  std::optional<Bytes> receive(int64_t timeout_ms) {
    Bytes buffer(kDatagramMax);
    ReceivedDatagram received;
    const auto status =
        kernel().receive_datagram_until(host_, buffer, &received, relative_ms(timeout_ms));
    if (status != STATUS_SUCCESS) return std::nullopt;
    EXPECT_EQ(received.sender_ip, kSimServerIp);
    EXPECT_EQ(received.sender_port, kLinkUdpPort);
    buffer.resize(received.length);
    return buffer;
  }

  std::vector<Bytes> receive_two() {
    std::vector<Bytes> got;
    for (int i = 0; i < 2; ++i) got.push_back(receive(1000).value_or(Bytes{}));
    return got;
  }

  // Over a lossy network the host resends its open until a reply comes
  // through.
  bool open_through_loss(uint8_t port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      send(open_message(port));
      for (auto reply = receive(300); reply; reply = receive(300)) {
        if ((*reply)[0] == static_cast<uint8_t>(MessageType::kOpen)) return true;
      }
    }
    return false;
  }

  TransportAddress* host_ = nullptr;
};

TEST_F(SimRunnerTest, OpenDataAndEchoRoundTripInVirtualTime) {
  SimRunner runner(kernel(), {.ports = 2, .initial_device_seq = 5});
  ASSERT_EQ(runner.start(), STATUS_SUCCESS);
  // A fixed 1 ms latency, so that the resend's spacing shows exactly.
  kernel().network().set_default_faults(
      {.latency_min_100ns = 10'000, .latency_max_100ns = 10'000, .tail_probability = 0});
  const int64_t start = kernel().query_system_time();

  // Datagrams sent back to back may pass each other on the network.
  send(open_message(1));
  EXPECT_THAT(receive_two(),
              UnorderedElementsAre(ElementsAre(1, 1, 3, 0x50), ElementsAre(14, 1, 0xB0, 0)));
  send(message(MessageType::kData, 1, 7, 2, {'a', 'b', 'c'}));
  EXPECT_THAT(receive_two(), UnorderedElementsAre(ElementsAre(4, 1, 4, 0x20),
                                                  ElementsAre(10, 1, 7, 0x60, 'a', 'b', 'c')));
  send(message(MessageType::kHostAck, 1, 4, 6, {}));

  // Input that a test injects between kernel calls goes out at once.
  const Bytes typed = {'o', 'k'};
  EXPECT_EQ(runner.server().serial_input(1, typed, kernel().query_system_time()), 2u);
  EXPECT_THAT(receive(1000).value(), ElementsAre(10, 1, 6, 0x70, 'o', 'k'));
  // Not acknowledged, so it comes again 200 ms later.
  const int64_t first = kernel().query_system_time();
  EXPECT_THAT(receive(1000).value(), ElementsAre(10, 1, 6, 0x70, 'o', 'k'));
  EXPECT_EQ(kernel().query_system_time() - first, 200 * 10'000);
  send(message(MessageType::kHostAck, 1, 4, 7, {}));

  send(message(MessageType::kClose, 1, 4, 0, {}));
  EXPECT_THAT(receive(1000).value(), ElementsAre(2, 1, 4, 0));
  EXPECT_LT(kernel().query_system_time() - start, 10'000'000);  // well under a virtual second
  runner.stop();
  EXPECT_EQ(runner.server().counters().resent, 1u);
}

TEST_F(SimRunnerTest, DeviceDataArrivesWholeAndInOrderThroughLoss) {
  SimRunner runner(kernel(), {.ports = 1});
  ASSERT_EQ(runner.start(), STATUS_SUCCESS);
  kernel().network().set_default_faults({.loss = 0.2});
  ASSERT_TRUE(open_through_loss(0));

  Bytes input(20 * kDeviceDataMax);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + i / 251);
  ASSERT_EQ(runner.server().serial_input(0, input, kernel().query_system_time()), input.size());

  // The host's side: take each sequence once, acknowledge every copy (the
  // previous acknowledgement may have been lost).
  Bytes arrived;
  uint8_t expected_seq = next_seq(1);
  for (int step = 0; step < 2000 && arrived.size() < input.size(); ++step) {
    // A resend every 200 ms: 25 of them all lost is a hang, not bad luck.
    const auto datagram = receive(5000);
    ASSERT_TRUE(datagram) << "no device data for five virtual seconds";
    const Header header = decode_header(*datagram).value();
    if (header.type != MessageType::kSeqData) continue;
    if (header.seq == expected_seq) {
      arrived.insert(arrived.end(), datagram->begin() + kHeaderBytes, datagram->end());
      expected_seq = next_seq(expected_seq);
    }
    send(message(MessageType::kHostAck, 0, 4, header.seq, {}));
  }
  EXPECT_EQ(arrived, input);
  EXPECT_GT(kernel().network().counters().lost, 0u);
  EXPECT_GT(runner.server().counters().resent, 0u);
  runner.stop();
}

}  // namespace
}  // namespace velto::deviceserver

// The device server core as the host sees it, byte for byte: open and close
// replies, host data taken exactly once, device data one message at a time
// with its resends and sequence wrap, modem lines, the discovery reply, the
// script's faults, and input it must ignore.
#include "deviceserver/device_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace velto::deviceserver {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr Peer kHost{0x7F000001, 519};
constexpr int64_t kMs = 10'000;
constexpr uint8_t kLinesUp = kModemCts | kModemDsr | kModemDcd;

using Bytes = std::vector<uint8_t>;

Bytes message(MessageType type, uint8_t port, uint16_t length, uint8_t seq, const Bytes& payload) {
  return encode_message({.type = type, .port = port, .length = length, .seq = seq}, payload);
}

Bytes host_data(uint8_t port, uint8_t seq, const std::string& text) {
  return message(MessageType::kData, port, static_cast<uint16_t>(kHeaderBytes + text.size()), seq,
                 Bytes(text.begin(), text.end()));
}

Bytes header_only(MessageType type, uint8_t port, uint16_t length = 4, uint8_t seq = 0) {
  return message(type, port, length, seq, {});
}

std::vector<Bytes> drain(DeviceServer& server, Peer expected_to = kHost) {
  std::vector<Bytes> out;
  Outbound datagram;
  while (server.pop_outbound(datagram)) {
    EXPECT_EQ(datagram.to, expected_to);
    out.emplace_back(datagram.datagram().begin(), datagram.datagram().end());
  }
  return out;
}

Header header_of(const Bytes& datagram) {
  return decode_header(datagram).value();
}

Bytes settings_payload() {
  Bytes settings(kSettingsBytes);
  std::iota(settings.begin(), settings.end(), uint8_t{0x30});
  return settings;
}

// Opens the port and returns what the server answered.
std::vector<Bytes> open_port(DeviceServer& server, uint8_t port, int64_t now = 0) {
  server.receive(kHost, message(MessageType::kOpen, port, 22, 1, settings_payload()), now);
  return drain(server);
}

TEST(DeviceServerOpen, ReplyHasLengthThreeAndTheStartingSeqThenTheLinesUp) {
  struct Case {
    uint8_t port;
    uint8_t initial_seq;
  };
  for (const Case c : {Case{0, 1}, Case{3, 7}, Case{1, 15}}) {
    DeviceServer server({.ports = 4, .initial_device_seq = c.initial_seq});
    const auto out = open_port(server, c.port);
    const uint16_t word = static_cast<uint16_t>(kOpenReplyLength | (c.initial_seq << 12));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_THAT(out[0], ElementsAre(1, c.port, word & 0xFF, word >> 8));
    EXPECT_THAT(out[1], ElementsAre(14, c.port, kLinesUp, 0x00));
    const PortStatus status = server.port_status(c.port);
    EXPECT_TRUE(status.open);
    EXPECT_TRUE(status.has_settings);
    EXPECT_THAT(status.settings, ElementsAreArray(settings_payload()));
  }
}

TEST(DeviceServerOpen, CloseIsAnsweredWithTypeTwoAndEndsTheSession) {
  DeviceServer server({.ports = 2});
  open_port(server, 1);
  server.receive(kHost, header_only(MessageType::kClose, 1), 0);
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(2, 1, 4, 0)));
  EXPECT_FALSE(server.port_status(1).open);
  // A closed port takes no data and no serial input.
  server.receive(kHost, host_data(1, 2, "x"), 0);
  EXPECT_EQ(server.serial_input(1, Bytes{1, 2}, 0), 0u);
  EXPECT_THAT(drain(server), IsEmpty());
  EXPECT_EQ(server.counters().not_open, 1u);
  EXPECT_EQ(server.counters().input_discarded, 2u);
}

TEST(DeviceServerHostData, RepeatIsAckedAgainButDeliveredOnce) {
  DeviceServer server({.ports = 1});
  server.set_backing(0, std::make_unique<SinkBacking>());
  open_port(server, 0);
  // seq 2, then a repeat of 2 (our ack was lost), then 3.
  const std::vector<std::pair<uint8_t, std::string>> sent = {{2, "hi"}, {2, "hi"}, {3, "yo!"}};
  for (const auto& [seq, text] : sent) {
    server.receive(kHost, host_data(0, seq, text), 0);
    EXPECT_THAT(drain(server), ElementsAre(ElementsAre(4, 0, 4, seq << 4))) << int(seq);
  }
  const PortStatus status = server.port_status(0);
  EXPECT_EQ(status.counters.host_messages, 2u);
  EXPECT_EQ(status.counters.bytes_to_serial, 5u);
  EXPECT_EQ(server.counters().duplicates, 1u);
}

TEST(DeviceServerHostData, LoopbackEchoesAfterTheAck) {
  DeviceServer server({.ports = 1});
  open_port(server, 0);
  server.receive(kHost, host_data(0, 2, "hi"), 0);
  EXPECT_THAT(drain(server),
              ElementsAre(ElementsAre(4, 0, 4, 0x20), ElementsAre(10, 0, 6, 0x20, 'h', 'i')));
}

TEST(DeviceServerHostData, MalformedIsDroppedAndCounted) {
  const std::vector<Bytes> bad = {
      Bytes{0, 0, 5},                                       // shorter than a header
      host_data(0, 0, "x"),                                 // no sequence
      message(MessageType::kData, 0, 4, 2, {}),             // no payload
      message(MessageType::kData, 0, 9, 2, Bytes{1, 2}),    // longer than the datagram
      host_data(0, 2, std::string(kHostDataMax + 1, 'a')),  // more than 128 bytes
  };
  DeviceServer server({.ports = 1});
  open_port(server, 0);
  for (const Bytes& datagram : bad) server.receive(kHost, datagram, 0);
  EXPECT_THAT(drain(server), IsEmpty());
  EXPECT_EQ(server.counters().malformed, bad.size());
  EXPECT_EQ(server.port_status(0).last_host_seq, 0);
}

TEST(DeviceServerHostData, AckRequestIsAnsweredWithTheLastHostSeq) {
  DeviceServer server({.ports = 1});
  server.set_backing(0, std::make_unique<SinkBacking>());
  open_port(server, 0);
  server.receive(kHost, header_only(MessageType::kAckRequest, 0), 0);
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(4, 0, 4, 0x00)));  // nothing yet
  server.receive(kHost, host_data(0, 9, "z"), 0);
  drain(server);
  server.receive(kHost, header_only(MessageType::kAckRequest, 0), 0);
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(4, 0, 4, 0x90)));
}

TEST(DeviceServerDeviceData, OneInFlightResentEvery200msUntilHostAckWithItsSeq) {
  DeviceServer server({.ports = 1});
  open_port(server, 0);
  EXPECT_EQ(server.serial_input(0, Bytes{'a'}, 0), 1u);
  EXPECT_EQ(server.serial_input(0, Bytes{'b'}, 0), 1u);  // waits behind 'a'
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(10, 0, 5, 0x20, 'a')));
  EXPECT_EQ(server.next_deadline_100ns(), 200 * kMs);

  server.tick(199 * kMs);
  EXPECT_THAT(drain(server), IsEmpty());
  for (int64_t at : {200, 400, 600}) {
    server.tick(at * kMs);
    EXPECT_THAT(drain(server), ElementsAre(ElementsAre(10, 0, 5, 0x20, 'a'))) << at;
  }
  // An acknowledgement of another sequence does not release it.
  server.receive(kHost, header_only(MessageType::kHostAck, 0, 4, 3), 650 * kMs);
  EXPECT_THAT(drain(server), IsEmpty());
  server.receive(kHost, header_only(MessageType::kHostAck, 0, 4, 2), 650 * kMs);
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(10, 0, 5, 0x30, 'b')));
  EXPECT_EQ(server.next_deadline_100ns(), 850 * kMs);
  EXPECT_EQ(server.counters().resent, 3u);
  EXPECT_EQ(server.counters().stale_acks, 1u);
}

TEST(DeviceServerDeviceData, SequenceRunsFromTheStartingSeqAndWrapsFrom15To1) {
  DeviceServer server({.ports = 1, .initial_device_seq = 13});
  open_port(server, 0);
  std::vector<uint8_t> seqs;
  for (int i = 0; i < 4; ++i) {
    server.serial_input(0, Bytes{'x'}, 0);
    const auto out = drain(server);
    ASSERT_EQ(out.size(), 1u);
    seqs.push_back(header_of(out[0]).seq);
    server.receive(kHost, header_only(MessageType::kHostAck, 0, 4, seqs.back()), 0);
  }
  EXPECT_THAT(seqs, ElementsAre(14, 15, 1, 2));
}

TEST(DeviceServerDeviceData, InputIsSplitInto508ByteMessages) {
  DeviceServer server({.ports = 1});
  open_port(server, 0);
  Bytes input(1200);
  std::iota(input.begin(), input.end(), uint8_t{0});
  EXPECT_EQ(server.serial_input(0, input, 0), input.size());
  Bytes arrived;
  std::vector<size_t> sizes;
  for (int i = 0; i < 3; ++i) {
    const auto out = drain(server);
    ASSERT_EQ(out.size(), 1u);
    const Header header = header_of(out[0]);
    EXPECT_EQ(header.length, out[0].size());
    sizes.push_back(out[0].size());
    arrived.insert(arrived.end(), out[0].begin() + kHeaderBytes, out[0].end());
    server.receive(kHost, header_only(MessageType::kHostAck, 0, 4, header.seq), 0);
  }
  EXPECT_THAT(sizes, ElementsAre(512, 512, 4 + 1200 - 2 * 508));
  EXPECT_EQ(arrived, input);
}

TEST(DeviceServerModem, ControlIsReflectedInTheNextReportedStatus) {
  struct Case {
    std::vector<uint16_t> commands;
    uint8_t outputs;
  };
  const std::vector<Case> cases = {
      {{kRaiseDtr}, kModemDtr},
      {{kRaiseRts}, kModemRts},
      {{kRaiseDtr, kRaiseRts, kLowerDtr}, kModemRts},
      {{kRaiseRts, kLowerRts}, 0},
      {{kSetBoth | kModemDtr | kModemRts}, kModemDtr | kModemRts},
      {{kRaiseDtr, kSetBoth | kModemRts}, kModemRts},
  };
  for (const Case& c : cases) {
    DeviceServer server({.ports = 1});
    open_port(server, 0);
    for (uint16_t command : c.commands) {
      server.receive(kHost, message(MessageType::kModemControl, 0, command, 0, Bytes(14)), 0);
    }
    EXPECT_THAT(drain(server), IsEmpty());
    server.set_modem_inputs(0, kModemCts | kModemRi, 0);
    EXPECT_THAT(drain(server), ElementsAre(ElementsAre(14, 0, kModemCts | kModemRi | c.outputs, 0)))
        << "outputs " << int(c.outputs);
  }
}

TEST(DeviceServerDiscovery, ReplyCarriesAddressNameAndPortFlags) {
  struct Case {
    std::string name;
    int ports;
    std::string name_field;  // the 20 bytes as they must appear
  };
  const std::vector<Case> cases = {
      {"bench", 3, std::string("bench") + std::string(15, '\0')},
      {"exactly-twenty-chars", 16, "exactly-twenty-chars"},
      {"a-name-longer-than-twenty", 1, "a-name-longer-than-t"},
  };
  const Peer querier{0xC6336401, 40000};
  for (const Case& c : cases) {
    DeviceServer server({.ports = c.ports, .name = c.name});
    server.receive_discovery(querier, Bytes{1}, 0xC0000205, 0);
    const auto out = drain(server, querier);
    ASSERT_EQ(out.size(), 1u);
    const Bytes& reply = out[0];
    ASSERT_EQ(reply.size(), 41u);
    EXPECT_THAT(Bytes(reply.begin(), reply.begin() + 5), ElementsAre(2, 192, 0, 2, 5));
    EXPECT_EQ(std::string(reply.begin() + 5, reply.begin() + 25), c.name_field);
    for (int slot = 0; slot < 16; ++slot) {
      EXPECT_EQ(reply[25 + slot], slot < c.ports ? 1 : 0) << c.name << " slot " << slot;
    }
  }
  DeviceServer server({.ports = 1});
  server.receive_discovery(querier, Bytes{2}, 0, 0);
  server.receive_discovery(querier, Bytes{1, 1}, 0, 0);
  EXPECT_THAT(drain(server, querier), IsEmpty());
  EXPECT_EQ(server.counters().malformed, 2u);
}

TEST(DeviceServerScript, DropAndDuplicateApplyToTheNextSends) {
  struct Case {
    SendFaultKind kind;
    size_t expected_sends;  // of three acks, with the fault on the first two
  };
  for (const Case c : {Case{SendFaultKind::kDrop, 1}, Case{SendFaultKind::kDuplicate, 5}}) {
    DeviceServer server({.ports = 1});
    server.set_backing(0, std::make_unique<SinkBacking>());
    open_port(server, 0);
    server.set_send_fault({.kind = c.kind, .count = 2});
    for (uint8_t seq : {2, 3, 4}) server.receive(kHost, host_data(0, seq, "d"), 0);
    EXPECT_EQ(drain(server).size(), c.expected_sends);
    // Every message was still delivered: the faults are on what is sent.
    EXPECT_EQ(server.port_status(0).counters.host_messages, 3u);
  }
}

TEST(DeviceServerScript, DelayHoldsTheNextSendsUntilDue) {
  DeviceServer server({.ports = 1});
  open_port(server, 0);
  server.set_send_fault({.kind = SendFaultKind::kDelay, .count = 1, .delay_100ns = 50 * kMs});
  server.receive(kHost, header_only(MessageType::kAckRequest, 0), 10 * kMs);
  EXPECT_THAT(drain(server), IsEmpty());
  EXPECT_EQ(server.next_deadline_100ns(), 60 * kMs);
  server.tick(59 * kMs);
  EXPECT_THAT(drain(server), IsEmpty());
  server.tick(60 * kMs);
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(4, 0, 4, 0)));
  EXPECT_EQ(server.counters().delayed_by_script, 1u);
}

TEST(DeviceServerScript, SilentIgnoresAndSendsNothingUntilItAnswersAgain) {
  DeviceServer server({.ports = 1});
  open_port(server, 0);
  server.serial_input(0, Bytes{'q'}, 0);
  drain(server);
  server.set_silent(true);
  server.receive(kHost, header_only(MessageType::kAckRequest, 0), 0);
  server.tick(200 * kMs);  // the resend is withheld too
  EXPECT_THAT(drain(server), IsEmpty());
  server.set_silent(false);
  server.tick(400 * kMs);
  EXPECT_THAT(drain(server), ElementsAre(ElementsAre(10, 0, 5, 0x20, 'q')));
  EXPECT_EQ(server.counters().ignored_silent, 1u);
  EXPECT_EQ(server.counters().withheld_silent, 1u);
}

TEST(DeviceServerScript, DroppedReceivesAreNotAnswered) {
  DeviceServer server({.ports = 1});
  server.drop_received(1);
  server.receive(kHost, message(MessageType::kOpen, 0, 22, 1, settings_payload()), 0);
  EXPECT_THAT(drain(server), IsEmpty());
  EXPECT_EQ(open_port(server, 0).size(), 2u);
  EXPECT_EQ(server.counters().dropped_by_script, 1u);
}

TEST(DeviceServerScript, LinkDownAndUnsequencedDataGoToTheHostOfAnOpenPort) {
  DeviceServer server({.ports = 2});
  EXPECT_FALSE(server.send_link_down(1, 0));
  open_port(server, 1);
  EXPECT_TRUE(server.send_link_down(1, 0));
  EXPECT_TRUE(server.send_unsequenced(1, Bytes{'o', 'k'}, 0));
  EXPECT_FALSE(server.send_unsequenced(1, Bytes(kDeviceDataMax + 1), 0));
  EXPECT_THAT(drain(server),
              ElementsAre(ElementsAre(5, 1, 4, 0), ElementsAre(0, 1, 6, 0, 'o', 'k')));
}

TEST(DeviceServerInput, UnknownPortIndexIsIgnored) {
  DeviceServer server({.ports = 2});
  for (uint8_t port : {2, 15, 255}) {
    server.receive(kHost, message(MessageType::kOpen, port, 22, 1, settings_payload()), 0);
    server.receive(kHost, host_data(port, 2, "x"), 0);
  }
  EXPECT_THAT(drain(server), IsEmpty());
  EXPECT_EQ(server.counters().unknown_port, 6u);
}

struct WakeCount {
  int calls = 0;
  static void hook(void* context) { ++static_cast<WakeCount*>(context)->calls; }
};

TEST(DeviceServerRunner, WakesOnlyWhenACallLeavesOutputOrMovesTheDeadline) {
  DeviceServer server({.ports = 1});
  WakeCount wakes;
  server.set_wake_hook(&WakeCount::hook, &wakes);
  open_port(server, 0);
  EXPECT_EQ(wakes.calls, 1);
  server.tick(0);  // nothing due
  EXPECT_EQ(wakes.calls, 1);
  server.serial_input(0, Bytes{'a'}, 0);  // loopback input: one datagram, one wake
  EXPECT_EQ(wakes.calls, 2);
}

}  // namespace
}  // namespace velto::deviceserver

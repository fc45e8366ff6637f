// The device link on the simulation kernel, with the test playing the device
// servers: exact bytes on the wire, the sender's order, and what the inbound
// handler does with each message the servers send.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "portdriver/link/link_fixture.h"

namespace velto::portdriver::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class LinkTest : public LinkFixture {};

// --- the wire -------------------------------------------------------------------

TEST(LinkPacket, HeaderLayoutAndSequenceSuccessor) {
  EXPECT_EQ(datagram(LINK_MSG_DATA, 2, 7, 5, {0x41, 0x42, 0x43}),
            (Bytes{0x00, 0x02, 0x07, 0x50, 0x41, 0x42, 0x43}));
  const Bytes bytes{0x0A, 0x03, 0x34, 0xF2};
  const auto h = PacketHeader::read(std::span<const uint8_t, 4>(bytes.data(), 4));
  EXPECT_EQ(h.Type, LINK_MSG_SEQ_DATA);
  EXPECT_EQ(h.Port, 3);
  EXPECT_EQ(h.Length(), 0x234);
  EXPECT_EQ(h.Seq(), 15);
  EXPECT_EQ(SeqSuccessor(1), 2);
  EXPECT_EQ(SeqSuccessor(14), 15);
  EXPECT_EQ(SeqSuccessor(15), 1);
}

TEST_F(LinkTest, QueuedMessagesGoOutByteExact) {
  start({{kServerA, 3}});  // server port index 2
  open_link(0);
  ds().TxSeq[0] = 6;
  const uint8_t settings[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  QueueLinkMessage(ds(), 0, LINK_MSG_BREAK_ON, nullptr, 0);
  QueueLinkMessage(ds(), 0, LINK_MSG_MODEM_CONTROL, nullptr, 0x46);
  QueueLinkMessage(ds(), 0, LINK_MSG_OPEN, settings, 18);
  QueueLinkMessage(ds(), 0, LINK_MSG_ACK_REQUEST, nullptr, 0);
  settle();
  const auto got = received_at(kServerA);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (Bytes{0x0C, 0x02, 0x04, 0x00}));
  Bytes modem_control(70, 0);
  modem_control[0] = 0x0F, modem_control[1] = 0x02, modem_control[2] = 0x46;
  EXPECT_EQ(got[1], modem_control);
  // OPEN and ACK_REQUEST carry TxSeq as it is when they are sent.
  Bytes open{0x01, 0x02, 22, 0x60};
  open.insert(open.end(), settings, settings + 18);
  EXPECT_EQ(got[2], open);
  EXPECT_EQ(got[3], (Bytes{0x07, 0x02, 0x04, 0x60}));
}

TEST_F(LinkTest, WhileTheLinkIsDownOnlyOpenAndCloseAreQueued) {
  start({{kServerA, 1}});
  const uint8_t settings[18] = {};
  QueueLinkMessage(ds(), 0, LINK_MSG_SETTINGS, settings, 18);
  QueueLinkMessage(ds(), 0, LINK_MSG_BREAK_ON, nullptr, 0);
  MarkTxPending(ds(), 0);
  QueueLinkMessage(ds(), 0, LINK_MSG_OPEN, settings, 18);
  QueueLinkMessage(ds(), 0, LINK_MSG_CLOSE, nullptr, 0);
  settle();
  const auto got = received_at(kServerA);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][0], LINK_MSG_OPEN);
  EXPECT_EQ(got[1], (Bytes{0x02, 0x00, 0x04, 0x00}));
}

// A full ring (equal indexes with TxPending set) is one 132-byte datagram;
// the next data message is a resend with the same sequence and bytes.
TEST_F(LinkTest, DataMessagesCarryTheRingAndResendTheCopy) {
  start({{kServerA, 1}});
  open_link(0);
  TxRing& ring = ds().TxRing[0];
  for (int i = 0; i < kTxRingBytes; ++i) ring.Data[i] = static_cast<uint8_t>(i);
  ring.ReadIndex = 5;
  ring.WriteIndex = 5;
  port(0).RetransmitLength = kTxRingBytes;
  MarkTxPending(ds(), 0);
  settle();
  ring.Data[5] = 0xEE;  // not sent again: the resend uses the copy
  port(0).RetransmitPending = 1;
  MarkTxPending(ds(), 0);
  settle();

  const auto got = received_at(kServerA);
  ASSERT_EQ(got.size(), 2u);
  ASSERT_EQ(got[0].size(), 132u);
  EXPECT_THAT(Bytes(got[0].begin(), got[0].begin() + 4), ElementsAre(0x00, 0x00, 0x84, 0x20));
  EXPECT_EQ(got[0][4], 5);
  EXPECT_EQ(got[0][131], 4);  // wrapped round the ring
  EXPECT_EQ(got[1], got[0]);
  EXPECT_EQ(ring.ReadIndex, 5);
  EXPECT_EQ(port(0).RetransmitPending, 0);
  EXPECT_EQ(ds().LinkStats[0].resent, 1u);
}

// The sender starts one port further on at every wake-up.
TEST_F(LinkTest, SenderVisitsThePortsInTurn) {
  start({{kServerA, 1}, {kServerA, 2}, {kServerA, 3}, {kServerA, 4}});
  for (int pass = 0; pass < 2; ++pass) {
    // Fill every port's queue before one wake-up, without the wake-ups that
    // queueing gives, so that exactly one pass runs.
    for (uint32_t k = 0; k < 4; ++k) {
      auto* m = static_cast<LinkMessage*>(kernel().allocate_pool_with_tag(
          platform::POOL_TYPE::NonPagedPool, sizeof(LinkMessage), kPoolTag));
      new (m) LinkMessage{{LINK_MSG_CLOSE, static_cast<uint8_t>(k), 4}};
      ds().OutQueue[k] = m;
    }
    kernel().set_event(ds().SenderWake, 0);
    settle();
  }
  std::vector<int> order;
  for (const auto& d : received_at(kServerA)) order.push_back(d[1]);
  EXPECT_THAT(order, ElementsAre(1, 2, 3, 0, 2, 3, 0, 1));
}

TEST_F(LinkTest, ReceiversStartOncePerDistinctServer) {
  start({{kServerA, 1}, {kServerB, 1}, {kServerA, 2}, {0, 1}});
  ASSERT_EQ(ds().ServerCount, 2);
  EXPECT_EQ(ds().Receivers[0].ServerAddress, kServerA);
  EXPECT_EQ(ds().Receivers[1].ServerAddress, kServerB);
  EXPECT_EQ(kernel().live_threads(), 3u);  // the sender and two receivers
}

TEST_F(LinkTest, EveryDistinctServerGetsAReceiverBeyondSixtyFour) {
  std::vector<PortConfig> ports;
  for (uint32_t k = 0; k < 70; ++k) ports.push_back({0xC6336400 + k + 1, 1});  // 198.51.100.x
  start(ports);
  EXPECT_EQ(ds().ServerCount, 70);
  EXPECT_EQ(ds().Receivers[69].ServerAddress, 0xC6336446u);
  EXPECT_EQ(kernel().live_threads(), 71u);
}

TEST_F(LinkTest, LinkStartsWithinOneAttemptOnceTheTransportIsThere) {
  kernel().network().set_transport_available(false);
  start({{kServerA, 1}});
  settle(1000);
  EXPECT_EQ(ds().LinkNotReady, 1);
  EXPECT_EQ(kernel().live_threads(), 1u);  // only the start-up thread, retrying
  kernel().network().set_transport_available(true);
  settle(150);  // one pause of 100 ms, then the attempt that succeeds
  EXPECT_EQ(ds().LinkNotReady, 0);
  EXPECT_EQ(kernel().live_threads(), 2u);  // the sender and one receiver
  EXPECT_THAT(kernel().debug_output(),
              ::testing::Contains(::testing::HasSubstr("cannot be opened yet")));
}

TEST_F(LinkTest, ARefusedSendIsRetriedEvery500Milliseconds) {
  start({{kServerA, 1}});
  kernel().network().set_link_faults(0, kServerA, {.send_failure = 1.0});
  QueueLinkMessage(ds(), 0, LINK_MSG_CLOSE, nullptr, 0);
  settle(2100);  // the first try and four retries
  EXPECT_EQ(ds().LinkStats[0].send_retries, 5u);
  EXPECT_THAT(received_at(kServerA), IsEmpty());
  kernel().network().heal();
  settle(500);
  EXPECT_EQ(received_at(kServerA).size(), 1u);
}

int read_dpc_runs = 0;
void count_read_dpc(KDPC*, void*, void*, void*) {
  ++read_dpc_runs;
}

TEST_F(LinkTest, DataHandledBeforeTheReaderRunsQueuesItOnce) {
  start({{kServerA, 1}});
  open_link(0);
  read_dpc_runs = 0;
  port(0).ReadDpc.DeferredRoutine = count_read_dpc;
  // Three datagrams land together: the receiver handles all three before
  // the DPC worker gets its turn.
  for (uint8_t seq = 2; seq <= 4; ++seq) {
    ASSERT_EQ(kernel().send_datagram(servers_.at(kServerA), kernel().network().host_ip(),
                                     kLinkUdpPort, seq_data(0, seq, {seq})),
              platform::STATUS_SUCCESS);
  }
  settle();
  EXPECT_THAT(ring_bytes(0), ElementsAre(2, 3, 4));
  EXPECT_EQ(read_dpc_runs, 1);
}

// --- inbound ------------------------------------------------------------------------

TEST_F(LinkTest, OpenReplyOpensOnlyWithLengthThreeAndCloseReplyClearsAll) {
  start({{kServerA, 1}});
  port(0).PortState = PORT_OPEN;
  send_to_host(kServerA, datagram(LINK_MSG_OPEN, 0, 4, 7));
  EXPECT_EQ(port(0).PortState, PORT_OPEN);
  send_to_host(kServerA, datagram(LINK_MSG_OPEN, 0, 3, 7));
  EXPECT_EQ(port(0).PortState, PORT_OPEN | LINK_OPEN);
  EXPECT_EQ(ds().RxSeq[0], 7);
  send_to_host(kServerA, datagram(LINK_MSG_LINK_DOWN, 0, 4, 0));
  EXPECT_EQ(port(0).PortState, PORT_OPEN);
  send_to_host(kServerA, datagram(LINK_MSG_CLOSE, 0, 4, 0));
  EXPECT_EQ(port(0).PortState, 0);
}

TEST_F(LinkTest, DatagramsReachOnlyTheirOwnPort) {
  start({{kServerA, 1}, {kServerA, 2}, {kServerB, 1}});
  for (uint32_t k : {0u, 1u, 2u}) open_link(k);
  send_to_host(kServerA, datagram(LINK_MSG_MODEM_STATUS, 1, 0x0B0, 0));
  send_to_host(kServerB, datagram(LINK_MSG_MODEM_STATUS, 0, 0x030, 0));
  send_to_host(kServerA, datagram(LINK_MSG_MODEM_STATUS, 5, 0x0F0, 0));  // no such port
  EXPECT_EQ(port(0).ModemStatus, 0u);
  EXPECT_EQ(port(1).ModemStatus, 0x0B0u);
  EXPECT_EQ(port(2).ModemStatus, 0x030u);
  EXPECT_EQ(ds().UnmatchedDatagrams, 1u);
  EXPECT_THAT(received_at(kServerA), IsEmpty());  // modem status queues nothing
}

TEST_F(LinkTest, UnsequencedDataIsStoredWithItsMarkerAndLength) {
  start({{kServerA, 1}});
  open_link(0);
  send_to_host(kServerA, datagram(LINK_MSG_DATA, 0, 6, 0, {0x41, 0x42}));
  EXPECT_THAT(ring_bytes(0), ElementsAre(0x11, 0x06, 0x41, 0x42));
  EXPECT_THAT(received_at(kServerA), IsEmpty());  // not acknowledged
}

TEST_F(LinkTest, SequencedDataIsAcknowledgedAndARepeatIsNotStoredTwice) {
  start({{kServerA, 1}});
  open_link(0);
  ds().RxSeq[0] = 14;
  send_to_host(kServerA, seq_data(0, 15, {1}));
  send_to_host(kServerA, seq_data(0, 1, {2}));  // 15 is followed by 1
  send_to_host(kServerA, seq_data(0, 1, {2}));  // a repeat
  send_to_host(kServerA, seq_data(0, 2, {}));   // no payload: still accepted
  EXPECT_THAT(ring_bytes(0), ElementsAre(1, 2));
  EXPECT_EQ(ds().RxSeq[0], 2);
  std::vector<int> acks;
  for (const auto& d : received_at(kServerA)) {
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0], LINK_MSG_HOST_ACK);
    acks.push_back(d[3] >> 4);
  }
  EXPECT_THAT(acks, ElementsAre(15, 1, 1, 2));
  EXPECT_EQ(ds().LinkStats[0].repeats, 1u);
}

TEST_F(LinkTest, AfterSixOutOfOrderMessagesTheSeventhResynchronises) {
  start({{kServerA, 1}});
  open_link(0);  // RxSeq 1: expects 2
  for (uint8_t i = 0; i < 3; ++i) send_to_host(kServerA, seq_data(0, 9, {i}));
  send_to_host(kServerA, seq_data(0, 1, {}));  // a repeat sets the count back
  for (uint8_t i = 0; i < 6; ++i) send_to_host(kServerA, seq_data(0, 9, {i}));
  EXPECT_THAT(ring_bytes(0), IsEmpty());
  EXPECT_EQ(ds().RxBadSeqCount[0], 6);
  send_to_host(kServerA, seq_data(0, 12, {0x77}));
  EXPECT_THAT(ring_bytes(0), ElementsAre(0x77));
  EXPECT_EQ(ds().RxSeq[0], 12);
  EXPECT_EQ(ds().RxBadSeqCount[0], 0);
  EXPECT_EQ(ds().LinkStats[0].out_of_order, 9u);
}

TEST_F(LinkTest, AFullRingRefusesAMessageUntilTheReaderDrainsIt) {
  start({{kServerA, 1}});
  open_link(0);
  RxRing& ring = ds().RxRing[0];
  ring.ReadIndex = 100;
  ring.WriteIndex = (100 + 3588) % kRxRingBytes;  // 507 bytes free
  const Bytes payload(508, 0x5A);
  send_to_host(kServerA, seq_data(0, 2, payload));
  EXPECT_EQ(ds().RxSeq[0], 1);
  EXPECT_THAT(received_at(kServerA), IsEmpty());
  EXPECT_EQ(ds().LinkStats[0].dropped_ring_full, 1u);

  ring.ReadIndex = (ring.ReadIndex + 1) % kRxRingBytes;  // 508 free now
  send_to_host(kServerA, seq_data(0, 2, payload));
  EXPECT_EQ(ds().RxSeq[0], 2);
  EXPECT_EQ(ring_bytes(0).size(), 4095u);
  EXPECT_EQ(received_at(kServerA).size(), 1u);
}

TEST_F(LinkTest, DataForAClosedPortOrClaimingMissingBytesIsDropped) {
  start({{kServerA, 1}});
  ds().RxRing[0].WriteIndex = 9;  // a closed port's ring has no Data
  send_to_host(kServerA, seq_data(0, 2, {1, 2, 3}));
  EXPECT_EQ(ds().RxRing[0].WriteIndex, 0);
  EXPECT_THAT(received_at(kServerA), IsEmpty());

  open_link(0);
  Bytes short_message = seq_data(0, 2, {1, 2, 3});
  short_message[2] = 40;  // claims 40 bytes, 7 arrive
  send_to_host(kServerA, short_message);
  EXPECT_THAT(ring_bytes(0), IsEmpty());
  EXPECT_EQ(ds().LinkStats[0].dropped_short, 1u);
  EXPECT_EQ(ds().LinkStats[0].dropped_closed, 1u);
}

TEST_F(LinkTest, AckRequestFromTheDeviceIsAnsweredWithTheReceiveSequence) {
  start({{kServerA, 2}});
  open_link(0);
  ds().RxSeq[0] = 9;
  send_to_host(kServerA, datagram(LINK_MSG_ACK_REQUEST, 1, 4, 0));
  EXPECT_THAT(received_at(kServerA), ElementsAre(Bytes{0x0B, 0x01, 0x04, 0x90}));
}

// Steady traffic allocates nothing: the receive buffer lives with its thread,
// data messages are built in TxWork, and acknowledgement records are reused.
TEST_F(LinkTest, SteadyTrafficMakesNoAllocations) {
  start({{kServerA, 1}});
  open_link(0);
  const auto exchange = [&](uint8_t seq) {
    send_to_host(kServerA, seq_data(0, seq, {seq}));
    ds().TxRing[0].Data[ds().TxRing[0].WriteIndex] = seq;
    ds().TxRing[0].WriteIndex = (ds().TxRing[0].WriteIndex + 1) % kTxRingBytes;
    MarkTxPending(ds(), 0);
    settle();
    drain_ring(0);
  };
  uint8_t seq = 2;
  for (int i = 0; i < 4; ++i, seq = static_cast<uint8_t>(SeqSuccessor(seq))) exchange(seq);
  const uint64_t before = kernel().allocations_made();
  for (int i = 0; i < 100; ++i, seq = static_cast<uint8_t>(SeqSuccessor(seq))) exchange(seq);
  EXPECT_EQ(kernel().allocations_made(), before);
  EXPECT_EQ(ds().LinkStats[0].sent, 208u);  // an acknowledgement and a data message each
}

// Any datagram, whatever its length, Length field and type, is handled
// inside its buffers (the sanitizer builds check every access).
TEST_F(LinkTest, InboundHandlerStaysInsideItsBuffersForAnyDatagram) {
  start({{kServerA, 1}});
  open_link(0);
  platform::sim::Random rng(kernel().seed());
  Bytes buffer(kMaxReceivedDatagram);
  for (int i = 0; i < 20'000; ++i) {
    const size_t length = rng.below(kMaxReceivedDatagram + 1);
    for (size_t j = 0; j < length; ++j) buffer[j] = static_cast<uint8_t>(rng.next());
    if (length > 0 && rng.chance(0.7)) buffer[0] = static_cast<uint8_t>(rng.below(16));
    if (length > 1) buffer[1] = 0;
    if (i % 500 == 0) drain_ring(0);
    const platform::KIRQL irql = kernel().acquire_spin_lock(port(0).PortLock);
    HandleInboundPacket(ds(), 0, {buffer.data(), length});
    kernel().release_spin_lock(port(0).PortLock, irql);
    if (i % 100 == 0) settle(1);  // lets the sender send the acknowledgements
  }
  // The ring's invariant held throughout: at most 4095 bytes.
  EXPECT_LT(ring_bytes(0).size(), static_cast<size_t>(kRxRingBytes));
}

}  // namespace
}  // namespace velto::portdriver::testing

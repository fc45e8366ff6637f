// The inbound side of the link: one receiver thread per device server takes
// datagrams in, matches each to a host port by the sender's address and the
// header's port byte, and applies it to the port under its PortLock: data
// into the RxRing, open and close replies into PortState, acknowledgements
// into the write engine's state, modem status into ModemStatus.
#include <cstring>

#include "portdriver/link/link.h"

namespace velto::portdriver {

namespace {

constexpr int32_t kRxSlack = kRxRingBytes - 1;  // the ring never fills its last byte
constexpr int32_t kResyncAfterBadSeqs = 5;
constexpr uint8_t kUnsequencedMarker = 0x11;
constexpr int kBackOffAfterFailures = 3;
constexpr int64_t kFailedReceivePause100ns = -100'000;  // 10 ms

int32_t ring_held(const RxRing& ring) {
  const int32_t w = ring.WriteIndex.load(std::memory_order_relaxed);
  const int32_t r = ring.ReadIndex.load(std::memory_order_acquire);
  return (w - r + kRxRingBytes) % kRxRingBytes;
}

// Writes as many bytes as fit; the new WriteIndex is published once, after
// the bytes. Returns how many were written.
size_t ring_write(RxRing& ring, std::span<const uint8_t> bytes) {
  const size_t room = static_cast<size_t>(kRxSlack - ring_held(ring));
  const size_t n = std::min(room, bytes.size());
  int32_t w = ring.WriteIndex.load(std::memory_order_relaxed);
  for (size_t i = 0; i < n; ++i) {
    ring.Data[w] = bytes[i];
    w = (w + 1) % kRxRingBytes;
  }
  ring.WriteIndex.store(w, std::memory_order_release);
  return n;
}

// A closed port has no ring Data: its data is dropped and the ring reset.
bool ring_missing(DriverState& ds, uint32_t p) {
  RxRing& ring = ds.RxRing[p];
  if (ring.Data) return false;
  ring.ReadIndex = 0;
  ring.WriteIndex = 0;
  LinkCounters::add(ds.LinkStats[p].dropped_closed);
  return true;
}

void queue_read_dpc(DriverState& ds, uint32_t p) {
  if (PortExtension* port = ds.Ports[p])
    (void)ds.kernel->insert_queue_dpc(port->ReadDpc, nullptr, nullptr);
}

void handle_unsequenced_data(DriverState& ds, uint32_t p, const PacketHeader& h,
                             std::span<const uint8_t> payload) {
  if (ring_missing(ds, p)) return;
  RxRing& ring = ds.RxRing[p];
  const uint8_t prefix[] = {kUnsequencedMarker, static_cast<uint8_t>(h.Length() & 0xFF)};
  size_t written = ring_write(ring, prefix);
  if (written == sizeof prefix) written += ring_write(ring, payload);
  if (written < sizeof prefix + payload.size()) LinkCounters::add(ds.LinkStats[p].truncated);
  queue_read_dpc(ds, p);
}

void handle_sequenced_data(DriverState& ds, uint32_t p, const PacketHeader& h,
                           std::span<const uint8_t> payload) {
  if (ring_missing(ds, p)) return;
  LinkCounters& stats = ds.LinkStats[p];
  const int32_t seq = h.Seq();
  const int32_t expected =
      ds.RxBadSeqCount[p] > kResyncAfterBadSeqs ? seq : SeqSuccessor(ds.RxSeq[p]);
  if (seq == expected) {
    ds.RxBadSeqCount[p] = 0;
    if (payload.size() > static_cast<size_t>(kRxSlack - ring_held(ds.RxRing[p]))) {
      LinkCounters::add(stats.dropped_ring_full);  // the device sends it again later
    } else {
      ring_write(ds.RxRing[p], payload);
      ds.RxSeq[p] = seq;
      QueueLinkMessage(ds, p, LINK_MSG_HOST_ACK, nullptr, 0);
    }
    queue_read_dpc(ds, p);
    return;
  }
  if (seq == ds.RxSeq[p]) {  // a repeat whose acknowledgement was lost
    ds.RxBadSeqCount[p] = 0;
    LinkCounters::add(stats.repeats);
    QueueLinkMessage(ds, p, LINK_MSG_HOST_ACK, nullptr, 0);
    queue_read_dpc(ds, p);
    return;
  }
  ++ds.RxBadSeqCount[p];
  LinkCounters::add(stats.out_of_order);
}

void handle_device_ack(DriverState& ds, uint32_t p, const PacketHeader& h) {
  PortExtension* port = ds.Ports[p];
  (void)ds.kernel->cancel_timer(port->AckTimer);
  const int32_t tx_seq = ds.TxSeq[p];
  if (port->RetransmitPending) {
    if (h.Seq() != tx_seq) {
      (void)ds.kernel->insert_queue_dpc(port->WriteDpc, nullptr, nullptr);
      return;
    }
    port->RetransmitPending = 0;
  }
  if (port->BatchInFlight != 1) return;
  if (h.Seq() != tx_seq) port->RetransmitPending = 1;
  (void)ds.kernel->insert_queue_dpc(port->WriteDpc, nullptr, nullptr);
}

// The first port whose server address and server-side port number match.
int32_t match_port(DriverState& ds, uint32_t sender, uint8_t device_port) {
  for (int32_t p = 0; p < ds.PortCount; ++p) {
    if (ds.Ports[p] && ds.ServerIp[p] == sender && ds.RemotePort[p] == device_port) return p;
  }
  return -1;
}

// A data message whose Length claims more bytes than arrived is dropped: the
// missing bytes would be whatever the buffer held before.
bool claims_more_than_received(const PacketHeader& h, size_t received) {
  const bool data = h.Type == LINK_MSG_DATA || h.Type == LINK_MSG_SEQ_DATA;
  return data && h.Length() > received;
}

void handle_matched(DriverState& ds, uint32_t p, std::span<uint8_t> datagram) {
  datagram[1] = static_cast<uint8_t>(p);
  PortExtension& port = *ds.Ports[p];
  const KIRQL irql = ds.kernel->acquire_spin_lock(port.PortLock);
  HandleInboundPacket(ds, p, datagram);
  ds.kernel->release_spin_lock(port.PortLock, irql);
}

}  // namespace

void HandleInboundPacket(DriverState& ds, uint32_t p, std::span<const uint8_t> datagram) {
  if (datagram.size() < kHeaderBytes) return;
  const PacketHeader h = PacketHeader::read(datagram.first<kHeaderBytes>());
  PortExtension& port = *ds.Ports[p];
  LinkCounters::add(ds.LinkStats[p].received);
  if (claims_more_than_received(h, datagram.size())) {
    LinkCounters::add(ds.LinkStats[p].dropped_short);
    return;
  }
  const size_t n = h.Length() > kHeaderBytes ? h.Length() - kHeaderBytes : 0;
  const auto payload = datagram.subspan(kHeaderBytes, std::min(n, datagram.size() - kHeaderBytes));
  switch (h.Type) {
    case LINK_MSG_DATA:
      return handle_unsequenced_data(ds, p, h, payload);
    case LINK_MSG_SEQ_DATA:
      return handle_sequenced_data(ds, p, h, payload);
    case LINK_MSG_OPEN:
      if (h.Length() != kOpenReplyLength) return;
      port.PortState.fetch_or(LINK_OPEN);
      ds.RxSeq[p] = h.Seq();
      return;
    case LINK_MSG_CLOSE:
      port.PortState = 0;
      return;
    case LINK_MSG_DEVICE_ACK:
      return handle_device_ack(ds, p, h);
    case LINK_MSG_LINK_DOWN:
      port.PortState.fetch_and(static_cast<uint16_t>(~LINK_OPEN));
      return;
    case LINK_MSG_ACK_REQUEST:
      return QueueLinkMessage(ds, p, LINK_MSG_HOST_ACK, nullptr, 0);
    case LINK_MSG_MODEM_STATUS:
      port.ModemStatus = h.Length();
      return;
    default:
      return;  // settings echoed back, or a type the host does not know
  }
}

// Context: receiver thread, passive, base priority increment 16. Its receive
// buffer is its own working copy, so receivers never share one.
void ReceiverThread(void* context) {
  auto& slot = *static_cast<ReceiverSlot*>(context);
  DriverState& ds = *slot.Driver;
  Kernel& kernel = *ds.kernel;
  kernel.set_base_priority_thread(16);
  uint8_t* buffer = nullptr;
  while (!buffer && !ds.StopLink) {
    buffer = static_cast<uint8_t*>(
        kernel.allocate_pool_with_tag(POOL_TYPE::PagedPool, kMaxReceivedDatagram, kPoolTag));
  }
  int failures = 0;
  while (buffer) {
    std::memset(buffer, 0, kMaxReceivedDatagram);
    ReceivedDatagram received;
    const NTSTATUS status = ReceiveDatagram(ds, slot.ServerAddress, kLinkUdpPort,
                                            {buffer, kMaxReceivedDatagram}, &received);
    if (NT_SUCCESS(status)) {
      failures = 0;
      const int32_t p = received.length >= 2 ? match_port(ds, received.sender_ip, buffer[1]) : -1;
      if (p < 0) {
        ds.UnmatchedDatagrams.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      handle_matched(ds, static_cast<uint32_t>(p), {buffer, received.length});
    } else if (++failures > kBackOffAfterFailures && !ds.StopLink) {
      // A transport that keeps failing must not spin a processor.
      (void)kernel.delay_execution_thread(kFailedReceivePause100ns);
    }
    if (ds.StopLink) break;
  }
  if (buffer) kernel.free_pool(buffer);
}

}  // namespace velto::portdriver

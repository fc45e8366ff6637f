// The outbound side of the link: the per-port message queues, the data
// request flag, and the one sender thread that empties them. The sender
// visits the ports in turn, starting one port further on at every wake-up;
// at each port it sends the queued messages in order and then at most one
// data message, built in TxWork from the TxRing or from the retransmission
// copy.
#include <cstring>

#include "portdriver/link/link.h"

namespace velto::portdriver {

namespace {

constexpr int64_t kSendRetryPause100ns = -5'000'000;  // 500 ms
constexpr int8_t kSenderWakeBoost = 16;
constexpr uint32_t kFreeMessagesKept = 64;

// A message record from the reuse list, or else from the pool.
// Context: up to DISPATCH_LEVEL. Locks: takes OutQueueLock.
LinkMessage* allocate_message(DriverState& ds) {
  const KIRQL irql = ds.kernel->acquire_spin_lock(ds.OutQueueLock);
  LinkMessage* message = ds.FreeMessages;
  if (message) {
    ds.FreeMessages = message->Next;
    --ds.FreeMessageCount;
  }
  ds.kernel->release_spin_lock(ds.OutQueueLock, irql);
  if (!message) {
    message = static_cast<LinkMessage*>(
        ds.kernel->allocate_pool_with_tag(POOL_TYPE::NonPagedPool, sizeof(LinkMessage), kPoolTag));
    if (!message) return nullptr;
  }
  return new (message) LinkMessage{};
}

// Keeps a bounded number of records for reuse and frees the rest.
void release_message(DriverState& ds, LinkMessage* message) {
  const KIRQL irql = ds.kernel->acquire_spin_lock(ds.OutQueueLock);
  const bool keep = ds.FreeMessageCount < kFreeMessagesKept;
  if (keep) {
    message->Next = ds.FreeMessages;
    ds.FreeMessages = message;
    ++ds.FreeMessageCount;
  }
  ds.kernel->release_spin_lock(ds.OutQueueLock, irql);
  if (!keep) {
    message->~LinkMessage();
    ds.kernel->free_pool(message);
  }
}

bool link_open(DriverState& ds, uint32_t port) {
  PortExtension* record = ds.Ports[port];
  return record && (record->PortState.load(std::memory_order_acquire) & LINK_OPEN) != 0;
}

// Sends until the transport takes the datagram. A refused send is tried
// again every 500 ms for as long as the link runs; unload ends the retries.
// Context: sender thread, passive. Blocks: yes.
void send_with_retry(DriverState& ds, uint32_t port, std::span<const uint8_t> datagram) {
  LinkCounters& stats = ds.LinkStats[port];
  while (!NT_SUCCESS(SendDatagram(ds, ds.ServerIp[port], kLinkUdpPort, datagram))) {
    LinkCounters::add(stats.send_retries);
    if (ds.StopLink) return;
    (void)ds.kernel->delay_execution_thread(kSendRetryPause100ns);
    if (ds.StopLink) return;
  }
  LinkCounters::add(stats.sent);
}

// The whole list of the port, taken in one step: messages queued from now on
// wait for the next wake-up.
LinkMessage* take_queue(DriverState& ds, uint32_t port) {
  const KIRQL irql = ds.kernel->acquire_spin_lock(ds.OutQueueLock);
  LinkMessage* list = ds.OutQueue[port];
  ds.OutQueue[port] = nullptr;
  ds.OutQueueDepth[port] = 0;
  ds.kernel->release_spin_lock(ds.OutQueueLock, irql);
  return list;
}

bool take_tx_pending(DriverState& ds, uint32_t port) {
  const KIRQL irql = ds.kernel->acquire_spin_lock(ds.OutQueueLock);
  const bool pending = ds.TxPending[port] != 0;
  ds.TxPending[port] = 0;
  ds.kernel->release_spin_lock(ds.OutQueueLock, irql);
  return pending;
}

void send_queued(DriverState& ds, uint32_t port, LinkMessage* message) {
  while (message) {
    PacketHeader header = message->Header;
    if (header.Type == LINK_MSG_OPEN || header.Type == LINK_MSG_ACK_REQUEST) {
      header.LengthSeq |= static_cast<uint16_t>((ds.TxSeq[port] & 0xF) << 12);
    }
    // A modem control message is as long as its command value says; the
    // bytes after the header are zero.
    const size_t length = header.Length();
    const size_t payload = length > kHeaderBytes ? length - kHeaderBytes : 0;
    std::memset(ds.TxWork, 0, kTxWorkBytes);
    header.write(std::span<uint8_t, kHeaderBytes>(ds.TxWork, kHeaderBytes));
    std::memcpy(ds.TxWork + kHeaderBytes, message->Payload.data(),
                std::min(payload, kMaxQueuedPayload));
    send_with_retry(ds, port, {ds.TxWork, std::min<size_t>(length, kTxWorkBytes)});
    LinkMessage* next = message->Next;
    release_message(ds, message);
    message = next;
  }
}

// New bytes from the TxRing (at least one: equal indexes mean a full ring),
// copied to RetransmitCopy as well; or the retransmission copy again.
size_t build_data_payload(DriverState& ds, PortExtension& record, uint32_t port, bool resend) {
  uint8_t* payload = ds.TxWork + kHeaderBytes;
  if (resend) {
    const size_t n = std::min<size_t>(record.RetransmitLength, kMaxDataPayload);
    std::memcpy(payload, record.RetransmitCopy.data(), n);
    return n;
  }
  TxRing& ring = ds.TxRing[port];
  const int32_t end = ring.WriteIndex.load(std::memory_order_acquire);
  int32_t index = ring.ReadIndex.load(std::memory_order_relaxed);
  size_t n = 0;
  do {
    payload[n] = ring.Data ? ring.Data[index] : 0;
    record.RetransmitCopy[n] = payload[n];
    ++n;
    index = (index + 1) % kTxRingBytes;
  } while (index != end && n < kMaxDataPayload);
  ring.ReadIndex.store(index, std::memory_order_release);
  return n;
}

void send_data_message(DriverState& ds, uint32_t port) {
  PortExtension* record = ds.Ports[port];
  if (!record) return;
  const bool resend = record->RetransmitPending.load() != 0;
  const size_t n = build_data_payload(ds, *record, port, resend);
  int32_t seq = ds.TxSeq[port];
  if (seq != 0 && !resend) {
    seq = SeqSuccessor(seq);
    ds.TxSeq[port] = seq;
  }
  const PacketHeader header{LINK_MSG_DATA, static_cast<uint8_t>(ds.RemotePort[port] & 0xFF),
                            PacketHeader::make_length_seq(static_cast<uint16_t>(n + kHeaderBytes),
                                                          static_cast<uint32_t>(seq))};
  header.write(std::span<uint8_t, kHeaderBytes>(ds.TxWork, kHeaderBytes));
  send_with_retry(ds, port, {ds.TxWork, n + kHeaderBytes});
  if (resend) LinkCounters::add(ds.LinkStats[port].resent);
  record->RetransmitPending = 0;
}

void visit_port(DriverState& ds, uint32_t port) {
  send_queued(ds, port, take_queue(ds, port));
  if (take_tx_pending(ds, port)) send_data_message(ds, port);
}

}  // namespace

void QueueLinkMessage(DriverState& ds, uint32_t port, uint8_t type, const uint8_t* payload,
                      uint32_t length) {
  if (!link_open(ds, port) && type != LINK_MSG_OPEN && type != LINK_MSG_CLOSE) return;
  LinkMessage* message = allocate_message(ds);
  if (message) {
    const bool control = type == LINK_MSG_MODEM_CONTROL;
    const uint32_t copied = control ? 0 : std::min<uint32_t>(length, kMaxQueuedPayload);
    uint16_t length_seq = static_cast<uint16_t>(control ? length : copied + kHeaderBytes);
    if (type == LINK_MSG_HOST_ACK)
      length_seq |= static_cast<uint16_t>((ds.RxSeq[port] & 0xF) << 12);
    message->Header = {type, static_cast<uint8_t>(ds.RemotePort[port] & 0xFF), length_seq};
    if (payload && copied) std::memcpy(message->Payload.data(), payload, copied);
    const KIRQL irql = ds.kernel->acquire_spin_lock(ds.OutQueueLock);
    const bool room = ds.OutQueueDepth[port] < kOutQueueLimit;
    if (room) {
      LinkMessage** tail = &ds.OutQueue[port];
      while (*tail) tail = &(*tail)->Next;
      *tail = message;
      ++ds.OutQueueDepth[port];
    }
    ds.kernel->release_spin_lock(ds.OutQueueLock, irql);
    if (!room) {
      LinkCounters::add(ds.LinkStats[port].queue_full);
      release_message(ds, message);
    }
  }
  ds.kernel->set_event(ds.SenderWake, kSenderWakeBoost);
}

void MarkTxPending(DriverState& ds, uint32_t port) {
  if (!link_open(ds, port)) return;
  const KIRQL irql = ds.kernel->acquire_spin_lock(ds.OutQueueLock);
  ds.TxPending[port] = 1;
  ds.kernel->release_spin_lock(ds.OutQueueLock, irql);
  ds.kernel->set_event(ds.SenderWake, kSenderWakeBoost);
}

// Context: sender thread, passive. Takes no PortLock.
void SenderThread(void* context) {
  auto& ds = *static_cast<DriverState*>(context);
  int32_t start_memory = 0;
  for (;;) {
    (void)ds.kernel->wait_for_single_object(ds.SenderWake, std::nullopt);
    const int32_t count = ds.PortCount;
    if (count > 0) {
      const int32_t start = (start_memory + 1) % count;
      for (int32_t i = 0; i < ds.PortCount; ++i) {
        visit_port(ds, static_cast<uint32_t>((start + i) % ds.PortCount));
      }
      start_memory = start;
    }
    if (ds.StopLink) return;
  }
}

}  // namespace velto::portdriver

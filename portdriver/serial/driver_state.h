// The port driver's records: DriverState, once per loaded driver, with the
// per-port tables that the device link works on; PortExtension, one per COM
// port device; and the two byte rings per port between the serial side and
// the link. Each field says who owns it and which lock guards it.
//
// Contexts: request dispatch (the caller's thread, passive level), DPCs and
// timer expiries (DISPATCH_LEVEL), and the link's own threads. Locks, always
// in this order: a port's PortLock, then the kernel's cancel spin lock or the
// driver's OutQueueLock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/kernel/kernel.h"
#include "portdriver/serial/serial_types.h"

namespace velto::portdriver {

using namespace velto::platform;

// Every allocation of the driver carries this tag.
inline constexpr uint32_t kPoolTag = make_pool_tag("Ddk ");

inline constexpr int32_t kPortTableSize = 256;
inline constexpr int32_t kRxRingBytes = 4096;  // at most 4095 held
inline constexpr int32_t kTxRingBytes = 128;   // one data message
inline constexpr size_t kRxStorageBytes = size_t{kPortTableSize} * kRxRingBytes;
inline constexpr size_t kTxStorageBytes = size_t{kPortTableSize} * kTxRingBytes;
inline constexpr size_t kTxWorkBytes = 132;  // header + 128 payload bytes
inline constexpr size_t kOpenPayloadBytes = 18;
inline constexpr size_t kServicesPathBytes = 514;  // capacity 512 plus a NUL

// PortState bits.
inline constexpr uint16_t PORT_OPEN = 0x02;  // an application holds the port
inline constexpr uint16_t LINK_OPEN = 0x04;  // the device server accepted the open

// Bytes from the device server to the read engine. One producer (the link
// receiver) and one consumer (the read engine); each index is written only
// by its owner and read by the other side as a snapshot.
struct RxRing {
  uint8_t* Data = nullptr;             // slice k of RxStorage while port k is open
  std::atomic<int32_t> ReadIndex{0};   // owned by the read engine
  std::atomic<int32_t> WriteIndex{0};  // owned by the link receiver
};

// Bytes from the write engine to the sender: one consumer (the sender), two
// producers (the write engine and the immediate-character step), which never
// fill the ring at the same time.
struct TxRing {
  uint8_t* Data = nullptr;             // slice k of TxStorage; set at every open, never cleared
  std::atomic<int32_t> ReadIndex{0};   // owned by the sender
  std::atomic<int32_t> WriteIndex{0};  // owned by the producers
};

struct DriverState;
struct LinkMessage;
struct PortExtension;

// What the link did for one port, for status views and for the tests that
// prove a fault fired. Relaxed atomics: each counter has one writer at a
// time, and readers want a recent value, not a consistent set.
struct LinkCounters {
  std::atomic<uint64_t> sent{0};               // datagrams the sender handed to the transport
  std::atomic<uint64_t> resent{0};             // data messages sent again from RetransmitCopy
  std::atomic<uint64_t> send_retries{0};       // sends the transport refused, tried again
  std::atomic<uint64_t> received{0};           // datagrams matched to the port
  std::atomic<uint64_t> dropped_short{0};      // Length claimed more than arrived
  std::atomic<uint64_t> dropped_closed{0};     // data for a closed port
  std::atomic<uint64_t> dropped_ring_full{0};  // sequenced data with no room
  std::atomic<uint64_t> truncated{0};          // unsequenced data cut short by the ring
  std::atomic<uint64_t> out_of_order{0};       // sequenced data neither expected nor a repeat
  std::atomic<uint64_t> repeats{0};            // sequenced data acknowledged again
  std::atomic<uint64_t> queue_full{0};         // messages not queued: the port's queue was full

  static void add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
};

// One receiver thread and the server address it was started for.
struct ReceiverSlot {
  DriverState* Driver = nullptr;
  uint32_t ServerAddress = 0;
  KTHREAD* Thread = nullptr;
};

struct DriverState {
  // Ours: the kernel and driver object this instance runs under, so that
  // routines that get only a record can reach them.
  Kernel* kernel = nullptr;
  DRIVER_OBJECT* driver = nullptr;

  std::atomic<int32_t> LinkNotReady{1};  // 1 until the UDP endpoint is open
  // Fixed once start-up has read it: the link threads read it without a lock.
  int32_t PortCount = 0;
  int32_t FirstComNumber = 3;
  std::atomic<int32_t> StopLink{0};  // set by unload; link threads end on seeing it
  TransportAddress* TransportFile = nullptr;
  int32_t ServerCount = 0;
  KEVENT SenderWake;        // synchronization event; every queueing operation sets it
  KSPIN_LOCK OutQueueLock;  // guards OutQueue and TxPending
  std::array<::velto::portdriver::TxRing, kPortTableSize> TxRing;
  std::array<uint8_t, kOpenPayloadBytes> OpenPayload{};
  std::array<int32_t, kPortTableSize> RxBadSeqCount{};
  uint8_t* RxStorage = nullptr;
  KDPC PollDpc;
  std::array<LinkMessage*, kPortTableSize> OutQueue{};   // under OutQueueLock
  std::array<uint8_t, kPortTableSize> TxPending{};       // under OutQueueLock
  std::array<uint16_t, kPortTableSize> OutQueueDepth{};  // ours, under OutQueueLock
  // Ours: sent messages kept for reuse, so that steady traffic (an
  // acknowledgement for every datagram received) allocates nothing.
  LinkMessage* FreeMessages = nullptr;  // under OutQueueLock
  uint32_t FreeMessageCount = 0;        // under OutQueueLock
  // Written at start-up and by opens (re-read of the configuration); read by
  // the link. A 32-bit store is atomic on every processor we run on.
  std::array<std::atomic<uint32_t>, kPortTableSize> ServerIp{};
  std::array<std::atomic<int32_t>, kPortTableSize> RemotePort{};
  // RxSeq: set by open and close, advanced by the receiver under PortLock.
  // TxSeq: set by open and close, advanced by the sender, read by the
  // receiver; atomic because the sender takes no PortLock.
  std::array<int32_t, kPortTableSize> RxSeq{};
  std::array<std::atomic<int32_t>, kPortTableSize> TxSeq{};
  std::array<PortExtension*, kPortTableSize> Ports{};  // set at creation, fixed after
  std::array<::velto::portdriver::RxRing, kPortTableSize> RxRing;
  KTIMER PollTimer;
  uint8_t* TxStorage = nullptr;
  UNICODE_STRING ServicesPath;  // paged, 512-byte capacity
  uint8_t* TxWork = nullptr;    // the sender's datagram under construction; the sender's alone

  // Ours: the link's threads, which unload waits for, and its counters.
  KTHREAD* LinkStartThreadHandle = nullptr;
  KTHREAD* SenderThreadHandle = nullptr;
  ReceiverSlot* Receivers = nullptr;  // ServerCount entries, pool-allocated
  std::array<LinkCounters, kPortTableSize> LinkStats;
  std::atomic<uint64_t> UnmatchedDatagrams{0};  // matched no port
  std::atomic<int32_t> PollStopping{0};         // PollPass re-arms PollTimer only while 0
  bool PollArmed = false;
  bool SerialCountRaised = false;
};

struct PortExtension {
  DriverState* Driver = nullptr;  // ours: the driver-wide record
  UNICODE_STRING DeviceName;      // non-paged copy; Buffer is null when it could not be made
  DEVICE_OBJECT* DeviceObject = nullptr;
  uint32_t PortIndex = 0;
  uint32_t ComNumber = 0;
  bool DosNameCreated = false;  // ours: unload deletes only a link this port made

  // DeviceSettings; changed by requests just before they queue a message.
  uint16_t FlowWord = 0;
  uint16_t Word1 = 0;
  uint16_t ModeWord = 0;
  uint16_t EventWord = 0;
  // Set by the receiver under PortLock, polled without it by open and close.
  std::atomic<uint16_t> PortState{0};
  uint8_t SettingsByte = 0;
  std::array<uint8_t, 8> SettingsChars{};

  std::atomic<int32_t> CompletingIrp{0};  // exchanged atomically, read without a lock
  std::atomic<int32_t> ReadStarting{0};   // exchanged atomically, read without a lock
  KTIMER AckTimer;
  KTIMER ReadIntervalTimer;
  KTIMER ReadTotalTimer;
  uint32_t QueuedTxBytes = 0;
  KSPIN_LOCK PortLock;
  KDPC WriteDpc;
  KDPC ReadDpc;
  KDPC ReadTotalDpc;
  KDPC ReadIntervalDpc;
  KDPC WaitDoneDpc;
  KDPC ImmediateDpc;
  KDPC ImmediateTimeoutDpc;
  KDPC AckTimeoutDpc;
  // Under the cancel spin lock.
  LIST_ENTRY ReadQueue;
  LIST_ENTRY WriteQueue;
  LIST_ENTRY MaskQueue;
  LIST_ENTRY PurgeQueue;
  IRP* CurrentReadIrp = nullptr;
  IRP* CurrentWriteIrp = nullptr;
  IRP* CurrentWaitIrp = nullptr;
  IRP* CurrentMaskIrp = nullptr;
  IRP* CurrentPurgeIrp = nullptr;
  IRP* CurrentImmediateIrp = nullptr;

  int32_t ReadTickState = 0;
  uint32_t BytesSinceTick = 0;
  int64_t IntervalTimeout = 0;
  int64_t FastPollPeriod = 0;
  int64_t SlowPollPeriod = 0;
  int64_t PollPeriodThreshold = 0;
  uint8_t ImmediateChar = 0;
  KTIMER ImmediateTimer;
  uint32_t PendingEvents = 0;
  uint32_t* WaitResultSlot = nullptr;
  void* OpenBuffer = nullptr;
  uint32_t OpenBufferSize = 0;
  uint8_t ImmediatePending = 0;
  uint32_t TxHoldReasons = 0;
  int64_t* PollPeriod = nullptr;
  int64_t IntervalStartTime = 0;
  uint32_t ReadBytesNeeded = 0;
  uint32_t WaitMask = 0;
  uint32_t CurrentBaud = 0;
  uint8_t LineControl = 0;
  uint16_t LastModemStatus = 0;
  SERIAL_CHARS SpecialChars;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_HANDFLOW HandFlow;
  uint8_t TxDrained = 0;
  uint8_t TotalTimerArmed = 0;
  uint8_t ReadUsesTotalTimer = 0;
  std::atomic<uint32_t> ModemStatus{0};  // written by the receiver, read by requests and PollPass
  uint8_t MoreToWrite = 0;
  // Set by the write engine, the acknowledgement timeout and the receiver;
  // cleared by the sender and the receiver.
  std::atomic<uint8_t> RetransmitPending{0};
  uint32_t BatchInFlight = 0;
  uint32_t RetransmitLength = 0;
  std::array<uint8_t, kTxRingBytes> RetransmitCopy{};
};

// The driver-wide record of a loaded driver.
inline DriverState& driver_state(DRIVER_OBJECT* driver) {
  return *static_cast<DriverState*>(driver->DriverExtension);
}

}  // namespace velto::portdriver

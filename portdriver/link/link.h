// The device link: the only way the serial side reaches the device servers.
// The serial side queues messages (QueueLinkMessage) and asks for data
// messages (MarkTxPending); one sender thread sends them, one receiver
// thread per device server takes datagrams in and applies them to the port
// records under the port's PortLock.
#pragma once

#include <cstdint>
#include <span>

#include "portdriver/link/packet.h"
#include "portdriver/serial/driver_state.h"

namespace velto::portdriver {

// Most messages a port may have waiting; beyond it a message is dropped and
// counted, so that a sender stuck on a failing send cannot be outrun without
// bound by a program that keeps changing settings.
inline constexpr uint16_t kOutQueueLimit = 64;

// --- sender.cpp
// Queues one message for port, unless the port's link is not open (only
// OPEN and CLOSE pass then). payload may be null; length is its size (at
// most 96), or the command value for LINK_MSG_MODEM_CONTROL.
// Context: any, up to DISPATCH_LEVEL. Locks: may hold the port's PortLock;
// takes OutQueueLock. Blocks: never.
void QueueLinkMessage(DriverState& ds, uint32_t port, uint8_t type, const uint8_t* payload,
                      uint32_t length);
// Asks the sender for one data message for port (new bytes from the TxRing,
// or the retransmission copy). Same context as QueueLinkMessage.
void MarkTxPending(DriverState& ds, uint32_t port);
void SenderThread(void* context);

// --- receiver.cpp
void ReceiverThread(void* context);
// Applies one datagram that was matched to host port p. datagram is the
// receiver's own copy with byte 1 already holding p.
// Context: receiver thread. Locks: the port's PortLock held. Blocks: never.
void HandleInboundPacket(DriverState& ds, uint32_t p, std::span<const uint8_t> datagram);

// --- endpoint.cpp
void LinkStartThread(void* context);
// 0 when the link runs, 1 when the UDP endpoint could not be opened yet.
int StartLink(DriverState& ds);
NTSTATUS SendDatagram(DriverState& ds, uint32_t address, uint16_t port,
                      std::span<const uint8_t> data);
NTSTATUS ReceiveDatagram(DriverState& ds, uint32_t address, uint16_t port,
                         std::span<uint8_t> buffer, ReceivedDatagram* received);
// Ends every link thread and releases what the link holds: wakes the sender,
// closes the endpoint so pending receives fail, waits for every thread, then
// frees the queued messages and the endpoint. StopLink must be set.
// Context: passive (unload).
void StopLinkThreads(DriverState& ds);

}  // namespace velto::portdriver

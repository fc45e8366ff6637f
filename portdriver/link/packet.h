// The device link's datagrams: the 4-byte header every datagram starts with,
// the message types in both directions, sequence numbers, and the queued
// outbound message. Nothing in a datagram is in network byte order; the
// 16-bit word is least significant byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velto::portdriver {

inline constexpr uint16_t kLinkUdpPort = 519;

// Message types. The same code can mean different things in the two
// directions (see the inbound handler and the sender).
inline constexpr uint8_t LINK_MSG_DATA = 0;         // host data (sequenced) / device data (not)
inline constexpr uint8_t LINK_MSG_OPEN = 1;         // open / open reply (Length 3)
inline constexpr uint8_t LINK_MSG_CLOSE = 2;        // close / close reply
inline constexpr uint8_t LINK_MSG_SETTINGS = 3;     // host: the 18-byte settings image
inline constexpr uint8_t LINK_MSG_DEVICE_ACK = 4;   // device: acknowledges host data
inline constexpr uint8_t LINK_MSG_LINK_DOWN = 5;    // device: the port is down
inline constexpr uint8_t LINK_MSG_ACK_REQUEST = 7;  // either side asks for an acknowledgement
inline constexpr uint8_t LINK_MSG_SEQ_DATA = 10;    // device: sequenced data
inline constexpr uint8_t LINK_MSG_HOST_ACK = 11;    // host: acknowledges device data
inline constexpr uint8_t LINK_MSG_BREAK_ON = 12;
inline constexpr uint8_t LINK_MSG_BREAK_OFF = 13;
inline constexpr uint8_t LINK_MSG_MODEM_STATUS = 14;   // device: status in the Length field
inline constexpr uint8_t LINK_MSG_MODEM_CONTROL = 15;  // host: command in the Length field

inline constexpr size_t kHeaderBytes = 4;
inline constexpr size_t kMaxDataPayload = 128;  // one host data message
inline constexpr size_t kMaxReceivedDatagram = 512;
inline constexpr size_t kMaxQueuedPayload = 96;  // one LinkMessage
inline constexpr uint16_t kOpenReplyLength = 3;

// The header as it travels: Type, Port, then LengthSeq with Length in bits
// 0-11 and Seq in bits 12-15.
struct PacketHeader {
  uint8_t Type = 0;
  uint8_t Port = 0;
  uint16_t LengthSeq = 0;

  uint16_t Length() const { return LengthSeq & 0x0FFF; }
  uint8_t Seq() const { return static_cast<uint8_t>(LengthSeq >> 12); }
  static constexpr uint16_t make_length_seq(uint16_t length, uint32_t seq) {
    return static_cast<uint16_t>((length & 0x0FFF) | ((seq & 0xF) << 12));
  }

  void write(std::span<uint8_t, kHeaderBytes> out) const {
    out[0] = Type;
    out[1] = Port;
    out[2] = static_cast<uint8_t>(LengthSeq & 0xFF);
    out[3] = static_cast<uint8_t>(LengthSeq >> 8);
  }
  static PacketHeader read(std::span<const uint8_t, kHeaderBytes> in) {
    return PacketHeader{in[0], in[1], static_cast<uint16_t>(in[2] | (in[3] << 8))};
  }
};

// 1, 2, ..., 15, 1, ...: never 0, which means "no sequence".
constexpr int32_t SeqSuccessor(int32_t seq) {
  return seq >= 15 ? 1 : seq + 1;
}

// One queued outbound message of a port. Allocated by its producer, freed by
// the sender once sent.
struct LinkMessage {
  PacketHeader Header;  // as it will be sent; OPEN and ACK_REQUEST get Seq at send time
  std::array<uint8_t, kMaxQueuedPayload> Payload{};
  LinkMessage* Next = nullptr;  // the port's list, in queue order
};

}  // namespace velto::portdriver

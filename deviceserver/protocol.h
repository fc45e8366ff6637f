// The device link's wire format as the device server sees it: message types,
// the 4-byte header (type, port, and a little-endian word of 12 bits of
// length and 4 bits of sequence), the sequence successor, the modem line bits
// and the discovery reply's layout. This is the emulator's own codec, written
// apart from the port driver's, so that each checks the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velto::deviceserver {

constexpr uint16_t kLinkUdpPort = 519;
constexpr uint16_t kDiscoveryUdpPort = 12345;
constexpr uint32_t kDiscoveryGroup = 0xEF000101;  // 239.0.1.1

constexpr size_t kHeaderBytes = 4;
constexpr size_t kDatagramMax = 512;
constexpr size_t kHostDataMax = 128;                            // payload of one host DATA
constexpr size_t kDeviceDataMax = kDatagramMax - kHeaderBytes;  // payload of one SEQ_DATA
constexpr size_t kSettingsBytes = 18;
constexpr uint16_t kLengthMax = 0x0FFF;
// The device's open reply carries this in its length field, not a size.
constexpr uint16_t kOpenReplyLength = 3;

enum class MessageType : uint8_t {
  kData = 0,           // host: sequenced serial output; device: unsequenced serial input
  kOpen = 1,           // host opens a port (settings payload); device answers
  kClose = 2,          // host closes a port; device answers
  kSettings = 3,       // host: new line settings
  kDeviceAck = 4,      // device: the last host sequence it received
  kLinkDown = 5,       // device: the link to the port is gone
  kAckRequest = 7,     // either side asks for an acknowledgement
  kSeqData = 10,       // device: sequenced serial input
  kHostAck = 11,       // host: the device sequence it accepted
  kBreakOn = 12,       // host: start sending a break
  kBreakOff = 13,      // host: stop sending a break
  kModemStatus = 14,   // device: modem lines, in the length field
  kModemControl = 15,  // host: a DTR/RTS command, in the length field
};

struct Header {
  MessageType type = MessageType::kData;
  uint8_t port = 0;     // serial port index on the device server, 0-based
  uint16_t length = 0;  // 12 bits: a size, or a command or status value
  uint8_t seq = 0;      // 4 bits: 1..15, or 0 for none
};

void encode_header(const Header& header, std::span<uint8_t, kHeaderBytes> out);
// Reads the header of a datagram; std::nullopt when it is shorter than one.
// The type byte is taken as it is: callers ignore types they do not know.
std::optional<Header> decode_header(std::span<const uint8_t> datagram);
// A whole datagram: the header, then the payload.
std::vector<uint8_t> encode_message(const Header& header, std::span<const uint8_t> payload);

// The sequence after seq: 1..15 and round again, never 0 (which means "none").
constexpr uint8_t next_seq(uint8_t seq) {
  return seq >= 15 ? 1 : static_cast<uint8_t>(seq + 1);
}
constexpr bool is_valid_seq(uint8_t seq) {
  return seq >= 1 && seq <= 15;
}

// Modem status bits as the device reports them (MODEM_STATUS length field).
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemDsr = 0x20;
constexpr uint8_t kModemRi = 0x40;
constexpr uint8_t kModemDcd = 0x80;
constexpr uint8_t kModemInputs = kModemCts | kModemDsr | kModemRi | kModemDcd;
// The host's own lines, which the device echoes back in the same field.
constexpr uint8_t kModemDtr = 0x02;
constexpr uint8_t kModemRts = 0x04;
constexpr uint8_t kModemOutputs = kModemDtr | kModemRts;

// MODEM_CONTROL commands: raise or lower one line, or set both at once from
// the DTR/RTS bits added to kSetBoth.
constexpr uint16_t kRaiseDtr = 0x12;
constexpr uint16_t kLowerDtr = 0x22;
constexpr uint16_t kRaiseRts = 0x14;
constexpr uint16_t kLowerRts = 0x24;
constexpr uint16_t kSetBoth = 0x40;

// The host's DTR/RTS bits after a command, or std::nullopt for a command
// that is not one of the above.
std::optional<uint8_t> apply_modem_control(uint8_t outputs, uint16_t command);

// Discovery: a query is one byte holding kDiscoveryQuery; the reply is
// kDiscoveryReply, the server's IPv4 address (network order), its name in
// 20 bytes and one presence byte per serial port 1..16.
constexpr uint8_t kDiscoveryQuery = 1;
constexpr uint8_t kDiscoveryReply = 2;
constexpr size_t kDiscoveryNameBytes = 20;
constexpr size_t kDiscoveryPortSlots = 16;
constexpr size_t kDiscoveryReplyBytes = 1 + 4 + kDiscoveryNameBytes + kDiscoveryPortSlots;

}  // namespace velto::deviceserver

// Encoding and decoding of the device link's header, and the meaning of the
// host's modem control commands.
#include "deviceserver/protocol.h"

#include "deviceserver/check.h"

namespace velto::deviceserver {

void encode_header(const Header& header, std::span<uint8_t, kHeaderBytes> out) {
  DEVSIM_CHECK(header.length <= kLengthMax, "the length field has 12 bits");
  DEVSIM_CHECK(header.seq <= 15, "the sequence field has 4 bits");
  const uint16_t word = static_cast<uint16_t>(header.length | (header.seq << 12));
  out[0] = static_cast<uint8_t>(header.type);
  out[1] = header.port;
  out[2] = static_cast<uint8_t>(word & 0xFF);
  out[3] = static_cast<uint8_t>(word >> 8);
}

std::optional<Header> decode_header(std::span<const uint8_t> datagram) {
  if (datagram.size() < kHeaderBytes) return std::nullopt;
  const uint16_t word = static_cast<uint16_t>(datagram[2] | (datagram[3] << 8));
  return Header{.type = static_cast<MessageType>(datagram[0]),
                .port = datagram[1],
                .length = static_cast<uint16_t>(word & kLengthMax),
                .seq = static_cast<uint8_t>(word >> 12)};
}

std::optional<uint8_t> apply_modem_control(uint8_t outputs, uint16_t command) {
  switch (command) {
    case kRaiseDtr:
      return static_cast<uint8_t>(outputs | kModemDtr);
    case kLowerDtr:
      return static_cast<uint8_t>(outputs & ~kModemDtr);
    case kRaiseRts:
      return static_cast<uint8_t>(outputs | kModemRts);
    case kLowerRts:
      return static_cast<uint8_t>(outputs & ~kModemRts);
    default:
      break;
  }
  if ((command & ~kModemOutputs) == kSetBoth) return static_cast<uint8_t>(command & kModemOutputs);
  return std::nullopt;
}

std::vector<uint8_t> encode_message(const Header& header, std::span<const uint8_t> payload) {
  std::vector<uint8_t> bytes(kHeaderBytes);
  encode_header(header, std::span(bytes).first<kHeaderBytes>());
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

}  // namespace velto::deviceserver

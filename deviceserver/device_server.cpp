// The device server's behaviour on the device link: opening and closing
// ports, taking the host's sequenced data exactly once, sending serial input
// as sequenced device data with one message in flight per port and a resend
// every 200 ms until the host acknowledges it, modem lines, discovery
// replies, and the script's faults on everything it sends.
#include "deviceserver/device_server.h"

#include <algorithm>
#include <cstring>

#include "deviceserver/check.h"

namespace velto::deviceserver {

// --- ByteRing -------------------------------------------------------------------

size_t DeviceServer::ByteRing::push(std::span<const uint8_t> in) {
  const size_t taken = std::min(in.size(), room());
  for (size_t i = 0; i < taken; ++i) bytes_[(head_ + size_ + i) % bytes_.size()] = in[i];
  size_ += taken;
  return taken;
}

size_t DeviceServer::ByteRing::pop(std::span<uint8_t> out) {
  const size_t given = std::min(out.size(), size_);
  for (size_t i = 0; i < given; ++i) out[i] = bytes_[(head_ + i) % bytes_.size()];
  head_ = (head_ + given) % bytes_.size();
  size_ -= given;
  return given;
}

// --- call bookkeeping --------------------------------------------------------------

// The backing's way back into the server while it takes the host's bytes.
struct DeviceServer::PortReturn final : SerialReturn {
  PortReturn(DeviceServer& server, int port, int64_t now_100ns)
      : server_(server), port_(port), now_100ns_(now_100ns) {}
  void serial_input(std::span<const uint8_t> bytes) override {
    (void)server_.accept_serial_input(port_, bytes, now_100ns_);
  }
  DeviceServer& server_;
  const int port_;
  const int64_t now_100ns_;
};

// Wraps every call that can make output: at the end of the outermost one,
// the runner is told if there is something new for it.
class DeviceServer::Activity {
 public:
  explicit Activity(DeviceServer& server)
      : server_(server),
        outbox_before_(server.outbox_count_),
        deadline_before_(server.next_deadline_100ns()) {
    ++server_.activity_depth_;
  }
  ~Activity() {
    if (--server_.activity_depth_ > 0 || !server_.wake_hook_) return;
    if (server_.outbox_count_ > outbox_before_ ||
        server_.next_deadline_100ns() != deadline_before_) {
      server_.wake_hook_(server_.wake_context_);
    }
  }
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;

 private:
  DeviceServer& server_;
  const size_t outbox_before_;
  const std::optional<int64_t> deadline_before_;
};

// --- set-up ----------------------------------------------------------------------

DeviceServer::DeviceServer(DeviceServerOptions options)
    : options_(std::move(options)), outbox_(kOutboxMax) {
  DEVSIM_CHECK(options_.ports >= 1 && options_.ports <= kPortsMax, "1 to 16 serial ports");
  DEVSIM_CHECK(is_valid_seq(options_.initial_device_seq), "a starting sequence is 1..15");
  DEVSIM_CHECK(options_.resend_interval_100ns > 0, "a resend interval");
  ports_.reserve(options_.ports);
  for (int i = 0; i < options_.ports; ++i) {
    ports_.emplace_back(options_.pending_bytes_max);
    ports_.back().backing = std::make_unique<LoopbackBacking>();
  }
  delayed_.reserve(kDelayedMax);
}

void DeviceServer::set_backing(int port, std::unique_ptr<PortBacking> backing) {
  DEVSIM_CHECK(backing != nullptr, "every port has a backing");
  port_at(port).backing = std::move(backing);
}

void DeviceServer::set_wake_hook(WakeHook hook, void* context) {
  wake_hook_ = hook;
  wake_context_ = context;
}

DeviceServer::Port& DeviceServer::port_at(int port) {
  DEVSIM_CHECK(port >= 0 && port < options_.ports, "a port index below the port count");
  return ports_[port];
}

const DeviceServer::Port& DeviceServer::port_at(int port) const {
  DEVSIM_CHECK(port >= 0 && port < options_.ports, "a port index below the port count");
  return ports_[port];
}

// --- the device link, inbound -------------------------------------------------------

// Counts a datagram in and says whether the scripted faults let it through.
bool DeviceServer::admit_received() {
  ++counters_.received;
  if (drop_received_ > 0) {
    --drop_received_;
    ++counters_.dropped_by_script;
    return false;
  }
  if (silent_) {
    ++counters_.ignored_silent;
    return false;
  }
  return true;
}

void DeviceServer::receive(const Peer& from, std::span<const uint8_t> datagram, int64_t now_100ns) {
  Activity activity(*this);
  if (!admit_received()) return;
  const auto header = decode_header(datagram);
  if (!header) {
    ++counters_.malformed;
    return;
  }
  if (header->port >= options_.ports) {
    ++counters_.unknown_port;
    return;
  }
  dispatch(from, *header, datagram, now_100ns);
}

void DeviceServer::dispatch(const Peer& from, const Header& header,
                            std::span<const uint8_t> datagram, int64_t now_100ns) {
  Port& port = ports_[header.port];
  switch (header.type) {
    case MessageType::kOpen:
      handle_open(from, header, datagram);
      send_header(from,
                  {.type = MessageType::kOpen,
                   .port = header.port,
                   .length = kOpenReplyLength,
                   .seq = port.device_seq},
                  now_100ns);
      send_modem_status(from, header.port, now_100ns);
      return;
    case MessageType::kClose:
      reset_port(port);
      send_header(from, {.type = MessageType::kClose, .port = header.port, .length = 4}, now_100ns);
      return;
    default:
      break;
  }
  if (!port.open) {
    ++counters_.not_open;
    return;
  }
  switch (header.type) {
    case MessageType::kData:
      handle_host_data(from, header, datagram, now_100ns);
      return;
    case MessageType::kAckRequest:
      send_header(from,
                  {.type = MessageType::kDeviceAck,
                   .port = header.port,
                   .length = 4,
                   .seq = port.last_host_seq},
                  now_100ns);
      return;
    case MessageType::kHostAck:
      handle_host_ack(header, now_100ns);
      return;
    default:
      handle_port_control(header, datagram);
      return;
  }
}

// A new session on the port: sequences start again on both sides, and
// whatever was waiting for the previous session is gone. A repeated open
// (the host did not get the reply) does the same and is answered again.
void DeviceServer::handle_open(const Peer& from, const Header& header,
                               std::span<const uint8_t> datagram) {
  Port& port = ports_[header.port];
  reset_port(port);
  port.open = true;
  port.has_host = true;
  port.host = from;
  port.device_seq = options_.initial_device_seq;
  if (datagram.size() >= kHeaderBytes + kSettingsBytes) {
    std::memcpy(port.settings.data(), datagram.data() + kHeaderBytes, kSettingsBytes);
    port.has_settings = true;
  }
}

void DeviceServer::reset_port(Port& port) {
  port.open = false;
  port.last_host_seq = 0;
  port.in_flight = false;
  port.pending.clear();
  port.modem_outputs = 0;
  port.break_on = false;
}

// The host sends a chunk again with the same sequence when our ack did not
// reach it, so a repeat is acknowledged again but not delivered twice.
void DeviceServer::handle_host_data(const Peer& from, const Header& header,
                                    std::span<const uint8_t> datagram, int64_t now_100ns) {
  if (!is_valid_seq(header.seq) || header.length <= kHeaderBytes ||
      header.length > kHeaderBytes + kHostDataMax || header.length > datagram.size()) {
    ++counters_.malformed;
    return;
  }
  Port& port = ports_[header.port];
  const bool repeat = header.seq == port.last_host_seq;
  send_header(
      from, {.type = MessageType::kDeviceAck, .port = header.port, .length = 4, .seq = header.seq},
      now_100ns);
  if (repeat) {
    ++counters_.duplicates;
    return;
  }
  port.last_host_seq = header.seq;
  const auto payload = datagram.subspan(kHeaderBytes, header.length - kHeaderBytes);
  ++port.counters.host_messages;
  port.counters.bytes_to_serial += payload.size();
  PortReturn line(*this, header.port, now_100ns);
  port.backing->write_serial(payload, line);
}

// Only the acknowledgement of the message in flight releases it; an older
// or stray sequence (a late duplicate) leaves it to its resends.
void DeviceServer::handle_host_ack(const Header& header, int64_t now_100ns) {
  Port& port = ports_[header.port];
  if (!port.in_flight || header.seq != port.device_seq) {
    ++counters_.stale_acks;
    return;
  }
  port.in_flight = false;
  send_next_device_data(header.port, now_100ns);
}

// Settings, breaks and modem control change the port's state and get no
// answer; the lines the host sets show in the next status we report.
void DeviceServer::handle_port_control(const Header& header, std::span<const uint8_t> datagram) {
  Port& port = ports_[header.port];
  switch (header.type) {
    case MessageType::kSettings:
      if (datagram.size() < kHeaderBytes + kSettingsBytes) {
        ++counters_.malformed;
        return;
      }
      std::memcpy(port.settings.data(), datagram.data() + kHeaderBytes, kSettingsBytes);
      port.has_settings = true;
      return;
    case MessageType::kBreakOn:
    case MessageType::kBreakOff:
      port.break_on = header.type == MessageType::kBreakOn;
      return;
    case MessageType::kModemControl: {
      const auto outputs = apply_modem_control(port.modem_outputs, header.length);
      if (!outputs) {
        ++counters_.malformed;
        return;
      }
      port.modem_outputs = *outputs;
      return;
    }
    default:
      ++counters_.unknown_type;
      return;
  }
}

// --- device data --------------------------------------------------------------

size_t DeviceServer::serial_input(int port, std::span<const uint8_t> bytes, int64_t now_100ns) {
  Activity activity(*this);
  (void)port_at(port);
  return accept_serial_input(port, bytes, now_100ns);
}

size_t DeviceServer::serial_input_room(int port) const {
  const Port& p = port_at(port);
  return p.open ? p.pending.room() : 0;
}

// Input while the port is closed has nowhere to go: the next open starts a
// new session, which must not see the previous one's data.
size_t DeviceServer::accept_serial_input(int port, std::span<const uint8_t> bytes,
                                         int64_t now_100ns) {
  Port& p = ports_[port];
  const size_t taken = p.open ? p.pending.push(bytes) : 0;
  counters_.input_discarded += bytes.size() - taken;
  if (taken > 0 && !p.in_flight) send_next_device_data(port, now_100ns);
  return taken;
}

void DeviceServer::send_next_device_data(int port, int64_t now_100ns) {
  Port& p = ports_[port];
  DEVSIM_CHECK(p.open && !p.in_flight, "one device message in flight per open port");
  if (p.pending.size() == 0) return;
  const size_t size =
      kHeaderBytes + p.pending.pop(std::span(p.flight).subspan(kHeaderBytes, kDeviceDataMax));
  p.device_seq = next_seq(p.device_seq);
  encode_header({.type = MessageType::kSeqData,
                 .port = static_cast<uint8_t>(port),
                 .length = static_cast<uint16_t>(size),
                 .seq = p.device_seq},
                std::span(p.flight).first<kHeaderBytes>());
  p.flight_size = static_cast<uint16_t>(size);
  p.in_flight = true;
  p.resend_due_100ns = now_100ns + options_.resend_interval_100ns;
  ++p.counters.device_messages;
  p.counters.bytes_from_serial += size - kHeaderBytes;
  emit(p.host, std::span(p.flight).first(size), now_100ns);
}

// The resend goes on for as long as the port stays open and the host does
// not acknowledge: one datagram per port every 200 ms costs nothing, and a
// host that comes back must find its data still on offer.
void DeviceServer::tick(int64_t now_100ns) {
  Activity activity(*this);
  for (Port& p : ports_) {
    if (!p.open || !p.in_flight || now_100ns < p.resend_due_100ns) continue;
    p.resend_due_100ns = now_100ns + options_.resend_interval_100ns;
    ++counters_.resent;
    emit(p.host, std::span(p.flight).first(p.flight_size), now_100ns);
  }
  release_delayed(now_100ns);
}

std::optional<int64_t> DeviceServer::next_deadline_100ns() const {
  std::optional<int64_t> next;
  auto consider = [&next](int64_t due) { next = next ? std::min(*next, due) : due; };
  for (const Port& p : ports_) {
    if (p.open && p.in_flight) consider(p.resend_due_100ns);
  }
  for (const Delayed& d : delayed_) consider(d.due_100ns);
  return next;
}

// --- outbound ------------------------------------------------------------------------

void DeviceServer::send_header(const Peer& to, const Header& header, int64_t now_100ns) {
  send_message(to, header, {}, now_100ns);
}

void DeviceServer::send_message(const Peer& to, const Header& header,
                                std::span<const uint8_t> payload, int64_t now_100ns) {
  DEVSIM_CHECK(payload.size() <= kDeviceDataMax, "a datagram of at most 512 bytes");
  std::array<uint8_t, kDatagramMax> bytes;
  encode_header(header, std::span(bytes).first<kHeaderBytes>());
  std::copy(payload.begin(), payload.end(), bytes.begin() + kHeaderBytes);
  emit(to, std::span(bytes).first(kHeaderBytes + payload.size()), now_100ns);
}

void DeviceServer::send_modem_status(const Peer& to, int port, int64_t now_100ns) {
  const Port& p = ports_[port];
  send_header(to,
              {.type = MessageType::kModemStatus,
               .port = static_cast<uint8_t>(port),
               .length = static_cast<uint16_t>(p.modem_inputs | p.modem_outputs)},
              now_100ns);
}

// Every datagram leaves through here, where silence and the script's send
// faults apply to it.
void DeviceServer::emit(const Peer& to, std::span<const uint8_t> datagram, int64_t now_100ns) {
  if (silent_) {
    ++counters_.withheld_silent;
    return;
  }
  const SendFaultKind fault = send_fault_.count > 0 ? send_fault_.kind : SendFaultKind::kNone;
  if (fault != SendFaultKind::kNone) --send_fault_.count;
  switch (fault) {
    case SendFaultKind::kDrop:
      ++counters_.dropped_by_script;
      return;
    case SendFaultKind::kDuplicate:
      ++counters_.duplicated_by_script;
      if (push_outbox(to, datagram)) (void)push_outbox(to, datagram);
      return;
    case SendFaultKind::kDelay:
      if (delayed_.size() == kDelayedMax) {
        ++counters_.outbox_overflow;
        return;
      }
      ++counters_.delayed_by_script;
      delayed_.push_back({.due_100ns = now_100ns + send_fault_.delay_100ns, .datagram = {to}});
      delayed_.back().datagram.size = static_cast<uint16_t>(datagram.size());
      std::copy(datagram.begin(), datagram.end(), delayed_.back().datagram.bytes.begin());
      return;
    case SendFaultKind::kNone:
      (void)push_outbox(to, datagram);
      return;
  }
}

bool DeviceServer::push_outbox(const Peer& to, std::span<const uint8_t> datagram) {
  DEVSIM_CHECK(datagram.size() <= kDatagramMax, "a datagram of at most 512 bytes");
  if (outbox_count_ == kOutboxMax) {
    ++counters_.outbox_overflow;
    return false;
  }
  Outbound& out = outbox_[(outbox_head_ + outbox_count_) % kOutboxMax];
  out.to = to;
  out.size = static_cast<uint16_t>(datagram.size());
  std::copy(datagram.begin(), datagram.end(), out.bytes.begin());
  ++outbox_count_;
  ++counters_.sent;
  return true;
}

// Held datagrams go out in the order they were held once due, as far as the
// outbox has room; the rest stay due and go at the next tick.
void DeviceServer::release_delayed(int64_t now_100ns) {
  auto it = delayed_.begin();
  while (it != delayed_.end() && outbox_count_ < kOutboxMax) {
    if (it->due_100ns > now_100ns) {
      ++it;
      continue;
    }
    if (silent_) {
      ++counters_.withheld_silent;
    } else {
      (void)push_outbox(it->datagram.to, it->datagram.datagram());
    }
    it = delayed_.erase(it);
  }
}

bool DeviceServer::pop_outbound(Outbound& out) {
  if (outbox_count_ == 0) return false;
  out = outbox_[outbox_head_];
  outbox_head_ = (outbox_head_ + 1) % kOutboxMax;
  --outbox_count_;
  return true;
}

// --- discovery ---------------------------------------------------------------------

void DeviceServer::receive_discovery(const Peer& from, std::span<const uint8_t> query,
                                     uint32_t announced_ip, int64_t now_100ns) {
  Activity activity(*this);
  if (!admit_received()) return;
  if (query.size() != 1 || query[0] != kDiscoveryQuery) {
    ++counters_.malformed;
    return;
  }
  std::array<uint8_t, kDiscoveryReplyBytes> reply{};
  reply[0] = kDiscoveryReply;
  for (int i = 0; i < 4; ++i) reply[1 + i] = static_cast<uint8_t>(announced_ip >> (24 - 8 * i));
  // A name of exactly 20 characters fills the field and has no NUL.
  const size_t name_bytes = std::min(options_.name.size(), kDiscoveryNameBytes);
  std::memcpy(reply.data() + 5, options_.name.data(), name_bytes);
  for (size_t slot = 0; slot < kDiscoveryPortSlots; ++slot) {
    reply[5 + kDiscoveryNameBytes + slot] = static_cast<int>(slot) < options_.ports ? 1 : 0;
  }
  emit(from, reply, now_100ns);
}

// --- the script ------------------------------------------------------------------

void DeviceServer::set_send_fault(const SendFault& fault) {
  DEVSIM_CHECK(fault.delay_100ns >= 0, "a delay is not negative");
  send_fault_ = fault;
}

void DeviceServer::drop_received(uint32_t count) {
  drop_received_ = count;
}

bool DeviceServer::send_link_down(int port, int64_t now_100ns) {
  Activity activity(*this);
  const Port& p = port_at(port);
  if (!p.open) return false;
  send_header(p.host,
              {.type = MessageType::kLinkDown, .port = static_cast<uint8_t>(port), .length = 4},
              now_100ns);
  return true;
}

bool DeviceServer::send_unsequenced(int port, std::span<const uint8_t> bytes, int64_t now_100ns) {
  Activity activity(*this);
  const Port& p = port_at(port);
  if (!p.open || bytes.empty() || bytes.size() > kDeviceDataMax) return false;
  send_message(p.host,
               {.type = MessageType::kData,
                .port = static_cast<uint8_t>(port),
                .length = static_cast<uint16_t>(kHeaderBytes + bytes.size())},
               bytes, now_100ns);
  return true;
}

void DeviceServer::set_modem_inputs(int port, uint8_t lines, int64_t now_100ns) {
  Activity activity(*this);
  Port& p = port_at(port);
  p.modem_inputs = lines & kModemInputs;
  if (p.open) send_modem_status(p.host, port, now_100ns);
}

PortStatus DeviceServer::port_status(int port) const {
  const Port& p = port_at(port);
  return PortStatus{.open = p.open,
                    .has_host = p.has_host,
                    .host = p.host,
                    .backing_kind = std::string(p.backing->kind()),
                    .backing_location = p.backing->location(),
                    .has_settings = p.has_settings,
                    .settings = p.settings,
                    .modem_status = static_cast<uint8_t>(p.modem_inputs | p.modem_outputs),
                    .break_on = p.break_on,
                    .last_host_seq = p.last_host_seq,
                    .device_seq = p.device_seq,
                    .in_flight = p.in_flight,
                    .pending_bytes = p.pending.size(),
                    .counters = p.counters};
}

}  // namespace velto::deviceserver

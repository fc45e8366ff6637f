// The device server emulator's protocol core: everything a device server does
// on the device link, with no I/O, clock or randomness of its own. A runner
// hands it inbound datagrams, serial input and the current time, takes the
// datagrams it leaves in its outbox and sends them, and calls tick() at the
// deadline it asks for (the resend of device data, the end of a scripted
// delay). Each serial port writes to a backing: a loopback or a sink here, a
// pseudo-terminal in the program. Tests script faults on it (drop, duplicate
// or delay what it sends, ignore what it receives, go silent) and read its
// counters. Two runners drive it: one on the simulation kernel's network and
// one on real UDP sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "deviceserver/protocol.h"

namespace velto::deviceserver {

constexpr int kPortsMax = 16;
constexpr int64_t kResendInterval100ns = 200 * 10'000;  // 200 ms

// An IPv4 address and UDP port, both in host order (1.2.3.4 is 0x01020304).
struct Peer {
  uint32_t ip = 0;
  uint16_t port = 0;
  bool operator==(const Peer&) const = default;
};

// One datagram for the runner to send.
struct Outbound {
  Peer to;
  uint16_t size = 0;
  std::array<uint8_t, kDatagramMax> bytes{};
  std::span<const uint8_t> datagram() const { return {bytes.data(), size}; }
};

// What a backing may do while it takes the host's bytes: answer with bytes
// that arrive on the serial line, as the loopback does.
class SerialReturn {
 public:
  virtual void serial_input(std::span<const uint8_t> bytes) = 0;

 protected:
  ~SerialReturn() = default;
};

// The far side of one serial port.
class PortBacking {
 public:
  virtual ~PortBacking() = default;
  virtual std::string_view kind() const = 0;
  // Where a user finds it (a pty's slave path), or empty.
  virtual std::string location() const { return {}; }
  // The host's bytes for the serial line, in order and each once.
  virtual void write_serial(std::span<const uint8_t> bytes, SerialReturn& line) = 0;
};

// Echoes what the host writes back as serial input, like a loopback plug.
class LoopbackBacking final : public PortBacking {
 public:
  std::string_view kind() const override { return "loopback"; }
  void write_serial(std::span<const uint8_t> bytes, SerialReturn& line) override {
    line.serial_input(bytes);
  }
};

// Takes what the host writes and produces nothing.
class SinkBacking final : public PortBacking {
 public:
  std::string_view kind() const override { return "sink"; }
  void write_serial(std::span<const uint8_t>, SerialReturn&) override {}
};

enum class SendFaultKind : uint8_t {
  kNone,       // send as usual
  kDrop,       // do not send
  kDuplicate,  // send twice
  kDelay,      // hold for the fault's delay, then send
};

// A fault for the next `count` datagrams the server sends, resends included.
struct SendFault {
  SendFaultKind kind = SendFaultKind::kNone;
  uint32_t count = 0;
  int64_t delay_100ns = 0;
};

struct ServerCounters {
  uint64_t received = 0;              // datagrams taken in, link and discovery
  uint64_t sent = 0;                  // datagrams put in the outbox, copies counted
  uint64_t resent = 0;                // device data sent again for want of a HOST_ACK
  uint64_t duplicates = 0;            // host data repeated: acknowledged, not delivered
  uint64_t dropped_by_script = 0;     // sends and receives the script dropped
  uint64_t duplicated_by_script = 0;  // sends the script doubled
  uint64_t delayed_by_script = 0;     // sends the script held back
  uint64_t ignored_silent = 0;        // datagrams received while silent
  uint64_t withheld_silent = 0;       // datagrams not sent while silent
  uint64_t malformed = 0;             // too short, bad length or sequence, bad query
  uint64_t unknown_port = 0;          // a port index at or past the port count
  uint64_t not_open = 0;              // a message for a port that is not open
  uint64_t unknown_type = 0;          // a type the device does not take
  uint64_t stale_acks = 0;            // a HOST_ACK for a sequence not in flight
  uint64_t input_discarded = 0;       // serial input bytes: port closed or queue full
  uint64_t outbox_overflow = 0;       // datagrams lost because the runner fell behind
};

struct PortCounters {
  uint64_t host_messages = 0;      // host data delivered to the backing
  uint64_t bytes_to_serial = 0;    // their bytes
  uint64_t device_messages = 0;    // device data messages made (not resends)
  uint64_t bytes_from_serial = 0;  // their bytes
};

// A copy of one port's state, for status pages and tests.
struct PortStatus {
  bool open = false;
  bool has_host = false;  // opened at least once
  Peer host;              // who opened it last: device data goes there
  std::string backing_kind;
  std::string backing_location;
  bool has_settings = false;
  std::array<uint8_t, kSettingsBytes> settings{};  // as the host sent them
  uint8_t modem_status = 0;                        // inputs and the host's DTR/RTS
  bool break_on = false;
  uint8_t last_host_seq = 0;  // 0: no host data since the open
  uint8_t device_seq = 0;     // of the last device data message made
  bool in_flight = false;
  size_t pending_bytes = 0;  // serial input waiting for its message
  PortCounters counters;
};

struct DeviceServerOptions {
  int ports = 4;  // 1..kPortsMax
  std::string name = "velto-devsim";
  uint8_t initial_device_seq = 1;  // the sequence the open reply carries, 1..15
  int64_t resend_interval_100ns = kResendInterval100ns;
  size_t pending_bytes_max = 16 * 1024;  // serial input held per port
};

// Told at the end of a call that left new datagrams in the outbox or moved
// the next deadline, so that a runner whose sender sleeps can wake it.
using WakeHook = void (*)(void* context);

class DeviceServer {
 public:
  explicit DeviceServer(DeviceServerOptions options);
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  void set_backing(int port, std::unique_ptr<PortBacking> backing);
  void set_wake_hook(WakeHook hook, void* context);

  // --- what the runner feeds in
  // A datagram that arrived on the device link.
  void receive(const Peer& from, std::span<const uint8_t> datagram, int64_t now_100ns);
  // A datagram that arrived on the discovery port; the reply announces
  // announced_ip (host order).
  void receive_discovery(const Peer& from, std::span<const uint8_t> query, uint32_t announced_ip,
                         int64_t now_100ns);
  // Bytes that arrived on a serial line. Returns how many were taken: none
  // while the port is closed, and no more than serial_input_room().
  size_t serial_input(int port, std::span<const uint8_t> bytes, int64_t now_100ns);
  size_t serial_input_room(int port) const;
  // Resends and releases what is due.
  void tick(int64_t now_100ns);
  std::optional<int64_t> next_deadline_100ns() const;

  // --- what the runner takes out
  // Moves the oldest outbound datagram into out; false when there is none.
  bool pop_outbound(Outbound& out);
  size_t outbox_size() const { return outbox_count_; }

  // --- the script
  void set_send_fault(const SendFault& fault);
  void drop_received(uint32_t count);
  // While silent the server ignores what it receives and sends nothing.
  void set_silent(bool silent) { silent_ = silent; }
  bool silent() const { return silent_; }
  // Each needs the port open; false otherwise (or for a bad length).
  bool send_link_down(int port, int64_t now_100ns);
  bool send_unsequenced(int port, std::span<const uint8_t> bytes, int64_t now_100ns);
  // Sets CTS, DSR, RI and DCD (other bits are ignored) and reports them if
  // the port is open.
  void set_modem_inputs(int port, uint8_t lines, int64_t now_100ns);

  // --- state
  int port_count() const { return options_.ports; }
  const std::string& name() const { return options_.name; }
  const ServerCounters& counters() const { return counters_; }
  PortStatus port_status(int port) const;

 private:
  // Serial input waiting to go out as device data: a fixed ring, so that the
  // data path allocates nothing.
  class ByteRing {
   public:
    explicit ByteRing(size_t capacity) : bytes_(capacity) {}
    size_t size() const { return size_; }
    size_t room() const { return bytes_.size() - size_; }
    size_t push(std::span<const uint8_t> in);
    size_t pop(std::span<uint8_t> out);
    void clear() { head_ = size_ = 0; }

   private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
    size_t size_ = 0;
  };

  struct Port {
    explicit Port(size_t pending_max) : pending(pending_max) {}
    bool open = false;
    bool has_host = false;
    Peer host;
    std::unique_ptr<PortBacking> backing;
    bool has_settings = false;
    std::array<uint8_t, kSettingsBytes> settings{};
    uint8_t modem_inputs = kModemCts | kModemDsr | kModemDcd;
    uint8_t modem_outputs = 0;  // the host's DTR/RTS
    bool break_on = false;
    uint8_t last_host_seq = 0;
    uint8_t device_seq = 0;
    // One device data message at a time is in flight, until its HOST_ACK.
    bool in_flight = false;
    int64_t resend_due_100ns = 0;
    uint16_t flight_size = 0;
    std::array<uint8_t, kDatagramMax> flight{};
    ByteRing pending;
    PortCounters counters;
  };

  struct Delayed {
    int64_t due_100ns = 0;
    Outbound datagram;
  };

  struct PortReturn;
  class Activity;
  bool admit_received();

  void dispatch(const Peer& from, const Header& header, std::span<const uint8_t> datagram,
                int64_t now_100ns);
  void handle_open(const Peer& from, const Header& header, std::span<const uint8_t> datagram);
  void handle_host_data(const Peer& from, const Header& header, std::span<const uint8_t> datagram,
                        int64_t now_100ns);
  void handle_host_ack(const Header& header, int64_t now_100ns);
  void handle_port_control(const Header& header, std::span<const uint8_t> datagram);
  size_t accept_serial_input(int port, std::span<const uint8_t> bytes, int64_t now_100ns);
  void send_next_device_data(int port, int64_t now_100ns);
  void reset_port(Port& port);
  void send_header(const Peer& to, const Header& header, int64_t now_100ns);
  void send_message(const Peer& to, const Header& header, std::span<const uint8_t> payload,
                    int64_t now_100ns);
  void send_modem_status(const Peer& to, int port, int64_t now_100ns);
  void emit(const Peer& to, std::span<const uint8_t> datagram, int64_t now_100ns);
  bool push_outbox(const Peer& to, std::span<const uint8_t> datagram);
  void release_delayed(int64_t now_100ns);
  Port& port_at(int port);
  const Port& port_at(int port) const;

  static constexpr size_t kOutboxMax = 128;
  static constexpr size_t kDelayedMax = 64;

  const DeviceServerOptions options_;
  std::vector<Port> ports_;
  ServerCounters counters_;
  // The outbox: a ring of kOutboxMax datagrams that the runner drains.
  std::vector<Outbound> outbox_;
  size_t outbox_head_ = 0;
  size_t outbox_count_ = 0;
  std::vector<Delayed> delayed_;  // in the order they were held, at most kDelayedMax
  SendFault send_fault_;
  uint32_t drop_received_ = 0;
  bool silent_ = false;
  WakeHook wake_hook_ = nullptr;
  void* wake_context_ = nullptr;
  int activity_depth_ = 0;  // nested calls wake the runner only once, at the outermost
};

}  // namespace velto::deviceserver

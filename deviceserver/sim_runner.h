// Runs a device server core on the simulation kernel's network, so that the
// port driver's tests have a far end that behaves as the real boxes do, in
// virtual time. The server owns an endpoint at its own simulated address
// (192.0.2.0/24; the host is 192.0.2.1) and two simulated threads: one takes
// datagrams into the core, the other sends what the core leaves in its
// outbox and calls its tick at each deadline.
//
// A test reaches the core with server() between its own kernel calls: the
// simulation runs one thread at a time, so no lock is needed. The core wakes
// the sender itself when such a call leaves something to send.
#pragma once

#include <cstdint>

#include "deviceserver/device_server.h"
#include "platform/sim/sim_kernel.h"

namespace velto::deviceserver {

constexpr uint32_t kSimServerIp = 0xC000020A;  // 192.0.2.10

class SimRunner {
 public:
  SimRunner(platform::sim::SimKernel& kernel, DeviceServerOptions options,
            uint32_t ip = kSimServerIp, uint16_t udp_port = kLinkUdpPort);
  // Stops the server if it still runs.
  ~SimRunner();
  SimRunner(const SimRunner&) = delete;
  SimRunner& operator=(const SimRunner&) = delete;

  // Binds the endpoint and starts the threads. Call from a simulated thread.
  [[nodiscard]] platform::NTSTATUS start();
  // Closes the endpoint, ends both threads and releases everything.
  void stop();

  DeviceServer& server() { return server_; }
  uint32_t ip() const { return ip_; }
  uint16_t udp_port() const { return udp_port_; }
  // Sends the transport refused (the network's send_failure fault).
  uint64_t send_failures() const { return send_failures_; }

 private:
  static void receive_thread(void* context);
  static void send_thread(void* context);
  static void wake(void* context);
  void receive_loop();
  void send_loop();
  void drain_outbox();

  // Every field below is touched only by the baton holder: the simulation
  // runs one thread at a time.
  platform::sim::SimKernel& kernel_;
  DeviceServer server_;
  const uint32_t ip_;
  const uint16_t udp_port_;
  platform::TransportAddress* address_ = nullptr;
  platform::KEVENT wake_;  // set when the core has output or a new deadline
  platform::KTHREAD* receiver_ = nullptr;
  platform::KTHREAD* sender_ = nullptr;
  bool running_ = false;
  bool stopping_ = false;
  uint64_t send_failures_ = 0;
  uint8_t receive_buffer_[kDatagramMax + 1] = {};
  Outbound outbound_;
};

}  // namespace velto::deviceserver

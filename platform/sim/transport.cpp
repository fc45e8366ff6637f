// The host's UDP transport on the simulated network. A transport address is
// an endpoint of the network; receives block as simulated waits, so a closed
// address wakes its receivers and virtual time runs on while they wait.
#include <algorithm>
#include <cstring>

#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_thread.h"

namespace velto::platform::sim {

namespace {
Endpoint* endpoint_of(TransportAddress* address) {
  return reinterpret_cast<Endpoint*>(address);
}
}  // namespace

NTSTATUS SimKernel::open_endpoint(uint32_t ip, uint16_t port, TransportAddress** address) {
  Lock lock(mutex_);
  SimThread* self = self_locked("open_endpoint");
  schedule_point(lock, self);
  Endpoint* endpoint = network_.bind(ip, port);
  if (!endpoint) return STATUS_ADDRESS_ALREADY_EXISTS;
  *address = reinterpret_cast<TransportAddress*>(endpoint);
  return STATUS_SUCCESS;
}

NTSTATUS SimKernel::open_transport_address(uint16_t local_port, TransportAddress** address) {
  {
    Lock lock(mutex_);
    SimThread* self = self_locked("open_transport_address");
    if (!network_.transport_available()) {
      schedule_point(lock, self);
      return STATUS_OBJECT_NAME_NOT_FOUND;  // "\device\udp" is not there yet
    }
  }
  return open_endpoint(0, local_port, address);
}

NTSTATUS SimKernel::send_datagram(TransportAddress* address, uint32_t remote_ip,
                                  uint16_t remote_port, std::span<const uint8_t> data) {
  Lock lock(mutex_);
  SimThread* self = self_locked("send_datagram");
  require_can_wait_locked(self, "send_datagram");
  Endpoint* endpoint = endpoint_of(address);
  if (endpoint->closed) return STATUS_INVALID_PARAMETER;
  auto plan = network_.plan_send(*endpoint, remote_ip, remote_port, {data.begin(), data.end()},
                                 now_100ns_, network_random_);
  schedule_point(lock, self);
  if (!plan) return STATUS_NETWORK_UNREACHABLE;
  for (const auto& delivery : *plan) {
    push_deadline_locked(now_100ns_ + delivery.delay_100ns, Deadline::Kind::kDelivery, nullptr,
                         delivery.id);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SimKernel::receive_datagram(TransportAddress* address, uint32_t, uint16_t,
                                     std::span<uint8_t> buffer, ReceivedDatagram* received) {
  return receive_datagram_until(address, buffer, received, std::nullopt);
}

NTSTATUS SimKernel::receive_datagram_until(TransportAddress* address, std::span<uint8_t> buffer,
                                           ReceivedDatagram* received,
                                           std::optional<int64_t> timeout_100ns) {
  Lock lock(mutex_);
  SimThread* self = self_locked("receive_datagram");
  require_can_wait_locked(self, "receive_datagram");
  Endpoint* endpoint = endpoint_of(address);
  std::optional<int64_t> deadline;
  if (timeout_100ns) deadline = absolute_due_locked(*timeout_100ns);
  schedule_point(lock, self);
  while (endpoint->queue.empty()) {
    if (endpoint->closed) return STATUS_CANCELLED;
    if (deadline && now_100ns_ >= *deadline) return STATUS_TIMEOUT;
    (void)block_locked(lock, self, WaitKind::kDatagram, endpoint, "a datagram", deadline);
  }
  Datagram datagram = std::move(endpoint->queue.front());
  endpoint->queue.pop_front();
  const size_t stored = std::min(buffer.size(), datagram.bytes.size());
  std::memcpy(buffer.data(), datagram.bytes.data(), stored);
  received->length = stored;
  received->sender_ip = datagram.source_ip;
  received->sender_port = datagram.source_port;
  return STATUS_SUCCESS;
}

void SimKernel::close_transport_address(TransportAddress* address) {
  Lock lock(mutex_);
  SimThread* self = self_locked("close_transport_address");
  Endpoint* endpoint = endpoint_of(address);
  network_.unbind(endpoint);
  wake_waiters_locked(WaitKind::kDatagram, endpoint, true, STATUS_CANCELLED);
  schedule_point(lock, self);
}

void SimKernel::release_transport_address(TransportAddress* address) {
  Lock lock(mutex_);
  SimThread* self = self_locked("release_transport_address");
  network_.release(endpoint_of(address));
  schedule_point(lock, self);
}

}  // namespace velto::platform::sim

// The host kernel's UDP transport over IPv4 sockets. An address is a socket
// bound to the kernel's bind address and a local port, plus an eventfd that
// turns readable for good when the address is closed: close() does not wake a
// thread blocked in recvfrom on Linux, so receivers wait in poll() on both
// descriptors instead. Several threads may send and receive on one address at
// once; the socket calls themselves are thread-safe.
//
// The socket is bound with SO_REUSEADDR, so that a host bound to every
// address (or to 127.0.0.1) and an emulated device server bound to, say,
// 127.0.0.2 can both use the same port on one machine. Within one kernel a
// port is opened at most once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/host/host_kernel.h"
#include "platform/host/host_objects.h"

namespace velto::platform {

namespace {

// A send interrupted by a signal is retried this many times, then reported.
constexpr int kSendAttempts = 8;

NTSTATUS status_from_errno(int error) {
  switch (error) {
    case EADDRINUSE:
      return STATUS_ADDRESS_ALREADY_EXISTS;
    case ECONNREFUSED:
      return STATUS_CONNECTION_REFUSED;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
      return STATUS_NETWORK_UNREACHABLE;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
    case EAGAIN:
      return STATUS_INSUFFICIENT_RESOURCES;
    case EINVAL:
    case EMSGSIZE:
    case EADDRNOTAVAIL:
      return STATUS_INVALID_PARAMETER;
    case EACCES:
    case EPERM:
      return STATUS_ACCESS_DENIED;  // a port below 1024 without the privilege for it
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// Errors a receive sees that concern some other datagram or some other
// thread (an ICMP report for an earlier send, a datagram another receiver
// took first, a signal): the receive goes on waiting.
bool receive_goes_on_after(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNREFUSED ||
         error == EHOSTUNREACH || error == ENETUNREACH;
}

sockaddr_in ipv4_address(uint32_t ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(ip);
  return address;
}

std::string dotted(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
         std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

// Returns 0 with *socket_fd set, or the errno of the step that failed.
int open_bound_socket(uint32_t bind_ip, uint16_t local_port, int* socket_fd) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int on = 1;
  const sockaddr_in local = ipv4_address(bind_ip, local_port);
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  *socket_fd = fd;
  return 0;
}

// Counts a send or receive under way, so that release can check that none is.
class CallInProgress {
 public:
  explicit CallInProgress(TransportAddress& address) : address_(address) {
    address_.calls_in_progress.fetch_add(1, std::memory_order_relaxed);
  }
  ~CallInProgress() { address_.calls_in_progress.fetch_sub(1, std::memory_order_release); }
  CallInProgress(const CallInProgress&) = delete;
  CallInProgress& operator=(const CallInProgress&) = delete;

 private:
  TransportAddress& address_;
};

}  // namespace

TransportAddress::~TransportAddress() {
  if (socket_fd >= 0) ::close(socket_fd);
  if (wake_fd >= 0) ::close(wake_fd);
}

NTSTATUS HostKernel::open_transport_address(uint16_t local_port, TransportAddress** address) {
  // Context: passive. Locks: takes transport_mutex_. Blocks: never.
  *address = nullptr;
  int error = 0;
  {
    std::lock_guard guard(transport_mutex_);
    for (const auto& other : transport_addresses_) {
      // SO_REUSEADDR would let a second socket share the port; one kernel
      // opening its own port twice is refused as the system would.
      if (local_port != 0 && other->local_port == local_port) return STATUS_ADDRESS_ALREADY_EXISTS;
    }
    auto opened = std::make_unique<TransportAddress>();
    opened->local_port = local_port;
    error = open_bound_socket(options_.bind_ip, local_port, &opened->socket_fd);
    if (error == 0) opened->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (error == 0 && opened->wake_fd < 0) error = errno;
    if (error == 0) {
      transport_addresses_.push_back(std::move(opened));
      *address = transport_addresses_.back().get();
      return STATUS_SUCCESS;
    }
  }
  // The operator needs the reason (a port in use, a privileged port, a bind
  // address that is not local), which a status alone does not carry.
  debug_print("host kernel: cannot open UDP " + dotted(options_.bind_ip) + ":" +
              std::to_string(local_port) + ": " + std::system_category().message(error));
  return status_from_errno(error);
}

NTSTATUS HostKernel::send_datagram(TransportAddress* address, uint32_t remote_ip,
                                   uint16_t remote_port, std::span<const uint8_t> data) {
  // Context: any level. Locks: none. Blocks: at passive level only while the
  // socket's send buffer is full; at dispatch level a full buffer drops the
  // datagram with STATUS_INSUFFICIENT_RESOURCES instead.
  CallInProgress call(*address);
  if (address->closed.load(std::memory_order_acquire)) return STATUS_CANCELLED;
  const sockaddr_in remote = ipv4_address(remote_ip, remote_port);
  int flags = MSG_NOSIGNAL;
  if (current_irql() >= KIRQL::DISPATCH_LEVEL) flags |= MSG_DONTWAIT;
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    const ssize_t sent = ::sendto(address->socket_fd, data.data(), data.size(), flags,
                                  reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    if (sent >= 0) {
      return static_cast<size_t>(sent) == data.size() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    if (errno != EINTR) return status_from_errno(errno);
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS HostKernel::receive_datagram(TransportAddress* address, uint32_t /*remote_ip*/,
                                      uint16_t /*remote_port*/, std::span<uint8_t> buffer,
                                      ReceivedDatagram* received) {
  // Context: passive. Locks: none. Blocks: until a datagram arrives or the
  // address is closed. The loop turns only when something happened on one of
  // the descriptors (or a signal came), never on a timer.
  check_may_wait("receive_datagram", "transport address", std::nullopt);
  CallInProgress call(*address);
  for (;;) {
    if (address->closed.load(std::memory_order_acquire)) return STATUS_CANCELLED;
    pollfd fds[2] = {{address->socket_fd, POLLIN, 0}, {address->wake_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return status_from_errno(errno);
    }
    if (fds[1].revents != 0) return STATUS_CANCELLED;
    if ((fds[0].revents & POLLNVAL) != 0) fail("receive_datagram on a released transport address");
    if ((fds[0].revents & (POLLIN | POLLERR)) == 0) continue;
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    const ssize_t got = ::recvfrom(address->socket_fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (got >= 0) {
      received->length = static_cast<size_t>(got);
      received->sender_ip = ntohl(sender.sin_addr.s_addr);
      received->sender_port = ntohs(sender.sin_port);
      return STATUS_SUCCESS;
    }
    if (!receive_goes_on_after(errno)) return status_from_errno(errno);
  }
}

void HostKernel::close_transport_address(TransportAddress* address) {
  // Context: any level. Locks: none. Blocks: never. Closing twice is harmless.
  if (address->closed.exchange(true, std::memory_order_acq_rel)) return;
  const uint64_t one = 1;
  // Cannot fail: the counter is far from its limit and the descriptor is ours.
  if (::write(address->wake_fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
    fail("close_transport_address could not wake the receivers");
  }
}

void HostKernel::release_transport_address(TransportAddress* address) {
  // Context: passive. Locks: takes transport_mutex_. Blocks: never.
  if (!address->closed.load(std::memory_order_acquire)) {
    fail("release_transport_address of an address that is still open");
  }
  if (address->calls_in_progress.load(std::memory_order_acquire) != 0) {
    fail("release_transport_address while a send or receive is still under way");
  }
  std::lock_guard guard(transport_mutex_);
  auto it = std::find_if(transport_addresses_.begin(), transport_addresses_.end(),
                         [address](const auto& open) { return open.get() == address; });
  if (it == transport_addresses_.end()) fail("release_transport_address of an unknown address");
  transport_addresses_.erase(it);
}

size_t HostKernel::open_transport_addresses() {
  std::lock_guard guard(transport_mutex_);
  return transport_addresses_.size();
}

void HostKernel::close_all_transport_addresses() {
  // Context: passive, from the destructor. Locks: takes transport_mutex_.
  // Blocks: never. Every thread has ended, so no call is under way.
  std::lock_guard guard(transport_mutex_);
  transport_addresses_.clear();
}

}  // namespace velto::platform

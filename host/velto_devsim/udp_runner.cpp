// The emulator's real-socket runner: socket set-up, the poll loop, and the
// hand-over of every ready descriptor's input to the core, after which the
// core's outbox is sent. Reads are bounded per wake-up so that one busy
// source cannot starve the others.
#include "host/velto_devsim/udp_runner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "host/velto_devsim/control.h"

namespace velto::devsim {

namespace {

using deviceserver::Peer;

constexpr int kReadsPerWake = 64;
constexpr size_t kControlLineMax = 4096;

int64_t now_100ns() {
  using namespace std::chrono;
  return duration_cast<duration<int64_t, std::ratio<1, 10'000'000>>>(
             steady_clock::now().time_since_epoch())
      .count();
}

std::string ipv4_text(uint32_t ip) {
  in_addr address{htonl(ip)};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

sockaddr_in socket_address(uint32_t ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ip);
  address.sin_port = htons(port);
  return address;
}

std::string system_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

UdpRunner::UdpRunner(RunnerOptions options)
    : options_(std::move(options)), server_(options_.server), ptys_(options_.server.ports) {}

UdpRunner::~UdpRunner() {
  web_page_.stop();
  if (link_fd_ >= 0) ::close(link_fd_);
  if (discovery_fd_ >= 0) ::close(discovery_fd_);
}

bool UdpRunner::start(std::string* error) {
  if (!open_link(error) || !open_backings(error)) return false;
  open_discovery();
  control_open_ = options_.control;
  if (options_.http_port != 0 &&
      !web_page_.start(
          ipv4_text(options_.address), options_.http_port, [this] { return snapshot(); }, error)) {
    return false;
  }
  print_banner();
  return true;
}

bool UdpRunner::open_link(std::string* error) {
  link_fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  const sockaddr_in local = socket_address(options_.address, options_.udp_port);
  if (link_fd_ < 0 || ::setsockopt(link_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(link_fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    *error = system_error("cannot open UDP " + ipv4_text(options_.address) + ":" +
                          std::to_string(options_.udp_port));
    return false;
  }
  return true;
}

// Discovery is a convenience: without it the device link still works, so a
// failure here is a warning. The socket is bound to the group itself, so
// it takes no unicast, and IP_MULTICAST_ALL is off, so it hears only the
// group joined here, on the interface that holds the bind address (lo for
// a loopback address).
void UdpRunner::open_discovery() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  const int off = 0;
  const sockaddr_in group =
      socket_address(deviceserver::kDiscoveryGroup, deviceserver::kDiscoveryUdpPort);
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = htonl(deviceserver::kDiscoveryGroup);
  membership.imr_interface.s_addr = htonl(options_.address);
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    std::fprintf(stderr, "velto-devsim: discovery is off: %s\n",
                 system_error("cannot join 239.0.1.1 on " + ipv4_text(options_.address)).c_str());
    if (fd >= 0) ::close(fd);
    return;
  }
  discovery_fd_ = fd;
}

bool UdpRunner::open_backings(std::string* error) {
  std::lock_guard lock(mutex_);
  for (int port = 0; port < server_.port_count(); ++port) {
    switch (options_.backings.at(port)) {
      case BackingKind::kLoopback:
        break;  // the core's default
      case BackingKind::kSink:
        server_.set_backing(port, std::make_unique<deviceserver::SinkBacking>());
        break;
      case BackingKind::kPty: {
        auto pty = PtyBacking::open(error);
        if (!pty) return false;
        ptys_[port] = pty.get();
        server_.set_backing(port, std::move(pty));
        break;
      }
    }
  }
  return true;
}

void UdpRunner::print_banner() {
  std::lock_guard lock(mutex_);
  const std::string address = ipv4_text(options_.address);
  std::printf("velto-devsim: \"%s\" on UDP %s:%u with %d serial ports\n", server_.name().c_str(),
              address.c_str(), options_.udp_port, server_.port_count());
  for (int port = 0; port < server_.port_count(); ++port) {
    const auto status = server_.port_status(port);
    std::printf(
        "port %d: %s\n", port + 1,
        (status.backing_location.empty() ? status.backing_kind : status.backing_location).c_str());
  }
  if (discovery_fd_ >= 0) std::printf("discovery: 239.0.1.1:12345 on %s\n", address.c_str());
  if (options_.http_port != 0) {
    std::printf("web page: http://%s:%u/\n", address.c_str(), options_.http_port);
  }
  if (options_.control) std::printf("control: commands on standard input (see --help)\n");
  std::fflush(stdout);
}

void UdpRunner::run(int stop_fd) {
  for (bool stop = false; !stop;) {
    int timeout_ms = 0;
    {
      std::lock_guard lock(mutex_);
      timeout_ms = build_poll_set_locked(stop_fd);
    }
    const int ready = ::poll(poll_fds_.data(), poll_fds_.size(), timeout_ms);
    if (ready < 0 && errno != EINTR) {
      std::perror("velto-devsim: poll");
      return;
    }
    std::lock_guard lock(mutex_);
    const int64_t now = now_100ns();
    for (size_t i = 0; i < poll_fds_.size() && ready > 0; ++i) {
      if (poll_fds_[i].revents != 0) stop |= handle_ready_locked(poll_sources_[i], now);
    }
    server_.tick(now);
    send_outbox_locked();
  }
}

// A pty is read only while its port is open and the core has room for
// more: otherwise what the program writes stays in the pty, for later.
// Returns the poll timeout: until the core's next deadline, or none.
int UdpRunner::build_poll_set_locked(int stop_fd) {
  poll_fds_.clear();
  poll_sources_.clear();
  auto add = [this](int fd, Source source) {
    poll_fds_.push_back({fd, POLLIN, 0});
    poll_sources_.push_back(source);
  };
  add(stop_fd, {Source::Kind::kStop});
  add(link_fd_, {Source::Kind::kLink});
  if (discovery_fd_ >= 0) add(discovery_fd_, {Source::Kind::kDiscovery});
  if (control_open_) add(STDIN_FILENO, {Source::Kind::kControl});
  for (int port = 0; port < server_.port_count(); ++port) {
    if (ptys_[port] && server_.serial_input_room(port) > 0) {
      add(ptys_[port]->master_fd(), {Source::Kind::kPty, port});
    }
  }
  const auto due = server_.next_deadline_100ns();
  if (!due) return -1;
  const int64_t wait_100ns = std::max<int64_t>(0, *due - now_100ns());
  return static_cast<int>(std::min<int64_t>((wait_100ns + 9'999) / 10'000, 60'000));
}

// Returns true when the emulator is to stop.
bool UdpRunner::handle_ready_locked(const Source& source, int64_t now_100ns) {
  switch (source.kind) {
    case Source::Kind::kStop:
      return true;
    case Source::Kind::kLink:
      take_link_datagrams_locked(now_100ns);
      return false;
    case Source::Kind::kDiscovery:
      take_discovery_queries_locked(now_100ns);
      return false;
    case Source::Kind::kControl:
      return take_control_input_locked(now_100ns);
    case Source::Kind::kPty:
      take_pty_input_locked(source.port, now_100ns);
      return false;
  }
  return false;
}

namespace {

// Takes what a socket holds, a bounded number of datagrams per wake-up, and
// hands each to take(sender, bytes).
template <typename Take>
void take_datagrams(int fd, std::span<uint8_t> buffer, int reads, Take&& take) {
  for (int i = 0; i < reads; ++i) {
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) return;
    take(Peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)},
         buffer.first(static_cast<size_t>(n)));
  }
}

}  // namespace

void UdpRunner::take_link_datagrams_locked(int64_t now_100ns) {
  uint8_t buffer[2048];
  take_datagrams(link_fd_, buffer, kReadsPerWake,
                 [&](const Peer& from, std::span<const uint8_t> datagram) {
                   server_.receive(from, datagram, now_100ns);
                   send_outbox_locked();
                 });
}

void UdpRunner::take_discovery_queries_locked(int64_t now_100ns) {
  uint8_t buffer[64];
  take_datagrams(discovery_fd_, buffer, kReadsPerWake,
                 [&](const Peer& querier, std::span<const uint8_t> query) {
                   server_.receive_discovery(querier, query, announced_ip(querier), now_100ns);
                   send_outbox_locked();
                 });
}

// The address the reply announces: the bind address, or, bound to every
// address, the one this machine would use to reach the querier.
uint32_t UdpRunner::announced_ip(const Peer& querier) const {
  if (options_.address != 0) return options_.address;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = socket_address(querier.ip, querier.port);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  const bool found = fd >= 0 &&
                     ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
  if (fd >= 0) ::close(fd);
  return found ? ntohl(local.sin_addr.s_addr) : 0;
}

// Returns true when a command asked to quit. End of input ends the control
// session but not the emulator, so a script can set faults and leave it
// running.
bool UdpRunner::take_control_input_locked(int64_t now_100ns) {
  char chunk[1024];
  const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (n <= 0) {
    if (n == 0 || errno != EINTR) control_open_ = false;
    return false;
  }
  control_buffer_.append(chunk, static_cast<size_t>(n));
  bool quit = false;
  for (size_t end; !quit && (end = control_buffer_.find('\n')) != std::string::npos;) {
    std::string line = control_buffer_.substr(0, end);
    control_buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(' ') == std::string::npos || line[0] == '#') continue;
    const ControlReply reply = run_control_command(server_, line, now_100ns);
    std::printf("%s\n", reply.line.c_str());
    quit = reply.quit;
  }
  if (control_buffer_.size() > kControlLineMax) {
    control_buffer_.clear();
    std::printf("error: a command line longer than %zu bytes\n", kControlLineMax);
  }
  std::fflush(stdout);
  send_outbox_locked();
  return quit;
}

void UdpRunner::take_pty_input_locked(int port, int64_t now_100ns) {
  uint8_t buffer[4096];
  const size_t room = std::min(sizeof buffer, server_.serial_input_room(port));
  const ssize_t n = ::read(ptys_[port]->master_fd(), buffer, room);
  if (n <= 0) return;
  (void)server_.serial_input(port, std::span(buffer, static_cast<size_t>(n)), now_100ns);
  send_outbox_locked();
}

// A datagram the socket cannot take now is lost, as on any network; the
// host's and our resends cover it.
void UdpRunner::send_outbox_locked() {
  while (server_.pop_outbound(outbound_)) {
    const sockaddr_in to = socket_address(outbound_.to.ip, outbound_.to.port);
    (void)::sendto(link_fd_, outbound_.bytes.data(), outbound_.size, MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
}

PageView UdpRunner::snapshot() {
  std::lock_guard lock(mutex_);
  PageView view{.name = server_.name(),
                .address = ipv4_text(options_.address) + ":" + std::to_string(options_.udp_port),
                .silent = server_.silent(),
                .counters = server_.counters()};
  for (int port = 0; port < server_.port_count(); ++port) {
    view.ports.push_back(server_.port_status(port));
    view.pty_dropped_bytes.push_back(ptys_[port] ? ptys_[port]->dropped_bytes() : 0);
  }
  return view;
}

}  // namespace velto::devsim

// velto-devsim as a host and a user meet it: the device link over real UDP
// on loopback (open, data, echo, close), a pty port with control commands on
// standard input, the status web page, discovery inside a private network
// namespace, the command line's errors, and the control commands' replies
// and effects on the core. Timeouts here only bound a hang.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/velto_devsim/control.h"

namespace velto::devsim {
namespace {

using deviceserver::DeviceServer;
using deviceserver::MessageType;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr auto kHangBound = std::chrono::seconds(5);

uint32_t ipv4(const char* text) {
  in_addr address{};
  EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1) << text;
  return ntohl(address.s_addr);
}

sockaddr_in socket_address(uint32_t ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ip);
  address.sin_port = htons(port);
  return address;
}

Bytes message(MessageType type, uint8_t port, uint16_t length, uint8_t seq, std::string_view text) {
  Bytes bytes(deviceserver::kHeaderBytes);
  deviceserver::encode_header({.type = type, .port = port, .length = length, .seq = seq},
                              std::span(bytes).first<deviceserver::kHeaderBytes>());
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

Bytes open_message(uint8_t port) {
  return message(MessageType::kOpen, port, 22, 1, std::string(deviceserver::kSettingsBytes, '\0'));
}

// A velto-devsim child with its standard input and output on pipes.
class Child {
 public:
  ~Child() { stop(); }

  void start(const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }

  // The first line of its output that holds text, or "" at the hang bound.
  std::string wait_for_line(const std::string& text) {
    const auto deadline = Clock::now() + kHangBound;
    for (;;) {
      for (size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line.find(text) != std::string::npos) return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd fd{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return "";
      char chunk[512];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  void write_line(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // SIGTERM, then SIGKILL if it has not ended within the hang bound.
  // Returns its exit status, or -1 when it had to be killed.
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + kHangBound;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    ::close(in_);
    ::close(out_);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

// The host's end of the device link: a UDP socket that shares its port with
// others (SO_REUSEADDR), as the port driver's does.
class HostSocket {
 public:
  HostSocket(uint32_t ip, uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    const sockaddr_in local = socket_address(ip, port);
    timeval bound{.tv_sec = 5, .tv_usec = 0};
    bound_ = fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
             ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0 &&
             ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  }
  ~HostSocket() { ::close(fd_); }
  bool bound() const { return bound_; }
  int fd() const { return fd_; }

  void send(uint32_t ip, uint16_t port, const Bytes& datagram) {
    const sockaddr_in to = socket_address(ip, port);
    ASSERT_EQ(::sendto(fd_, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(datagram.size()));
  }

  // The next datagram from ip:519, or nothing at the hang bound.
  std::optional<Bytes> receive_from(uint32_t ip) {
    const auto deadline = Clock::now() + kHangBound;
    while (Clock::now() < deadline) {
      Bytes buffer(2048);
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return std::nullopt;
      if (ntohl(from.sin_addr.s_addr) != ip || ntohs(from.sin_port) != 519) continue;
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    return std::nullopt;
  }

 private:
  const int fd_;
  bool bound_ = false;
};

struct Finished {
  int status = -1;
  std::string output;
};

// Runs velto-devsim to its end with the given arguments; stdout or stderr.
Finished run_devsim(const std::string& args, bool standard_error) {
  const std::string command = std::string(VELTO_DEVSIM) + " " + args +
                              (standard_error ? " 2>&1 >/dev/null" : " 2>/dev/null");
  Finished run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> chunk{};
  while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe))
    run.output.append(chunk.data(), n);
  const int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

TEST(DevsimLink, OpenDataEchoAndCloseOverLoopbackUdp) {
  const uint32_t emulator = ipv4("127.0.0.2");
  HostSocket host(ipv4("127.0.0.1"), 519);
  ASSERT_TRUE(host.bound()) << std::strerror(errno);
  Child devsim;
  devsim.start({VELTO_DEVSIM, "--address", "127.0.0.2", "--ports", "2", "--serial", "1=loopback",
                "--http-port", "0"});
  ASSERT_THAT(devsim.wait_for_line("port 2:"), HasSubstr("loopback"));

  host.send(emulator, 519, open_message(0));
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(1, 0, 3, 0x10));
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(14, 0, 0xB0, 0));
  host.send(emulator, 519, message(MessageType::kData, 0, 6, 2, "hi"));
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(4, 0, 4, 0x20));
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(10, 0, 6, 0x20, 'h', 'i'));
  host.send(emulator, 519, message(MessageType::kHostAck, 0, 4, 2, ""));
  host.send(emulator, 519, message(MessageType::kClose, 0, 4, 0, ""));
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(2, 0, 4, 0));
  EXPECT_EQ(devsim.stop(), 0);
}

// Reads from fd until `want` bytes came, or the hang bound.
std::string read_bytes(int fd, size_t want) {
  std::string got;
  const auto deadline = Clock::now() + kHangBound;
  while (got.size() < want && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char chunk[64];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

TEST(DevsimPty, HostBytesReachTheSlaveAndItsOutputAndCommandsReachTheHost) {
  // Addresses of this test's own, so that it can run beside the one above.
  const uint32_t emulator = ipv4("127.0.0.4");
  HostSocket host(ipv4("127.0.0.5"), 519);
  ASSERT_TRUE(host.bound()) << std::strerror(errno);
  Child devsim;
  devsim.start({VELTO_DEVSIM, "--address", "127.0.0.4", "--ports", "1", "--serial", "1=pty",
                "--http-port", "0", "--control"});
  const std::string line = devsim.wait_for_line("port 1:");
  ASSERT_THAT(line, HasSubstr("/dev/pts/"));
  const int slave = ::open(line.substr(line.find('/')).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0) << line;

  host.send(emulator, 519, open_message(0));
  ASSERT_TRUE(host.receive_from(emulator));  // the open reply
  ASSERT_TRUE(host.receive_from(emulator));  // the lines
  host.send(emulator, 519, message(MessageType::kData, 0, 7, 2, "cmd"));
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(4, 0, 4, 0x20));
  EXPECT_EQ(read_bytes(slave, 3), "cmd");
  ASSERT_EQ(::write(slave, "yo", 2), 2);
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(10, 0, 6, 0x20, 'y', 'o'));

  ASSERT_THAT(devsim.wait_for_line("control:"), HasSubstr("standard input"));
  devsim.write_line("link-down 1");
  EXPECT_THAT(host.receive_from(emulator).value_or(Bytes{}), ElementsAre(5, 0, 4, 0));
  EXPECT_EQ(devsim.wait_for_line("ok"), "ok");
  devsim.write_line("status");
  EXPECT_THAT(devsim.wait_for_line("ok "), HasSubstr("open=1"));
  ::close(slave);
  EXPECT_EQ(devsim.stop(), 0);
}

// A port nothing listens on now, for the web page.
uint16_t free_tcp_port(uint32_t ip) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = socket_address(ip, 0);
  socklen_t length = sizeof local;
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
  ::close(fd);
  return ok ? ntohs(local.sin_port) : 0;
}

TEST(DevsimWebPage, ShowsTheNameAndThePorts) {
  const uint16_t port = free_tcp_port(ipv4("127.0.0.3"));
  ASSERT_NE(port, 0);
  Child devsim;
  devsim.start({VELTO_DEVSIM, "--address", "127.0.0.3", "--ports", "2", "--serial", "2=sink",
                "--name", "bench <7>", "--http-port", std::to_string(port)});
  ASSERT_THAT(devsim.wait_for_line("web page:"), HasSubstr(std::to_string(port)));

  httplib::Client client("127.0.0.3", port);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  const auto response = client.Get("/");
  ASSERT_TRUE(response) << httplib::to_string(response.error());
  EXPECT_EQ(response->status, 200);
  EXPECT_THAT(response->body, HasSubstr("bench &lt;7&gt;"));
  EXPECT_THAT(response->body, HasSubstr("<td>loopback</td><td>closed</td>"));
  EXPECT_THAT(response->body, HasSubstr("<td>sink</td><td>closed</td>"));
  EXPECT_EQ(devsim.stop(), 0);
}

// A network namespace of the test's own, so that the multicast query and
// the membership stay off every real network. Deleted at the end.
class PrivateNamespace {
 public:
  PrivateNamespace() : name_("velto-devsim-test-" + std::to_string(::getpid())) {
    made_ = std::system(("ip netns add " + name_ + " 2>/dev/null").c_str()) == 0 &&
            std::system(("ip -n " + name_ + " link set lo up").c_str()) == 0;
  }
  ~PrivateNamespace() {
    if (made_) (void)std::system(("ip netns del " + name_).c_str());
  }
  bool made() const { return made_; }
  const std::string& name() const { return name_; }

 private:
  const std::string name_;
  bool made_ = false;
};

// Sends a discovery query from inside the namespace (on a thread that joins
// it, so that the test's own thread stays where it is) and returns the
// reply, or an empty one at the hang bound.
Bytes query_in_namespace(const std::string& name) {
  Bytes reply;
  std::thread querier([&] {
    const int ns = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) return;
    ::close(ns);
    HostSocket socket(ipv4("127.0.0.1"), 0);
    in_addr interface { htonl(ipv4("127.0.0.1")) };
    ::setsockopt(socket.fd(), IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
    socket.send(deviceserver::kDiscoveryGroup, deviceserver::kDiscoveryUdpPort, Bytes{1});
    reply = socket.receive_from(ipv4("127.0.0.1")).value_or(Bytes{});
  });
  querier.join();
  return reply;
}

TEST(DevsimDiscovery, AnswersAGroupQueryInsideAPrivateNamespace) {
  PrivateNamespace ns;
  if (!ns.made()) GTEST_SKIP() << "cannot make a network namespace (needs CAP_SYS_ADMIN)";
  Child devsim;
  devsim.start({"ip", "netns", "exec", ns.name(), VELTO_DEVSIM, "--address", "127.0.0.1", "--ports",
                "3", "--name", "exactly-twenty-chars", "--http-port", "0"});
  ASSERT_THAT(devsim.wait_for_line("discovery:"), HasSubstr("127.0.0.1"));

  const Bytes reply = query_in_namespace(ns.name());
  ASSERT_EQ(reply.size(), deviceserver::kDiscoveryReplyBytes);
  EXPECT_THAT(Bytes(reply.begin(), reply.begin() + 5), ElementsAre(2, 127, 0, 0, 1));
  EXPECT_EQ(std::string(reply.begin() + 5, reply.begin() + 25), "exactly-twenty-chars");
  EXPECT_THAT(Bytes(reply.begin() + 25, reply.end()),
              ElementsAre(1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_EQ(devsim.stop(), 0);
}

TEST(DevsimCommandLine, HelpExitsZeroAndABadValueIsAOneLineErrorWithStatusTwo) {
  const Finished help = run_devsim("--help", false);
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--address", "--udp-port", "--ports", "--name", "--serial",
                             "--http-port", "--control", "link-down PORT"}) {
    EXPECT_THAT(help.output, HasSubstr(option));
  }
  for (const char* bad : {"--ports 17", "--ports 0", "--serial 3=pty --ports 2", "--serial 1=tty",
                          "--address 127.0.0", "--http-port 70000", "--no-such-option"}) {
    const Finished run = run_devsim(bad, true);
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_THAT(run.output, ::testing::StartsWith("velto-devsim: ")) << bad;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << bad << run.output;
  }
}

// --- control commands, on the core without a process -----------------------------

TEST(DevsimControl, RepliesToEachCommand) {
  struct Case {
    const char* line;
    const char* reply;
  };
  const Case cases[] = {
      {"drop 2", "ok"},
      {"duplicate 0x3", "ok"},
      {"delay 1 250", "ok"},
      {"drop-received 1", "ok"},
      {"silent", "ok"},
      {"answer", "ok"},
      {"input 1 a\\x41b", "ok 3 bytes"},
      {"bogus 1", "error: unknown command 'bogus'"},
      {"drop", "error: usage: drop N"},
      {"drop two", "error: usage: drop N"},
      {"delay 1", "error: usage: delay N MS"},
      {"status now", "error: usage: status"},
      {"link-down 3", "error: no port 3 (ports 1..2)"},
      {"link-down 2", "error: the port is not open"},
      {"unsequenced 1 \\q", "error: bad escape in the text"},
      {"unsequenced 2 hi", "error: the port is not open, or the text is not 1..508 bytes"},
  };
  DeviceServer server({.ports = 2});
  server.receive({1, 519}, open_message(0), 0);
  for (const Case& c : cases) {
    EXPECT_EQ(run_control_command(server, c.line, 0).line, c.reply) << c.line;
  }
  EXPECT_TRUE(run_control_command(server, "quit", 0).quit);
}

TEST(DevsimControl, CommandsActOnTheCore) {
  DeviceServer server({.ports = 1});
  server.receive({1, 519}, open_message(0), 0);
  deviceserver::Outbound out;
  while (server.pop_outbound(out)) {
  }
  auto next = [&server, &out] {
    return server.pop_outbound(out) ? Bytes(out.datagram().begin(), out.datagram().end()) : Bytes{};
  };
  (void)run_control_command(server, "unsequenced 1 hi\\n", 0);
  EXPECT_THAT(next(), ElementsAre(0, 0, 7, 0, 'h', 'i', '\n'));
  (void)run_control_command(server, "modem 1 0x90", 0);
  EXPECT_THAT(next(), ElementsAre(14, 0, 0x90, 0));
  (void)run_control_command(server, "drop 1", 0);
  (void)run_control_command(server, "link-down 1", 0);
  EXPECT_THAT(next(), ElementsAre());
  EXPECT_EQ(server.counters().dropped_by_script, 1u);
  EXPECT_THAT(run_control_command(server, "status", 0).line, HasSubstr("dropped_by_script=1"));
}

}  // namespace
}  // namespace velto::devsim

// Runs the device server core on real sockets: the device link on UDP (port
// 519 by default, SO_REUSEADDR so that a host and emulators on other
// loopback addresses can share it on one machine), discovery queries from
// the multicast group 239.0.1.1:12345, pty masters, the control commands on
// standard input and a stop descriptor, all in one poll() loop whose
// timeout is the core's next deadline. The web page's threads read the core
// only through a snapshot taken under the runner's lock.
#pragma once

#include <poll.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "deviceserver/device_server.h"
#include "host/velto_devsim/pty_backing.h"
#include "host/velto_devsim/web_page.h"

namespace velto::devsim {

enum class BackingKind : uint8_t {
  kLoopback,  // echoes the host's bytes back
  kPty,       // a pseudo-terminal for a program on the device side
  kSink,      // swallows the host's bytes, produces nothing
};

struct RunnerOptions {
  uint32_t address = 0;  // host order; 0 is every address
  uint16_t udp_port = deviceserver::kLinkUdpPort;
  uint16_t http_port = 80;  // 0: no web page
  bool control = false;     // read control commands from standard input
  deviceserver::DeviceServerOptions server;
  std::vector<BackingKind> backings;  // by 0-based port index
};

class UdpRunner {
 public:
  explicit UdpRunner(RunnerOptions options);
  ~UdpRunner();
  UdpRunner(const UdpRunner&) = delete;
  UdpRunner& operator=(const UdpRunner&) = delete;

  // Opens the sockets, the ptys and the web page and prints what it listens
  // on; false with *error set when the device link or the page cannot be had.
  bool start(std::string* error);
  // Serves until stop_fd turns readable or a control command says quit.
  void run(int stop_fd);

 private:
  // What one entry of the poll set stands for.
  struct Source {
    enum class Kind : uint8_t {
      kStop,       // the stop descriptor: SIGINT or SIGTERM came
      kLink,       // the device link's UDP socket
      kDiscovery,  // the discovery group's socket
      kControl,    // standard input, with --control
      kPty,        // a pty master whose port is open and has room
    } kind;
    int port = -1;  // for kPty
  };

  bool open_link(std::string* error);
  void open_discovery();
  bool open_backings(std::string* error);
  void print_banner();
  int build_poll_set_locked(int stop_fd);
  bool handle_ready_locked(const Source& source, int64_t now_100ns);
  void take_link_datagrams_locked(int64_t now_100ns);
  void take_discovery_queries_locked(int64_t now_100ns);
  bool take_control_input_locked(int64_t now_100ns);
  void take_pty_input_locked(int port, int64_t now_100ns);
  void send_outbox_locked();
  uint32_t announced_ip(const deviceserver::Peer& querier) const;
  PageView snapshot();

  const RunnerOptions options_;
  // Guards server_ and the pty backings it owns: the poll loop changes
  // them, the web page's threads read them.
  std::mutex mutex_;
  deviceserver::DeviceServer server_;  // guarded by mutex_
  std::vector<PtyBacking*> ptys_;      // by port, owned by server_; fixed before the page starts
  // The fields below belong to the thread that calls run().
  int link_fd_ = -1;
  int discovery_fd_ = -1;
  bool control_open_ = false;
  std::string control_buffer_;  // a partial command line
  std::vector<pollfd> poll_fds_;
  std::vector<Source> poll_sources_;
  deviceserver::Outbound outbound_;
  WebPage web_page_;
};

}  // namespace velto::devsim

// The emulator's configuration and status page over HTTP: the name, the
// address, and per serial port its backing, open state, settings, modem
// lines and counters. The page is drawn from a snapshot that the runner
// takes under its lock, so the HTTP server's threads never touch the core.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "deviceserver/device_server.h"

namespace httplib {
class Server;
}

namespace velto::devsim {

struct PageView {
  std::string name;
  std::string address;  // "a.b.c.d:port" of the device link
  bool silent = false;
  std::vector<deviceserver::PortStatus> ports;
  std::vector<uint64_t> pty_dropped_bytes;  // by port; 0 for other backings
  deviceserver::ServerCounters counters;
};

std::string render_page(const PageView& view);

class WebPage {
 public:
  using Snapshot = std::function<PageView()>;

  WebPage();
  ~WebPage();
  WebPage(const WebPage&) = delete;
  WebPage& operator=(const WebPage&) = delete;

  // Binds address:port and serves on a thread of its own; false with *error
  // set when the port cannot be had.
  bool start(const std::string& address, uint16_t port, Snapshot snapshot, std::string* error);
  void stop();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;  // runs the server's accept loop until stop()
};

}  // namespace velto::devsim

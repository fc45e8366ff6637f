// velto-devsim: a device server emulator on real UDP, for tests, demos and
// users without hardware. It parses the command line, blocks SIGINT and
// SIGTERM into a signalfd that ends the runner's poll loop, and runs the
// emulator until then.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/velto_devsim/control.h"
#include "host/velto_devsim/udp_runner.h"

namespace {

using velto::devsim::BackingKind;
using velto::devsim::RunnerOptions;

struct CommandLine {
  std::string address = "0.0.0.0";
  int udp_port = velto::deviceserver::kLinkUdpPort;
  int ports = 4;
  std::string name = "velto-devsim";
  std::vector<std::string> serial;
  int http_port = 80;
  bool control = false;
};

[[noreturn]] void die(int status, const std::string& message) {
  std::fprintf(stderr, "velto-devsim: %s\n", message.c_str());
  std::exit(status);
}

void add_options(CLI::App& app, CommandLine& cl) {
  app.add_option("--address", cl.address,
                 "IPv4 address to bind the device link to; discovery joins the group on the "
                 "interface that holds it")
      ->type_name("ADDR")
      ->capture_default_str();
  app.add_option("--udp-port", cl.udp_port, "UDP port of the device link")
      ->type_name("P")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--ports", cl.ports, "number of serial ports, 1..16")
      ->type_name("N")
      ->check(CLI::Range(1, velto::deviceserver::kPortsMax))
      ->capture_default_str();
  app.add_option("--name", cl.name, "name announced to discovery (at most 20 bytes are sent)")
      ->type_name("TEXT")
      ->capture_default_str();
  app.add_option("--serial", cl.serial,
                 "N=loopback|pty|sink: the backing of serial port N, counted from 1 as users "
                 "number them (repeatable; default loopback). loopback echoes what the host "
                 "writes; pty makes a pseudo-terminal whose slave path is printed at start; "
                 "sink swallows it")
      ->type_name("N=KIND");
  app.add_option("--http-port", cl.http_port, "TCP port of the status web page; 0: none")
      ->type_name("P")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_flag("--control", cl.control, "read control commands from standard input (below)");
}

uint32_t parse_address(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
    die(2, "--address: '" + text + "' is not an IPv4 address");
  }
  return ntohl(address.s_addr);
}

std::vector<BackingKind> parse_backings(const std::vector<std::string>& serial, int ports) {
  std::vector<BackingKind> backings(ports, BackingKind::kLoopback);
  std::vector<bool> given(ports, false);
  const std::pair<std::string, BackingKind> kinds[] = {{"loopback", BackingKind::kLoopback},
                                                       {"pty", BackingKind::kPty},
                                                       {"sink", BackingKind::kSink}};
  for (const std::string& value : serial) {
    const size_t equals = value.find('=');
    int port = 0;
    try {
      size_t used = 0;
      port = std::stoi(value.substr(0, equals), &used);
      if (used != equals) port = 0;
    } catch (const std::exception&) {
      port = 0;
    }
    if (equals == std::string::npos || port < 1 || port > ports) {
      die(2, "--serial: '" + value + "' is not N=KIND with N from 1 to " + std::to_string(ports));
    }
    const std::string kind = value.substr(equals + 1);
    const auto it = std::find_if(std::begin(kinds), std::end(kinds),
                                 [&kind](const auto& k) { return k.first == kind; });
    if (it == std::end(kinds)) die(2, "--serial: '" + kind + "' is not loopback, pty or sink");
    if (given[port - 1]) die(2, "--serial: port " + std::to_string(port) + " is given twice");
    given[port - 1] = true;
    backings[port - 1] = it->second;
  }
  return backings;
}

RunnerOptions runner_options(const CommandLine& cl) {
  if (cl.name.empty()) die(2, "--name: the name is empty");
  return RunnerOptions{.address = parse_address(cl.address),
                       .udp_port = static_cast<uint16_t>(cl.udp_port),
                       .http_port = static_cast<uint16_t>(cl.http_port),
                       .control = cl.control,
                       .server = {.ports = cl.ports, .name = cl.name},
                       .backings = parse_backings(cl.serial, cl.ports)};
}

// SIGINT and SIGTERM are blocked before any thread starts, so every thread
// inherits the mask and only the signalfd sees them.
int stop_signal_fd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const int fd = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (fd < 0) die(1, "cannot take SIGINT and SIGTERM");
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Emulates a device server: serial ports that a host reaches over the device link\n"
      "(UDP), a discovery answer to queries on 239.0.1.1:12345, and a status web page.\n"
      "At start it prints what it listens on and each port's backing (a pty's slave\n"
      "path). SIGINT or SIGTERM stops it. Bad options exit with status 2, a device\n"
      "link or web port it cannot have with status 1."};
  app.footer(velto::devsim::kControlHelp);
  CommandLine cl;
  add_options(app, cl);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    die(2, e.what());
  }
  const RunnerOptions options = runner_options(cl);
  const int stop_fd = stop_signal_fd();
  velto::devsim::UdpRunner runner(options);
  std::string error;
  if (!runner.start(&error)) die(1, error);
  runner.run(stop_fd);
  std::printf("velto-devsim: stopping\n");
  return 0;
}

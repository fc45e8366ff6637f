// velto-host: boots the host kernel on the configuration store, loads the
// port driver and keeps it running until SIGINT or SIGTERM, then unloads it
// cleanly. With --list it boots, prints every port's names and exits.
#include <arpa/inet.h>
#include <signal.h>

#include <fmt/core.h>
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "host/velto_host/port_listing.h"
#include "platform/host/host_kernel.h"
#include "platform/kernel/rtl.h"
#include "platform/store/store.h"
#include "portdriver/link/packet.h"
#include "portdriver/serial/driver.h"

namespace {

using namespace velto;

struct Options {
  std::optional<std::string> store;
  bool list = false;
  bool verbose = false;
  std::string bind = "0.0.0.0";
};

[[noreturn]] void die(int status, const std::string& message) {
  fmt::print(stderr, "velto-host: {}\n", message);
  std::exit(status);
}

uint32_t parse_ipv4(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
    die(2, fmt::format("--bind: '{}' is not an IPv4 address", text));
  }
  return ntohl(address.s_addr);
}

// Signals are taken by sigwait in the main thread; every thread the kernel
// starts inherits the blocked mask, so none of them is interrupted.
sigset_t block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

// The link opens its UDP endpoint in the background; say whether it did, so
// that a user without the privilege for port 519 learns it at once.
void report_link(platform::DRIVER_OBJECT& driver, const Options& options) {
  const auto& ds = portdriver::driver_state(&driver);
  for (int i = 0; i < 50 && ds.LinkNotReady == 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (ds.LinkNotReady == 1) {
    fmt::print(stderr,
               "velto-host: UDP port {} on {} is not available yet (in use, or no privilege for "
               "it); the link keeps trying\n",
               portdriver::kLinkUdpPort, options.bind);
    return;
  }
  fmt::print("device link: UDP port {} on {}, {} device server(s)\n", portdriver::kLinkUdpPort,
             options.bind, ds.ServerCount);
}

int run(const Options& options) {
  const auto store_path = store::resolve_store_path(options.store);
  std::optional<store::Store> registry;
  try {
    registry.emplace(store::Store::open(store_path));
  } catch (const store::StoreError& e) {
    die(2, e.what());
  }
  const sigset_t stop_signals = block_stop_signals();
  platform::HostKernel kernel(*registry,
                              {.bind_ip = parse_ipv4(options.bind), .verbose = options.verbose});
  platform::NTSTATUS status = platform::STATUS_SUCCESS;
  platform::DRIVER_OBJECT* driver = kernel.load_driver(
      u"Veltop", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Veltop",
      portdriver::DriverEntry, &status, portdriver::kPoolTag);
  if (!driver) {
    die(1, fmt::format("the port driver did not start (status 0x{:08X}); is MaxPort 0?",
                       platform::status_code(status)));
  }
  for (const auto& line : host::list_ports(kernel, *driver, store::Store::open(store_path))) {
    fmt::print("{}\n", line);
  }
  if (!options.list) {
    report_link(*driver, options);
    fmt::print("velto-host: running with store {}; Ctrl-C stops\n", store_path.string());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop_signals, &signal);
    fmt::print("velto-host: stopping\n");
  }
  kernel.unload_driver(driver);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Boots the host kernel on the configuration store and runs the port driver.\n"
      "Each configured port becomes a device \\Device\\vcserialN with a COM name."};
  Options options;
  app.add_option("--store", options.store,
                 "configuration store file (default: $VELTO_STORE, else "
                 "~/.local/share/velto/store.db)");
  app.add_flag("--list", options.list, "print every port (device, DOS name, SERIALCOMM) and exit");
  app.add_option("--bind", options.bind, "local IPv4 address of the device link")
      ->capture_default_str();
  app.add_flag("-v,--verbose", options.verbose, "print the kernel's debug output");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    die(2, e.what());
  }
  return run(options);
}

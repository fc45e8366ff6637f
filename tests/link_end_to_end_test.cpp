// The device link on the host kernel, over real UDP on loopback, against the
// device server emulator as a separate process: the open handshake, a chunk
// of host data echoed back by a loopback serial port, and the close
// handshake. The port driver runs with its real threads, so this test also
// runs under ThreadSanitizer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "common/store_layout.h"
#include "platform/host/host_kernel.h"
#include "platform/store/store.h"
#include "portdriver/link/link.h"
#include "portdriver/serial/driver.h"

namespace {

using namespace velto;
using namespace velto::portdriver;

constexpr uint32_t kHostIp = 0x7F000001;    // 127.0.0.1
constexpr uint32_t kServerIp = 0x7F000002;  // 127.0.0.2

// Waits for a condition that other threads make true; the bound only keeps
// a broken build from hanging the suite.
bool eventually(const std::function<bool()>& condition) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

pid_t start_devsim() {
  const pid_t child = fork();
  if (child == 0) {
    // The emulator must not outlive a test that dies: it holds the output
    // pipe that ctest waits on.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execl(VELTO_DEVSIM, VELTO_DEVSIM, "--address", "127.0.0.2", "--ports", "1", "--serial",
          "1=loopback", "--http-port", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

class HostLinkEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "UDP port 519 needs root";
    const std::string key = "HKLM\\" + std::string(layout::kPortServiceKey);
    for (const auto& [name, value] : {std::pair{"MaxPort", 1u}, std::pair{"StartNum1", 1u},
                                      std::pair{"dAddress1", kServerIp}}) {
      store_.set_value(key, name, layout::ValueType::REG_DWORD, store::Store::dword_data(value));
    }
    devsim_ = start_devsim();
    ASSERT_GT(devsim_, 0);
    kernel_.emplace(store_, platform::HostKernelOptions{.bind_ip = kHostIp});
    platform::NTSTATUS status = platform::STATUS_SUCCESS;
    driver_ = kernel_->load_driver(u"Veltop", u"", DriverEntry, &status, kPoolTag);
    ASSERT_EQ(status, platform::STATUS_SUCCESS);
  }

  // Unloads even after a failed assertion, so that no driver thread is
  // left running when the kernel goes.
  void TearDown() override {
    if (driver_) kernel_->unload_driver(driver_);
    kernel_.reset();
    if (devsim_ > 0) {
      kill(devsim_, SIGTERM);
      waitpid(devsim_, nullptr, 0);
    }
  }

  std::string link_state() {
    DriverState& ds = driver_state(driver_);
    const LinkCounters& c = ds.LinkStats[0];
    return "PortState " + std::to_string(ds.Ports[0]->PortState.load()) + ", sent " +
           std::to_string(c.sent.load()) + ", received " + std::to_string(c.received.load()) +
           ", out of order " + std::to_string(c.out_of_order.load()) + ", repeats " +
           std::to_string(c.repeats.load()) + ", unmatched " +
           std::to_string(ds.UnmatchedDatagrams.load());
  }

  store::Store store_ = store::Store::open(":memory:");
  pid_t devsim_ = -1;
  std::optional<platform::HostKernel> kernel_;
  platform::DRIVER_OBJECT* driver_ = nullptr;
};

// Queues OPEN under the port's lock until the server's reply opens the link;
// the emulator may still be starting when the first one goes out.
bool open_link(platform::Kernel& kernel, DriverState& ds) {
  PortExtension& port = *ds.Ports[0];
  ds.RxRing[0].Data = ds.RxStorage;
  ds.TxRing[0].Data = ds.TxStorage;
  ds.TxSeq[0] = 1;
  ds.RxSeq[0] = 1;
  port.PortState = PORT_OPEN;
  const uint8_t settings[kOpenPayloadBytes] = {};
  for (int attempt = 0; attempt < 11; ++attempt) {
    const platform::KIRQL irql = kernel.acquire_spin_lock(port.PortLock);
    QueueLinkMessage(ds, 0, LINK_MSG_OPEN, settings, kOpenPayloadBytes);
    kernel.release_spin_lock(port.PortLock, irql);
    for (int poll = 0; poll < 100; ++poll) {
      if (port.PortState & LINK_OPEN) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return false;
}

TEST_F(HostLinkEndToEnd, OpenEchoAndCloseThroughTheEmulator) {
  DriverState& ds = driver_state(driver_);
  platform::Kernel& kernel = *kernel_;
  ASSERT_TRUE(eventually([&] { return ds.LinkNotReady == 0; }));
  ASSERT_TRUE(open_link(kernel, ds)) << link_state();

  // One chunk, as the write engine hands it over.
  const std::string hello = "hello, device";
  PortExtension& port = *ds.Ports[0];
  TxRing& tx = ds.TxRing[0];
  for (char c : hello) {
    tx.Data[tx.WriteIndex] = static_cast<uint8_t>(c);
    tx.WriteIndex = (tx.WriteIndex + 1) % kTxRingBytes;
  }
  port.RetransmitLength = static_cast<uint32_t>(hello.size());
  port.BatchInFlight = 1;
  MarkTxPending(ds, 0);

  RxRing& rx = ds.RxRing[0];
  ASSERT_TRUE(eventually([&] {
    return rx.WriteIndex.load() == static_cast<int32_t>(hello.size());
  })) << link_state();
  EXPECT_EQ(std::string(rx.Data, rx.Data + hello.size()), hello);
  {
    // RxSeq belongs to the receiver, under the port's lock.
    const platform::KIRQL irql = kernel.acquire_spin_lock(port.PortLock);
    EXPECT_EQ(ds.RxSeq[0], 2);  // the emulator's open reply carried 1
    kernel.release_spin_lock(port.PortLock, irql);
  }

  port.PortState &= static_cast<uint16_t>(~LINK_OPEN);
  QueueLinkMessage(ds, 0, LINK_MSG_CLOSE, nullptr, 0);
  EXPECT_TRUE(eventually([&] { return port.PortState.load() == 0; })) << link_state();
}

}  // namespace

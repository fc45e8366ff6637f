// Driver start-up and unload on the simulation kernel: how the store's values
// become ports and names, what happens when names or memory are missing, and
// that unload (or a start-up that fails) leaves nothing behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/store_layout.h"
#include "platform/kernel/rtl.h"
#include "platform/sim/testing.h"
#include "portdriver/serial/driver.h"

namespace velto::portdriver {
namespace {

using platform::sim::SimTest;
using store::Store;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kService = "HKLM\\" + std::string(layout::kPortServiceKey);
const std::string kChild = "HKLM\\" + std::string(layout::kFirstChildParametersKey);
const std::string kSerialComm = "HKLM\\" + std::string(layout::kSerialCommKey);

class StartupTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    store().create_key(kService);
  }

  void set_dword(const std::string& key, const std::string& name, uint32_t v) {
    store().set_value(key, name, layout::ValueType::REG_DWORD, Store::dword_data(v));
  }
  void set_port_name(const std::string& text) {
    store().set_value(kChild, "PortName", layout::ValueType::REG_SZ, Store::sz_data(text));
  }

  NTSTATUS load() {
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = kernel().load_driver(
        u"Veltop", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Veltop", DriverEntry,
        &status, kPoolTag);
    return status;
  }

  void unload() {
    if (driver_) kernel().unload_driver(driver_);
    driver_ = nullptr;
  }

  void TearDown() override {
    unload();
    SimTest::TearDown();
  }

  DriverState& ds() { return driver_state(driver_); }

  // "\DosDevices\COM5" -> "\Device\vcserial2", for every DOS name.
  std::vector<std::string> dos_names() {
    std::vector<std::string> names;
    for (const auto& link : kernel().symbolic_links()) {
      names.push_back(platform::to_utf8(link) + " -> " +
                      platform::to_utf8(kernel().lookup(link).target));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> serial_comm() {
    std::vector<std::string> values;
    if (!store().key_exists(kSerialComm)) return values;
    for (const auto& v : store().list_values(kSerialComm)) {
      values.push_back(v.name + "=" + Store::as_text(v) + "/" + std::to_string(v.data.size()));
    }
    std::sort(values.begin(), values.end());
    return values;
  }

  void expect_nothing_left() {
    EXPECT_EQ(kernel().live_pool_blocks(kPoolTag), 0u);
    EXPECT_THAT(kernel().symbolic_links(), IsEmpty());
    EXPECT_THAT(serial_comm(), IsEmpty());
    EXPECT_EQ(kernel().live_threads(), 0u);
    EXPECT_EQ(kernel().configuration_information().SerialCount, 0u);
  }

  DRIVER_OBJECT* driver_ = nullptr;
};

struct PortNameCase {
  const char* name;
  std::optional<std::string> port_name;  // nullopt: no value
  bool key_exists;
  int32_t first_com;
};

class PortNameDigits : public StartupTest, public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(PortNameDigits, GiveTheFirstComNumber) {
  const PortNameCase& c = GetParam();
  if (c.key_exists) store().create_key(kChild);
  if (c.port_name) set_port_name(*c.port_name);
  set_dword(kService, "MaxPort", 1);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_EQ(ds().FirstComNumber, c.first_com);
  EXPECT_THAT(dos_names(), ElementsAre("\\DosDevices\\COM" + std::to_string(c.first_com) +
                                       " -> \\Device\\vcserial0"));
}

INSTANTIATE_TEST_SUITE_P(Startup, PortNameDigits,
                         ::testing::Values(PortNameCase{"COM5", "COM5", true, 5},
                                           PortNameCase{"COM12", "COM12", true, 12},
                                           PortNameCase{"COM123", "COM123", true, 123},
                                           PortNameCase{"COM1x2", "COM1x2", true, 12},
                                           PortNameCase{"NoDigits", "COMX", true, 0},
                                           PortNameCase{"MissingValue", std::nullopt, true, 0},
                                           PortNameCase{"MissingKey", std::nullopt, false, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, MaxPortGivesThePortCount) {
  // Missing: eight ports.
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_EQ(ds().PortCount, 8);
  EXPECT_EQ(kernel().configuration_information().SerialCount, 8u);
  unload();
  expect_nothing_left();

  // Above the port table: clamped, and said so.
  set_dword(kService, "MaxPort", 300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_EQ(ds().PortCount, 256);
  EXPECT_NE(kernel().lookup(u"\\Device\\vcserial255").device, nullptr);
  EXPECT_THAT(kernel().debug_output(), testing::Contains(testing::HasSubstr("MaxPort 300")));
  unload();
  expect_nothing_left();

  set_dword(kService, "MaxPort", 0);
  EXPECT_EQ(load(), STATUS_SERIAL_NO_DEVICE_INITED);
  EXPECT_EQ(driver_, nullptr);
  expect_nothing_left();
}

TEST_F(StartupTest, PortsGetDeviceNamesComNamesSerialCommValuesAndServerSettings) {
  set_port_name("COM3");
  set_dword(kService, "MaxPort", 4);
  set_dword(kService, "StartNum2", 5);
  set_dword(kService, "dAddress2", 0xC0000214);  // 192.0.2.20
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_THAT(dos_names(), ElementsAre("\\DosDevices\\COM3 -> \\Device\\vcserial0",
                                       "\\DosDevices\\COM4 -> \\Device\\vcserial1",
                                       "\\DosDevices\\COM5 -> \\Device\\vcserial2",
                                       "\\DosDevices\\COM6 -> \\Device\\vcserial3"));
  // The data is the text with its NUL counted.
  EXPECT_THAT(serial_comm(), ElementsAre("vcserial0=COM3/5", "vcserial1=COM4/5", "vcserial2=COM5/5",
                                         "vcserial3=COM6/5"));
  // Missing values take the driver's defaults of 3.
  EXPECT_EQ(ds().RemotePort[0], 2);
  EXPECT_EQ(ds().ServerIp[0], 3u);
  EXPECT_EQ(ds().RemotePort[1], 4);
  EXPECT_EQ(ds().ServerIp[1], 0xC0000214u);
  PortExtension* port = ds().Ports[2];
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->ComNumber, 5u);
  EXPECT_EQ(port->CurrentBaud, 9600u);
  EXPECT_EQ(port->LineControl, 3);
  EXPECT_EQ(port->SpecialChars.XonChar, 0x11);
  EXPECT_EQ(port->DeviceObject->Flags & DO_BUFFERED_IO, DO_BUFFERED_IO);
  unload();
  expect_nothing_left();
}

TEST_F(StartupTest, ComNameTakenByAnotherDriverLeavesThatPortUnnamedAndTheLinkAlone) {
  set_port_name("COM3");
  set_dword(kService, "MaxPort", 3);
  UNICODE_STRING link, target;
  platform::init_unicode_string(link, u"\\DosDevices\\COM4");
  platform::init_unicode_string(target, u"\\Device\\Serial0");
  ASSERT_EQ(kernel().create_symbolic_link(link, target), STATUS_SUCCESS);

  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_THAT(dos_names(), ElementsAre("\\DosDevices\\COM3 -> \\Device\\vcserial0",
                                       "\\DosDevices\\COM4 -> \\Device\\Serial0",
                                       "\\DosDevices\\COM5 -> \\Device\\vcserial2"));
  EXPECT_THAT(serial_comm(), ElementsAre("vcserial0=COM3/5", "vcserial2=COM5/5"));
  EXPECT_NE(kernel().lookup(u"\\Device\\vcserial1").device, nullptr);
  unload();
  // The other driver's name survives our unload.
  EXPECT_THAT(dos_names(), ElementsAre("\\DosDevices\\COM4 -> \\Device\\Serial0"));
  ASSERT_EQ(kernel().delete_symbolic_link(link), STATUS_SUCCESS);
  expect_nothing_left();
}

TEST_F(StartupTest, WorkingStringAllocationFailureLogsTheErrorAndCreatesNoPort) {
  for (uint16_t bytes : {uint16_t{10}, uint16_t{256}}) {
    SCOPED_TRACE(bytes);
    bool failed_once = false;
    kernel().allocation_faults() = {.fail_if = [&](POOL_TYPE type, size_t size, uint32_t) {
      if (failed_once || type != POOL_TYPE::PagedPool || size != bytes) return false;
      return failed_once = true;
    }};
    EXPECT_EQ(load(), STATUS_SERIAL_NO_DEVICE_INITED);
    kernel().allocation_faults() = {};
    ASSERT_FALSE(kernel().error_log().empty());
    const auto entry = kernel().error_log().back().packet;
    EXPECT_EQ(entry.ErrorCode, make_status(0xC0060008));
    EXPECT_EQ(entry.UniqueErrorValue, 9u);
    EXPECT_EQ(entry.FinalStatus, STATUS_SUCCESS);
    EXPECT_EQ(kernel().lookup(u"\\Device\\vcserial0").kind,
              platform::ObjectNamespace::Entry::Kind::kNone);
    expect_nothing_left();
  }
}

TEST_F(StartupTest, DeviceCreationFailureKeepsTheEarlierPorts) {
  set_dword(kService, "MaxPort", 4);
  int devices = 0;
  kernel().allocation_faults() = {.fail_if = [&](POOL_TYPE, size_t, uint32_t tag) {
    return tag == make_pool_tag("Devi") && ++devices == 3;
  }};
  ASSERT_EQ(load(), STATUS_SUCCESS);
  kernel().allocation_faults() = {};
  for (const char16_t* name : {u"\\Device\\vcserial0", u"\\Device\\vcserial1"}) {
    EXPECT_NE(kernel().lookup(name).device, nullptr);
  }
  EXPECT_EQ(kernel().lookup(u"\\Device\\vcserial2").device, nullptr);
  EXPECT_EQ(ds().Ports[2], nullptr);
  // The system count is still raised by the configured count.
  EXPECT_EQ(kernel().configuration_information().SerialCount, 4u);
  unload();
  expect_nothing_left();
}

// Every allocation that start-up makes, refused in turn: start-up either
// succeeds or fails cleanly, and whatever it made, unload takes back.
TEST_F(StartupTest, EveryFailedAllocationLeavesNothingBehind) {
  set_dword(kService, "MaxPort", 2);
  const uint64_t base = kernel().allocations_made();
  ASSERT_EQ(load(), STATUS_SUCCESS);
  const uint64_t used = kernel().allocations_made() - base;
  unload();
  for (uint64_t n = 1; n <= used; ++n) {
    SCOPED_TRACE(testing::Message() << "failing allocation " << n << " of " << used);
    kernel().allocation_faults() = {.fail_nth = kernel().allocations_made() + n};
    const NTSTATUS status = load();
    kernel().allocation_faults() = {};
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_SERIAL_NO_DEVICE_INITED ||
                status == STATUS_INSUFFICIENT_RESOURCES)
        << std::hex << platform::status_code(status);
    EXPECT_EQ(status == STATUS_SUCCESS, driver_ != nullptr);
    unload();
    expect_nothing_left();
  }
}

}  // namespace
}  // namespace velto::portdriver

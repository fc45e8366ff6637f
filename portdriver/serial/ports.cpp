// Port creation and naming: one device "\Device\vcserial<k>" per port, its
// DOS link "\DosDevices\COM<n>" and its SERIALCOMM value, and the port
// record's creation values. Also the teardown of one port, and the error-log
// entry written when creation cannot even begin.
#include <cstring>
#include <string>

#include "common/store_layout.h"
#include "platform/kernel/rtl.h"
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\Device\\vcserial";
constexpr std::u16string_view kDosPrefix = u"\\DosDevices\\COM";
constexpr NTSTATUS kStartupErrorCode = make_status(0xC0060008);
constexpr uint32_t kStartupErrorUniqueValue = 9;
constexpr uint16_t kNumberStringBytes = 10;
constexpr uint16_t kDeviceNameStringBytes = 256;
constexpr uint16_t kLinkNameStringBytes = 42;
constexpr size_t kDevicePrefixChars = 8;  // "\Device\"

const std::u16string kSerialComm = to_utf16(layout::kSerialCommName);

// A pool-backed counted string that gives its buffer back when it goes.
class PoolString {
 public:
  PoolString(Kernel& kernel, POOL_TYPE type, uint16_t bytes, bool zeroed) : kernel_(kernel) {
    auto* buffer = static_cast<char16_t*>(kernel.allocate_pool_with_tag(type, bytes, kPoolTag));
    if (!buffer) return;
    if (zeroed) std::memset(buffer, 0, bytes);
    string_ = UNICODE_STRING{0, bytes, buffer};
  }
  ~PoolString() {
    if (string_.Buffer) kernel_.free_pool(string_.Buffer);
  }
  PoolString(const PoolString&) = delete;
  PoolString& operator=(const PoolString&) = delete;
  explicit operator bool() const { return string_.Buffer != nullptr; }
  UNICODE_STRING& get() { return string_; }

 private:
  Kernel& kernel_;
  UNICODE_STRING string_{};
};

// prefix + decimal number, into s; the working number string holds the digits.
NTSTATUS build_name(UNICODE_STRING& s, std::u16string_view prefix, uint32_t value,
                    UNICODE_STRING& number) {
  s.Length = 0;
  if (NTSTATUS status = append_to_string(s, prefix); !NT_SUCCESS(status)) return status;
  if (NTSTATUS status = integer_to_string(value, number); !NT_SUCCESS(status)) return status;
  return append_string_to_string(s, number);
}

// The creation values of a port record, its locks, timers and DPCs.
void initialize_port_record(Kernel& kernel, PortExtension& port) {
  initialize_list_head(port.ReadQueue);
  initialize_list_head(port.WriteQueue);
  initialize_list_head(port.MaskQueue);
  initialize_list_head(port.PurgeQueue);
  port.PortState = 0;
  port.SpecialChars.XonChar = 0x11;
  port.SpecialChars.XoffChar = 0x13;
  port.HandFlow = SERIAL_HANDFLOW{};
  port.LineControl = 3;
  port.FastPollPeriod = -1'000'000;
  port.SlowPollPeriod = -10'000'000;
  port.PollPeriodThreshold = 200'000'000;
  port.WaitMask = 0;
  port.CurrentBaud = 9600;
  kernel.initialize_spin_lock(port.PortLock, LockClass::kPortLock, "PortLock");
  for (KTIMER* timer :
       {&port.ReadTotalTimer, &port.ReadIntervalTimer, &port.ImmediateTimer, &port.AckTimer}) {
    kernel.initialize_timer(*timer);
  }
  const struct {
    KDPC* dpc;
    const char* name;
  } dpcs[] = {{&port.WriteDpc, "WriteDpc"},
              {&port.ReadDpc, "ReadDpc"},
              {&port.ReadTotalDpc, "ReadTotalDpc"},
              {&port.ReadIntervalDpc, "ReadIntervalDpc"},
              {&port.WaitDoneDpc, "WaitDoneDpc"},
              {&port.ImmediateDpc, "ImmediateDpc"},
              {&port.ImmediateTimeoutDpc, "ImmediateTimeoutDpc"},
              {&port.AckTimeoutDpc, "AckTimeoutDpc"}};
  // The engines that run in the other DPCs come with the request handling;
  // until a DPC has its routine, queueing it is a programmer error.
  for (const auto& d : dpcs) kernel.initialize_dpc(*d.dpc, nullptr, &port, d.name);
  port.ReadDpc.DeferredRoutine = ReadArrival;
  port.WriteDpc.DeferredRoutine = WriteStep;
}

// The copy of the device name that names the SERIALCOMM value; without it the
// port still works but gets no DOS name.
void copy_device_name(Kernel& kernel, PortExtension& port, const UNICODE_STRING& name) {
  const auto bytes = static_cast<uint16_t>(name.Length + 2);
  auto* buffer = static_cast<char16_t*>(
      kernel.allocate_pool_with_tag(POOL_TYPE::NonPagedPool, bytes, kPoolTag));
  port.DeviceName = UNICODE_STRING{0, buffer ? bytes : uint16_t{0}, buffer};
  if (buffer) copy_string(port.DeviceName, name);
}

void reset_link_tables(DriverState& ds, int32_t k) {
  ds.RxRing[k].Data = nullptr;
  ds.RxRing[k].ReadIndex = 0;
  ds.RxRing[k].WriteIndex = 0;
  ds.TxRing[k].Data = nullptr;
  ds.TxRing[k].ReadIndex = 0;
  ds.TxRing[k].WriteIndex = 0;
  ds.TxPending[k] = 0;
  ds.OutQueue[k] = nullptr;
  ds.TxSeq[k] = 0;
  ds.RxSeq[k] = 0;
  ds.ServerIp[k] = 0;
  ds.RemotePort[k] = 0;
}

// One port: device, record, names. Context: passive (start-up).
NTSTATUS create_port(DriverState& ds, int32_t k, UNICODE_STRING& name, UNICODE_STRING& number) {
  Kernel& kernel = *ds.kernel;
  if (NTSTATUS status = build_name(name, kDevicePrefix, static_cast<uint32_t>(k), number);
      !NT_SUCCESS(status)) {
    return status;
  }
  DEVICE_OBJECT* device = nullptr;
  const NTSTATUS status = create_device_with_extension<PortExtension>(
      kernel, ds.driver, &name, DEVICE_TYPE::FILE_DEVICE_SERIAL_PORT, 0, true, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  auto& port = *static_cast<PortExtension*>(device->DeviceExtension);
  port.Driver = &ds;
  port.DeviceObject = device;
  copy_device_name(kernel, port, name);
  port.PortIndex = static_cast<uint32_t>(k);
  port.ComNumber = static_cast<uint32_t>(ds.FirstComNumber + k);
  ds.Ports[k] = &port;
  reset_link_tables(ds, k);
  (void)SetupPortNaming(port, NamingAction::kCreate);  // a port without a DOS name still works
  initialize_port_record(kernel, port);
  return STATUS_SUCCESS;
}

}  // namespace

void LogStartupError(DriverState& ds) {
  IO_ERROR_LOG_PACKET* entry = ds.kernel->allocate_error_log_entry(ds.driver);
  if (!entry) return;
  entry->ErrorCode = kStartupErrorCode;
  entry->UniqueErrorValue = kStartupErrorUniqueValue;
  ds.kernel->write_error_log_entry(entry);
}

// Ports made before a failure stay: they work, and unload removes them.
NTSTATUS CreatePorts(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  PoolString number(kernel, POOL_TYPE::PagedPool, kNumberStringBytes, false);
  PoolString name(kernel, POOL_TYPE::PagedPool, kDeviceNameStringBytes, false);
  if (!number || !name) {
    LogStartupError(ds);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (int32_t k = 0; k < ds.PortCount; ++k) {
    if (NTSTATUS status = create_port(ds, k, name.get(), number.get()); !NT_SUCCESS(status)) {
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetupPortNaming(PortExtension& port, NamingAction action) {
  Kernel& kernel = *port.Driver->kernel;
  PoolString number(kernel, POOL_TYPE::PagedPool, kNumberStringBytes, false);
  if (!number) return STATUS_INSUFFICIENT_RESOURCES;
  PoolString link(kernel, POOL_TYPE::NonPagedPool, kLinkNameStringBytes, true);
  if (!link) return STATUS_SUCCESS;
  NTSTATUS status = build_name(link.get(), kDosPrefix, port.ComNumber, number.get());
  if (!NT_SUCCESS(status)) return status;
  // Without its device name copy the port can name neither the link's target
  // nor its SERIALCOMM value.
  if (!port.DeviceName.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  const std::u16string_view value_name = view(port.DeviceName).substr(kDevicePrefixChars);
  if (action == NamingAction::kDelete) {
    // Only a link this port made is removed: a COM name that another driver
    // holds stays with it.
    if (!port.DosNameCreated) return STATUS_SUCCESS;
    port.DosNameCreated = false;
    status = kernel.delete_symbolic_link(link.get());
    (void)kernel.delete_registry_value(RegistryRelativeTo::RTL_REGISTRY_DEVICEMAP, kSerialComm,
                                       value_name);
    return status;
  }
  status = kernel.create_symbolic_link(link.get(), port.DeviceName);
  if (!NT_SUCCESS(status)) return status;
  port.DosNameCreated = true;
  if (build_name(link.get(), u"COM", port.ComNumber, number.get()) == STATUS_SUCCESS) {
    const auto* data = reinterpret_cast<const uint8_t*>(link.get().Buffer);
    (void)kernel.write_registry_value(RegistryRelativeTo::RTL_REGISTRY_DEVICEMAP, kSerialComm,
                                      value_name, static_cast<uint32_t>(layout::ValueType::REG_SZ),
                                      {data, size_t{link.get().Length} + 2u});
  }
  return status;
}

// Context: passive (unload, failed start-up). The port's timers are stopped
// and its DPCs taken off the queue before the record goes.
void DeletePort(PortExtension& port) {
  Kernel& kernel = *port.Driver->kernel;
  for (KTIMER* timer :
       {&port.ReadTotalTimer, &port.ReadIntervalTimer, &port.ImmediateTimer, &port.AckTimer}) {
    (void)kernel.cancel_timer(*timer);
  }
  for (KDPC* dpc :
       {&port.WriteDpc, &port.ReadDpc, &port.ReadTotalDpc, &port.ReadIntervalDpc, &port.WaitDoneDpc,
        &port.ImmediateDpc, &port.ImmediateTimeoutDpc, &port.AckTimeoutDpc}) {
    (void)kernel.remove_queue_dpc(*dpc);
  }
  (void)SetupPortNaming(port, NamingAction::kDelete);
  if (port.DeviceName.Buffer) kernel.free_pool(port.DeviceName.Buffer);
  port.DeviceName = UNICODE_STRING{};
  port.Driver->Ports[port.PortIndex] = nullptr;
  kernel.delete_device(port.DeviceObject);
}

}  // namespace velto::portdriver

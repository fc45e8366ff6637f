// Driver start-up and unload. Start-up reads the configuration, creates the
// ports, allocates the shared buffers, starts the device link and arms the
// periodic status timer, in that order. Unload, and a start-up that cannot
// finish, undo exactly what was done, so that no port, name, thread, timer
// or allocation outlives the driver.
#include <cstring>
#include <new>
#include <string>

#include "common/store_layout.h"
#include "platform/kernel/rtl.h"
#include "portdriver/link/link.h"
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

namespace {

constexpr int64_t kFirstPollDue100ns = -200'000;  // 20 ms

const std::u16string kServicesRoot =
    to_utf16(layout::kMachinePrefix) + to_utf16(layout::kServicesPath);

uint8_t* allocate_zeroed(Kernel& kernel, size_t bytes) {
  auto* block = static_cast<uint8_t*>(
      kernel.allocate_pool_with_tag(POOL_TYPE::NonPagedPool, bytes, kPoolTag));
  if (block) std::memset(block, 0, bytes);
  return block;
}

void free_if_set(Kernel& kernel, uint8_t*& block) {
  if (block) kernel.free_pool(block);
  block = nullptr;
}

NTSTATUS build_services_path(DriverState& ds) {
  auto* buffer = static_cast<char16_t*>(
      ds.kernel->allocate_pool_with_tag(POOL_TYPE::PagedPool, kServicesPathBytes, kPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  ds.ServicesPath = UNICODE_STRING{0, kServicesPathBytes - 2, buffer};
  return append_to_string(ds.ServicesPath, kServicesRoot);
}

NTSTATUS allocate_shared_buffers(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  ds.TxStorage = allocate_zeroed(kernel, kTxStorageBytes);
  ds.RxStorage = allocate_zeroed(kernel, kRxStorageBytes);
  ds.TxWork = allocate_zeroed(kernel, kTxWorkBytes);
  const bool complete = ds.TxStorage && ds.RxStorage && ds.TxWork;
  return complete ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS start_link(DriverState& ds) {
  // Both exist before any thread can queue a message, even while the
  // endpoint is not open yet.
  ds.kernel->initialize_event(ds.SenderWake, EVENT_TYPE::SynchronizationEvent, false, "SenderWake");
  ds.kernel->initialize_spin_lock(ds.OutQueueLock, LockClass::kOutQueueLock, "OutQueueLock");
  ds.LinkNotReady = 1;
  return ds.kernel->create_system_thread(LinkStartThread, &ds, "link start-up",
                                         &ds.LinkStartThreadHandle);
}

void arm_poll_timer(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  kernel.initialize_timer(ds.PollTimer);
  kernel.initialize_dpc(ds.PollDpc, PollPass, &ds, "PollDpc");
  ds.PollArmed = true;
  (void)kernel.set_timer(ds.PollTimer, kFirstPollDue100ns, &ds.PollDpc);
}

// Stops every timer and DPC of the driver and waits out a DPC routine that
// is running. A running routine may re-arm a timer (the status pass does,
// until it sees PollStopping), so a second round catches that.
void quiesce_timers_and_dpcs(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  ds.PollStopping = 1;
  for (int round = 0; round < 2; ++round) {
    if (ds.PollArmed) {
      (void)kernel.cancel_timer(ds.PollTimer);
      (void)kernel.remove_queue_dpc(ds.PollDpc);
    }
    for (int32_t k = 0; k < ds.PortCount; ++k) {
      PortExtension* port = ds.Ports[k];
      if (!port) continue;
      for (KTIMER* t : {&port->ReadTotalTimer, &port->ReadIntervalTimer, &port->ImmediateTimer,
                        &port->AckTimer}) {
        (void)kernel.cancel_timer(*t);
      }
    }
    kernel.flush_queued_dpcs();
  }
}

// Undoes start-up from whatever point it reached. Context: passive.
void release_driver(DRIVER_OBJECT* driver) {
  DriverState& ds = driver_state(driver);
  Kernel& kernel = *ds.kernel;
  ds.StopLink = 1;
  kernel.stall_execution_processor(100);
  kernel.stall_execution_processor(100);
  StopLinkThreads(ds);
  quiesce_timers_and_dpcs(ds);
  while (DEVICE_OBJECT* device = driver->DeviceObject) {
    DeletePort(*static_cast<PortExtension*>(device->DeviceExtension));
  }
  if (ds.SerialCountRaised) kernel.configuration_information().SerialCount -= ds.PortCount;
  free_if_set(kernel, ds.TxStorage);
  free_if_set(kernel, ds.RxStorage);
  free_if_set(kernel, ds.TxWork);
  if (ds.ServicesPath.Buffer) kernel.free_pool(ds.ServicesPath.Buffer);
  driver->DriverExtension = nullptr;
  ds.~DriverState();
  kernel.free_pool(&ds);
}

// Steps up to the start of the link; a failure here leaves no thread running.
NTSTATUS prepare(DriverState& ds) {
  if (NTSTATUS status = build_services_path(ds); !NT_SUCCESS(status)) return status;
  ds.PortCount = ReadPortCount(ds);
  ds.FirstComNumber = ReadFirstComNumber(ds);
  (void)CreatePorts(ds);  // ports made before a failure stay
  if (NTSTATUS status = allocate_shared_buffers(ds); !NT_SUCCESS(status)) return status;
  ReadPortConfiguration(ds);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, const UNICODE_STRING*) {
  Kernel& kernel = *driver->kernel;
  void* memory =
      kernel.allocate_pool_with_tag(POOL_TYPE::NonPagedPool, sizeof(DriverState), kPoolTag);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  auto* ds = new (memory) DriverState();
  ds->kernel = &kernel;
  ds->driver = driver;
  driver->DriverExtension = ds;

  NTSTATUS status = prepare(*ds);
  if (NT_SUCCESS(status)) status = start_link(*ds);
  if (NT_SUCCESS(status) && !driver->DeviceObject) status = STATUS_SERIAL_NO_DEVICE_INITED;
  if (!NT_SUCCESS(status)) {
    release_driver(driver);
    return status;
  }
  driver->DriverUnload = DriverUnload;
  arm_poll_timer(*ds);
  kernel.configuration_information().SerialCount += ds->PortCount;
  ds->SerialCountRaised = true;
  return STATUS_SUCCESS;
}

void DriverUnload(DRIVER_OBJECT* driver) {
  release_driver(driver);
}

}  // namespace velto::portdriver

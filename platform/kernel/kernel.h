// The kernel interface: every service a driver uses, and nothing else. Driver
// code reaches threads, time, locks, memory, names, the registry and the
// network only through a Kernel. Two kernels implement it: the simulation
// kernel (platform/sim), which runs drivers on virtual time under a seeded
// scheduler for the tests, and the host kernel (platform/host), which runs
// them on real threads, the steady clock and UDP sockets for the product.
//
// Each operation names, once, the system routine it stands for. Results are
// those drivers rely on: a relative due time is negative in 100-ns units,
// KeCancelTimer reports whether the timer was set, a DPC that is already
// queued is not queued twice, and so on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/types.h"

namespace velto::platform {

// --- registry ---------------------------------------------------------------

enum class RegistryRelativeTo : uint8_t {
  RTL_REGISTRY_ABSOLUTE,   // the path is "\REGISTRY\MACHINE\..."
  RTL_REGISTRY_DEVICEMAP,  // the path is below "\REGISTRY\MACHINE\HARDWARE\DEVICEMAP"
};

// One entry of a registry query table (RTL_QUERY_REGISTRY_TABLE) with direct
// storing. A Subkey entry makes the entries after it relative to that subkey.
// A Direct entry stores the value into its target, or the default when the
// value is absent: a REG_DWORD into a uint32_t, a REG_SZ into the caller's
// UNICODE_STRING buffer (STATUS_BUFFER_TOO_SMALL when it does not fit).
struct RegistryQueryEntry {
  enum class Kind : uint8_t { Subkey, Direct };
  Kind kind = Kind::Direct;
  std::u16string_view name;
  std::variant<std::monostate, uint32_t*, UNICODE_STRING*> target;
  std::variant<std::monostate, uint32_t, std::u16string_view> default_value;
};

// --- UDP transport ----------------------------------------------------------

// An open transport address: a local UDP port bound on every local address.
struct TransportAddress;

struct ReceivedDatagram {
  size_t length = 0;       // bytes stored in the caller's buffer
  uint32_t sender_ip = 0;  // host order: 1.2.3.4 is 0x01020304
  uint16_t sender_port = 0;
};

// --- threads ----------------------------------------------------------------

using PKSTART_ROUTINE = void (*)(void* context);

class Kernel {
 public:
  virtual ~Kernel() = default;

  // --- time and waiting
  // KeQuerySystemTime: 100-ns units since the kernel's epoch.
  virtual int64_t query_system_time() = 0;
  // KeDelayExecutionThread (kernel mode, not alertable). interval_100ns < 0 is
  // relative. Passive level only.
  virtual NTSTATUS delay_execution_thread(int64_t interval_100ns) = 0;
  // KeStallExecutionProcessor: busy wait; allowed at any level.
  virtual void stall_execution_processor(uint32_t microseconds) = 0;

  // --- spin locks
  // KeInitializeSpinLock, with the lock's class and name for the checkers.
  void initialize_spin_lock(KSPIN_LOCK& lock, LockClass cls, const char* name) {
    lock.state.store(0, std::memory_order_relaxed);
    lock.lock_class = cls;
    lock.name = name;
  }
  // KeAcquireSpinLock / KeReleaseSpinLock: raises to DISPATCH_LEVEL.
  virtual KIRQL acquire_spin_lock(KSPIN_LOCK& lock) = 0;
  virtual void release_spin_lock(KSPIN_LOCK& lock, KIRQL old_irql) = 0;
  // IoAcquireCancelSpinLock / IoReleaseCancelSpinLock.
  virtual KIRQL acquire_cancel_spin_lock() = 0;
  virtual void release_cancel_spin_lock(KIRQL old_irql) = 0;
  // KeGetCurrentIrql.
  virtual KIRQL current_irql() = 0;

  // --- deferred procedure calls
  // KeInitializeDpc.
  void initialize_dpc(KDPC& dpc, PKDEFERRED_ROUTINE routine, void* context, const char* name) {
    dpc = KDPC{};
    dpc.DeferredRoutine = routine;
    dpc.DeferredContext = context;
    dpc.name = name;
  }
  // KeInsertQueueDpc: false when the DPC was already queued (then nothing changes).
  virtual bool insert_queue_dpc(KDPC& dpc, void* arg1, void* arg2) = 0;
  // KeRemoveQueueDpc: true when the DPC was queued and is now removed.
  virtual bool remove_queue_dpc(KDPC& dpc) = 0;
  // KeFlushQueuedDpcs: returns once every DPC queued before the call, and any
  // DPC routine running at the call, has finished. Passive level only.
  virtual void flush_queued_dpcs() = 0;

  // --- timers (one-shot)
  // KeInitializeTimer.
  void initialize_timer(KTIMER& timer) { timer = KTIMER{}; }
  // KeSetTimer: due_time_100ns < 0 is relative. True when the timer was
  // already set (it is then re-armed).
  virtual bool set_timer(KTIMER& timer, int64_t due_time_100ns, KDPC* dpc) = 0;
  // KeCancelTimer: true when the timer was set.
  virtual bool cancel_timer(KTIMER& timer) = 0;

  // --- events
  // KeInitializeEvent.
  void initialize_event(KEVENT& event, EVENT_TYPE type, bool state, const char* name) {
    event.type = type;
    event.signalled = state;
    event.name = name;
  }
  // KeSetEvent: returns the previous state. increment is the waiter's boost.
  virtual bool set_event(KEVENT& event, int8_t increment) = 0;
  // KeClearEvent.
  virtual void clear_event(KEVENT& event) = 0;
  // KeReadStateEvent.
  virtual bool read_state_event(KEVENT& event) = 0;
  // KeWaitForSingleObject (Executive, kernel mode, not alertable). Without a
  // timeout it waits for ever. STATUS_SUCCESS or STATUS_TIMEOUT.
  virtual NTSTATUS wait_for_single_object(KEVENT& event, std::optional<int64_t> timeout_100ns) = 0;

  // --- threads
  // PsCreateSystemThread: the thread runs routine(context) at passive level
  // and ends when it returns (PsTerminateSystemThread). *thread is a
  // reference the caller must close with close_thread.
  virtual NTSTATUS create_system_thread(PKSTART_ROUTINE routine, void* context, const char* name,
                                        KTHREAD** thread) = 0;
  // KeWaitForSingleObject on a thread: STATUS_SUCCESS once it has ended.
  virtual NTSTATUS wait_for_thread(KTHREAD* thread, std::optional<int64_t> timeout_100ns) = 0;
  // ZwClose / ObDereferenceObject of the thread reference.
  virtual void close_thread(KTHREAD* thread) = 0;
  // KeSetBasePriorityThread(KeGetCurrentThread(), increment).
  virtual void set_base_priority_thread(int32_t increment) = 0;
  // InterlockedExchange.
  virtual int32_t interlocked_exchange(std::atomic<int32_t>& target, int32_t value) = 0;

  // --- pool memory
  // ExAllocatePoolWithTag: nullptr when no memory can be had. The memory is
  // not zeroed.
  virtual void* allocate_pool_with_tag(POOL_TYPE type, size_t bytes, uint32_t tag) = 0;
  // ExFreePool.
  virtual void free_pool(void* block) = 0;
  // MmQuerySystemSize.
  virtual MM_SYSTEMSIZE query_system_size() = 0;

  // --- I/O manager and object namespace
  // IoCreateDevice: a device whose extension of extension_bytes is zero-filled.
  // name may be null for an unnamed device. STATUS_OBJECT_NAME_COLLISION when
  // the name is taken.
  virtual NTSTATUS create_device(DRIVER_OBJECT* driver, size_t extension_bytes,
                                 const UNICODE_STRING* name, DEVICE_TYPE type,
                                 uint32_t characteristics, bool exclusive,
                                 DEVICE_OBJECT** device) = 0;
  // IoDeleteDevice.
  virtual void delete_device(DEVICE_OBJECT* device) = 0;
  // IoCreateSymbolicLink / IoDeleteSymbolicLink.
  virtual NTSTATUS create_symbolic_link(const UNICODE_STRING& link,
                                        const UNICODE_STRING& target) = 0;
  virtual NTSTATUS delete_symbolic_link(const UNICODE_STRING& link) = 0;
  // IoCompleteRequest. The request must have no cancel routine left.
  virtual void complete_request(IRP* irp, int8_t boost) = 0;
  // IoGetConfigurationInformation.
  virtual CONFIGURATION_INFORMATION& configuration_information() = 0;
  // IoAllocateErrorLogEntry (base size, zero-filled) / IoWriteErrorLogEntry,
  // which takes the entry over.
  virtual IO_ERROR_LOG_PACKET* allocate_error_log_entry(void* io_object) = 0;
  virtual void write_error_log_entry(IO_ERROR_LOG_PACKET* entry) = 0;
  // DbgPrint.
  virtual void debug_print(std::string_view line) = 0;

  // --- registry
  // RtlQueryRegistryValues with RTL_QUERY_REGISTRY_DIRECT entries.
  virtual NTSTATUS query_registry_values(RegistryRelativeTo relative_to, std::u16string_view path,
                                         std::span<RegistryQueryEntry> table) = 0;
  // RtlWriteRegistryValue: creates the key when it is missing.
  virtual NTSTATUS write_registry_value(RegistryRelativeTo relative_to, std::u16string_view path,
                                        std::u16string_view name, uint32_t type,
                                        std::span<const uint8_t> data) = 0;
  // RtlDeleteRegistryValue.
  virtual NTSTATUS delete_registry_value(RegistryRelativeTo relative_to, std::u16string_view path,
                                         std::u16string_view name) = 0;

  // --- UDP transport ("\device\udp")
  // Opens a UDP address bound to local_port on every local address.
  virtual NTSTATUS open_transport_address(uint16_t local_port, TransportAddress** address) = 0;
  // Sends one datagram; returns once the transport is done with the buffer.
  virtual NTSTATUS send_datagram(TransportAddress* address, uint32_t remote_ip,
                                 uint16_t remote_port, std::span<const uint8_t> data) = 0;
  // Waits for one datagram and stores at most buffer.size() bytes of it. The
  // named remote is advisory: callers check the sender themselves. Fails
  // (and wakes) once the address is closed.
  virtual NTSTATUS receive_datagram(TransportAddress* address, uint32_t remote_ip,
                                    uint16_t remote_port, std::span<uint8_t> buffer,
                                    ReceivedDatagram* received) = 0;
  // Closes the address: pending and later receives fail. The object stays
  // valid until release_transport_address.
  virtual void close_transport_address(TransportAddress* address) = 0;
  virtual void release_transport_address(TransportAddress* address) = 0;
};

// Relative due times: -10 000 per millisecond.
constexpr int64_t relative_ms(int64_t ms) {
  return -ms * 10'000;
}
constexpr int64_t relative_us(int64_t us) {
  return -us * 10;
}

}  // namespace velto::platform

namespace velto::platform {

// IoCreateDevice with a typed extension: the extension is value-initialised
// in the zero-filled memory and destroyed when the device is deleted.
template <typename Extension>
NTSTATUS create_device_with_extension(Kernel& kernel, DRIVER_OBJECT* driver,
                                      const UNICODE_STRING* name, DEVICE_TYPE type,
                                      uint32_t characteristics, bool exclusive,
                                      DEVICE_OBJECT** device) {
  static_assert(alignof(Extension) <= 64, "device extensions are 64-byte aligned");
  const NTSTATUS status = kernel.create_device(driver, sizeof(Extension), name, type,
                                               characteristics, exclusive, device);
  if (!NT_SUCCESS(status)) return status;
  new ((*device)->DeviceExtension) Extension();
  (*device)->destroy_extension = [](void* extension) {
    static_cast<Extension*>(extension)->~Extension();
  };
  return status;
}

}  // namespace velto::platform

// The kernel's object records that drivers embed in their own records: spin
// locks, events, deferred procedure calls, timers, list links, counted
// strings, requests, device and driver objects. Drivers initialise and use
// them only through Kernel (kernel.h); the fields marked "kernel-owned" belong
// to whichever kernel runs the driver and are touched only under its locks.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/kernel/ntstatus.h"

namespace velto::platform {

class Kernel;
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
struct KDPC;

// Interrupt request level of the running context. Threads run at
// PASSIVE_LEVEL; DPCs, timer expiries and spin lock holders at DISPATCH_LEVEL,
// where nothing may wait.
enum class KIRQL : uint8_t { PASSIVE_LEVEL = 0, APC_LEVEL = 1, DISPATCH_LEVEL = 2 };

// Lock classes, for the lock-order checker. The driver's rule is that a
// port's PortLock comes before the cancel spin lock and before OutQueueLock.
enum class LockClass : uint8_t {
  kUnclassified = 0,  // ordered against nothing
  kPortLock,          // one per port
  kCancelSpinLock,    // the kernel's single cancel spin lock
  kOutQueueLock,      // the link's outbound queue lock
  kCount,
};

struct KSPIN_LOCK {
  std::atomic<uint32_t> state{0};  // kernel-owned: 0 free, 1 held
  LockClass lock_class = LockClass::kUnclassified;
  const char* name = "spin lock";
};

enum class EVENT_TYPE : uint8_t {
  NotificationEvent,    // stays signalled until cleared; releases every waiter
  SynchronizationEvent  // auto-reset: releases one waiter and clears itself
};

struct KEVENT {
  EVENT_TYPE type = EVENT_TYPE::NotificationEvent;
  bool signalled = false;  // kernel-owned, under the kernel's dispatcher lock
  const char* name = "event";
};

using PKDEFERRED_ROUTINE = void (*)(KDPC* dpc, void* context, void* arg1, void* arg2);

struct KDPC {
  PKDEFERRED_ROUTINE DeferredRoutine = nullptr;
  void* DeferredContext = nullptr;
  // Kernel-owned, under the kernel's DPC queue lock.
  void* SystemArgument1 = nullptr;
  void* SystemArgument2 = nullptr;
  bool inserted = false;
  KDPC* next_queued = nullptr;
  const char* name = "dpc";
};

struct KTIMER {
  // Kernel-owned, under the kernel's timer lock. A set timer sits in the
  // kernel's deadline heap; cancelling or re-setting bumps generation so a
  // stale heap entry is skipped when it comes due.
  bool inserted = false;
  int64_t due_time_100ns = 0;  // absolute, on the kernel's clock
  KDPC* dpc = nullptr;
  uint64_t generation = 0;
};

// Threads are kernel objects the kernel allocates; drivers hold a reference
// from creation until they close it.
struct KTHREAD;

// A doubly linked list head or link (LIST_ENTRY). An empty head points at
// itself; a zero-filled head is invalid until InitializeListHead.
struct LIST_ENTRY {
  LIST_ENTRY* Flink = nullptr;
  LIST_ENTRY* Blink = nullptr;
};

// A counted UTF-16 string whose buffer the owner allocates (UNICODE_STRING).
// Length and MaximumLength are in bytes; Buffer need not be NUL-terminated.
struct UNICODE_STRING {
  uint16_t Length = 0;
  uint16_t MaximumLength = 0;
  char16_t* Buffer = nullptr;
};

enum class POOL_TYPE : uint8_t { NonPagedPool, PagedPool };

constexpr uint32_t make_pool_tag(const char (&four)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(four[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(four[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(four[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(four[3])) << 24;
}

// Major functions of a request, with their system numbering.
enum class IRP_MJ : uint8_t {
  CREATE = 0x00,
  CLOSE = 0x02,
  READ = 0x03,
  WRITE = 0x04,
  QUERY_INFORMATION = 0x05,
  SET_INFORMATION = 0x06,
  FLUSH_BUFFERS = 0x09,
  DEVICE_CONTROL = 0x0E,
  INTERNAL_DEVICE_CONTROL = 0x0F,
  CLEANUP = 0x12,
  POWER = 0x16,
  SYSTEM_CONTROL = 0x17,
  PNP = 0x1B,
};
inline constexpr size_t IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Completion boosts.
inline constexpr int8_t IO_NO_INCREMENT = 0;
inline constexpr int8_t IO_SERIAL_INCREMENT = 2;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* device, IRP* irp);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* driver);
using PDRIVER_INITIALIZE = NTSTATUS (*)(DRIVER_OBJECT* driver, const UNICODE_STRING* registry_path);

inline constexpr uint32_t FILE_DIRECTORY_FILE = 0x00000001;

struct IO_STATUS_BLOCK {
  NTSTATUS Status = STATUS_SUCCESS;
  uintptr_t Information = 0;
};

// A request (IRP) with its current stack location folded in: one driver
// serves each request, so one set of parameters is enough.
struct IRP {
  IRP_MJ MajorFunction = IRP_MJ::CREATE;
  uint8_t MinorFunction = 0;
  union {
    struct {
      uint32_t Options;  // create options, such as FILE_DIRECTORY_FILE
    } Create;
    struct {
      uint32_t Length;
    } Read;
    struct {
      uint32_t Length;  // counted down by a write engine
    } Write;
    struct {
      uint32_t Length;
      uint32_t FileInformationClass;
    } QueryFile;
    struct {
      uint32_t Length;
      uint32_t FileInformationClass;
    } SetFile;
    struct {
      uint32_t OutputBufferLength;
      uint32_t InputBufferLength;
      uint32_t IoControlCode;
    } DeviceIoControl;
  } Parameters{};
  void* SystemBuffer = nullptr;  // buffered I/O: input in, output back
  IO_STATUS_BLOCK IoStatus;
  std::atomic<bool> Cancel{false};
  std::atomic<PDRIVER_CANCEL> CancelRoutine{nullptr};
  KIRQL CancelIrql = KIRQL::PASSIVE_LEVEL;
  bool PendingReturned = false;  // IoMarkIrpPending
  LIST_ENTRY ListEntry;          // a driver's queue link while it holds the request

  // Kernel-owned completion record.
  DEVICE_OBJECT* device = nullptr;
  KEVENT completed_event{EVENT_TYPE::NotificationEvent, false, "request completion"};
  std::atomic<bool> completed{false};
  int8_t completion_boost = IO_NO_INCREMENT;
};

inline IRP* irp_from_list_entry(LIST_ENTRY* entry) {
  return reinterpret_cast<IRP*>(reinterpret_cast<char*>(entry) - offsetof(IRP, ListEntry));
}

enum class DEVICE_TYPE : uint32_t {
  FILE_DEVICE_BUS_EXTENDER = 0x2A,
  FILE_DEVICE_SERIAL_PORT = 0x1B
};
inline constexpr uint32_t DO_BUFFERED_IO = 0x00000004;
inline constexpr uint32_t DO_DEVICE_INITIALIZING = 0x00000080;

struct DEVICE_OBJECT {
  DRIVER_OBJECT* DriverObject = nullptr;
  DEVICE_OBJECT* NextDevice = nullptr;  // the driver's device list
  uint32_t Flags = 0;
  DEVICE_TYPE DeviceType = DEVICE_TYPE::FILE_DEVICE_SERIAL_PORT;
  uint32_t Characteristics = 0;
  bool Exclusive = false;
  void* DeviceExtension = nullptr;
  // Kernel-owned.
  std::u16string name;  // empty for an unnamed device
  size_t extension_bytes = 0;
  void (*destroy_extension)(void* extension) = nullptr;
};

struct DRIVER_OBJECT {
  Kernel* kernel = nullptr;
  DEVICE_OBJECT* DeviceObject = nullptr;  // first device, newest first
  std::array<PDRIVER_DISPATCH, IRP_MJ_MAXIMUM_FUNCTION + 1> MajorFunction{};
  PDRIVER_UNLOAD DriverUnload = nullptr;
  void* DriverExtension = nullptr;  // the driver's own driver-wide record
  // Kernel-owned.
  std::u16string name;
  uint32_t pool_tag = 0;  // the tag of the driver's allocations, for the leak check
};

// The error-log record of the base size: no dump data and no strings.
struct IO_ERROR_LOG_PACKET {
  uint8_t MajorFunctionCode = 0;
  uint8_t RetryCount = 0;
  uint16_t DumpDataSize = 0;
  uint16_t NumberOfStrings = 0;
  uint16_t StringOffset = 0;
  uint16_t EventCategory = 0;
  NTSTATUS ErrorCode = STATUS_SUCCESS;
  uint32_t UniqueErrorValue = 0;
  NTSTATUS FinalStatus = STATUS_SUCCESS;
  uint32_t SequenceNumber = 0;
  uint32_t IoControlCode = 0;
  int64_t DeviceOffset = 0;
  uint32_t DumpData[1] = {0};
};

struct CONFIGURATION_INFORMATION {
  uint32_t SerialCount = 0;  // serial ports in the system
};

enum class MM_SYSTEMSIZE : uint8_t { MmSmallSystem, MmMediumSystem, MmLargeSystem };

}  // namespace velto::platform

// What both kernels share: the object namespace, device and driver objects,
// request completion and cancellation, the registry over the configuration
// store, pool accounting, the error log and debug output. Each kernel adds
// its own scheduling: how threads run, wait and take spin locks, how DPCs and
// timers fire, what time it is, and how datagrams travel.
//
// The state here is guarded by base_lock_, a leaf lock: it is taken only
// inside this class and never held across a call into a driver or into the
// derived kernel's scheduling.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/object_namespace.h"

namespace velto::store {
class Store;
}

namespace velto::platform {

struct PoolBlock {
  size_t bytes = 0;
  uint32_t tag = 0;
  POOL_TYPE type = POOL_TYPE::NonPagedPool;
};

// An error-log entry as written, for tests and the host's log.
struct ErrorLogRecord {
  IO_ERROR_LOG_PACKET packet;
};

class KernelBase : public Kernel {
 public:
  // The store is the registry; the kernel does not own it. Its calls are
  // serialised under base_lock_.
  explicit KernelBase(store::Store& registry);
  ~KernelBase() override;

  // --- driver loading (the system's service control)
  // Creates the driver object and runs the entry routine at passive level.
  // On failure the driver object is released and nullptr returned. pool_tag,
  // when given, is the tag of every allocation the driver makes: a block of
  // it still live after a failed entry or after unload is a leak, and fails.
  DRIVER_OBJECT* load_driver(std::u16string_view name, std::u16string_view registry_path,
                             PDRIVER_INITIALIZE entry, NTSTATUS* status, uint32_t pool_tag = 0);
  // Runs the unload routine and releases the driver object. Every device and
  // every tagged allocation of the driver must be gone by then.
  void unload_driver(DRIVER_OBJECT* driver);

  // --- requests, as an application's I/O reaches a driver
  // Resolves "\DosDevices\COM5" or "\Device\vcserial0" (links followed).
  DEVICE_OBJECT* find_device(std::u16string_view name);
  IRP* allocate_irp();
  void free_irp(IRP* irp);
  // IofCallDriver: runs the device's dispatch routine for the request's major
  // function; a driver without one completes it with
  // STATUS_INVALID_DEVICE_REQUEST.
  NTSTATUS call_driver(DEVICE_OBJECT* device, IRP* irp);
  // Waits until the request is completed; its IoStatus is then final.
  NTSTATUS wait_for_completion(IRP* irp, std::optional<int64_t> timeout_100ns);
  // IoCancelIrp: sets Cancel and calls the cancel routine, if any, with the
  // cancel spin lock held. True when a routine was called.
  bool cancel_irp(IRP* irp);

  // --- inspection, for tests and the host's status output
  std::map<uint32_t, size_t> live_pool_blocks_by_tag();
  size_t live_pool_blocks(uint32_t tag);
  std::vector<ErrorLogRecord> error_log();
  std::vector<std::string> debug_output();
  std::vector<std::u16string> symbolic_links();
  ObjectNamespace::Entry lookup(std::u16string_view name);

  // Kernel interface parts implemented here.
  void* allocate_pool_with_tag(POOL_TYPE type, size_t bytes, uint32_t tag) override;
  void free_pool(void* block) override;
  MM_SYSTEMSIZE query_system_size() override { return MM_SYSTEMSIZE::MmLargeSystem; }
  NTSTATUS create_device(DRIVER_OBJECT* driver, size_t extension_bytes, const UNICODE_STRING* name,
                         DEVICE_TYPE type, uint32_t characteristics, bool exclusive,
                         DEVICE_OBJECT** device) override;
  void delete_device(DEVICE_OBJECT* device) override;
  NTSTATUS create_symbolic_link(const UNICODE_STRING& link, const UNICODE_STRING& target) override;
  NTSTATUS delete_symbolic_link(const UNICODE_STRING& link) override;
  void complete_request(IRP* irp, int8_t boost) override;
  CONFIGURATION_INFORMATION& configuration_information() override { return configuration_; }
  IO_ERROR_LOG_PACKET* allocate_error_log_entry(void* io_object) override;
  void write_error_log_entry(IO_ERROR_LOG_PACKET* entry) override;
  void debug_print(std::string_view line) override;
  NTSTATUS query_registry_values(RegistryRelativeTo relative_to, std::u16string_view path,
                                 std::span<RegistryQueryEntry> table) override;
  NTSTATUS write_registry_value(RegistryRelativeTo relative_to, std::u16string_view path,
                                std::u16string_view name, uint32_t type,
                                std::span<const uint8_t> data) override;
  NTSTATUS delete_registry_value(RegistryRelativeTo relative_to, std::u16string_view path,
                                 std::u16string_view name) override;

 protected:
  // A derived kernel may refuse an allocation (fault injection) or fill fresh
  // memory with a pattern; the defaults do neither.
  virtual bool should_fail_allocation(POOL_TYPE type, size_t bytes, uint32_t tag);
  virtual void on_allocated(void* block, size_t bytes);
  virtual void on_freeing(void* block, size_t bytes);
  // Called for every debug line after it is recorded.
  virtual void on_debug_line(std::string_view line);
  // Called for a programmer error found here (a double free, a completion of
  // a request that still has a cancel routine): never returns.
  [[noreturn]] virtual void fail(std::string_view what);

 private:
  template <typename Fn>
  NTSTATUS registry_call(NTSTATUS on_error, Fn&& fn);
  void check_driver_pool(const DRIVER_OBJECT& driver, const char* when);
  std::mutex base_lock_;  // guards everything below
  store::Store& registry_;
  ObjectNamespace namespace_;
  std::unordered_map<void*, PoolBlock> pool_;
  std::vector<ErrorLogRecord> error_log_;
  std::deque<std::string> debug_lines_;  // the most recent kDebugLinesKept
  CONFIGURATION_INFORMATION configuration_;
  std::vector<std::unique_ptr<DRIVER_OBJECT>> drivers_;
};

}  // namespace velto::platform

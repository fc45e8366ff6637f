// The kernel services that do not depend on how threads are scheduled:
// devices, names, requests, the registry over the configuration store, pool
// accounting, the error log and debug output.
#include "platform/kernel/kernel_base.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/kernel/rtl.h"
#include "platform/store/store.h"

namespace velto::platform {

namespace {
constexpr uint32_t kDeviceObjectTag = make_pool_tag("Devi");
constexpr uint32_t kErrorLogTag = make_pool_tag("ErrL");
constexpr size_t kDebugLinesKept = 4096;
constexpr std::align_val_t kExtensionAlignment{64};
}  // namespace

KernelBase::KernelBase(store::Store& registry) : registry_(registry) {}

KernelBase::~KernelBase() = default;

void KernelBase::fail(std::string_view what) {
  std::fprintf(stderr, "velto kernel: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

bool KernelBase::should_fail_allocation(POOL_TYPE, size_t, uint32_t) {
  return false;
}
void KernelBase::on_allocated(void*, size_t) {}
void KernelBase::on_freeing(void*, size_t) {}
void KernelBase::on_debug_line(std::string_view) {}

// --- pool -------------------------------------------------------------------

void* KernelBase::allocate_pool_with_tag(POOL_TYPE type, size_t bytes, uint32_t tag) {
  if (should_fail_allocation(type, bytes, tag)) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (!block) return nullptr;
  on_allocated(block, bytes);
  std::lock_guard guard(base_lock_);
  pool_.emplace(block, PoolBlock{bytes, tag, type});
  return block;
}

void KernelBase::free_pool(void* block) {
  PoolBlock record;
  {
    std::lock_guard guard(base_lock_);
    auto it = pool_.find(block);
    if (it == pool_.end())
      fail("free_pool: the block was not allocated from the pool, or was freed twice");
    record = it->second;
    pool_.erase(it);
  }
  on_freeing(block, record.bytes);
  std::free(block);
}

std::map<uint32_t, size_t> KernelBase::live_pool_blocks_by_tag() {
  std::lock_guard guard(base_lock_);
  std::map<uint32_t, size_t> counts;
  for (const auto& [block, record] : pool_) ++counts[record.tag];
  return counts;
}

size_t KernelBase::live_pool_blocks(uint32_t tag) {
  auto counts = live_pool_blocks_by_tag();
  auto it = counts.find(tag);
  return it == counts.end() ? 0 : it->second;
}

// --- devices and names --------------------------------------------------------

NTSTATUS KernelBase::create_device(DRIVER_OBJECT* driver, size_t extension_bytes,
                                   const UNICODE_STRING* name, DEVICE_TYPE type,
                                   uint32_t characteristics, bool exclusive,
                                   DEVICE_OBJECT** device) {
  *device = nullptr;
  if (should_fail_allocation(POOL_TYPE::NonPagedPool, sizeof(DEVICE_OBJECT) + extension_bytes,
                             kDeviceObjectTag)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto object = std::make_unique<DEVICE_OBJECT>();
  object->DriverObject = driver;
  object->DeviceType = type;
  object->Characteristics = characteristics;
  object->Exclusive = exclusive;
  if (name) object->name = std::u16string(view(*name));
  {
    std::lock_guard guard(base_lock_);
    if (name && !namespace_.insert_device(object->name, object.get())) {
      return STATUS_OBJECT_NAME_COLLISION;
    }
    object->NextDevice = driver->DeviceObject;
    driver->DeviceObject = object.get();
  }
  object->extension_bytes = extension_bytes;
  if (extension_bytes > 0) {
    object->DeviceExtension = ::operator new(extension_bytes, kExtensionAlignment);
    std::memset(object->DeviceExtension, 0, extension_bytes);
  }
  *device = object.release();
  return STATUS_SUCCESS;
}

void KernelBase::delete_device(DEVICE_OBJECT* device) {
  {
    std::lock_guard guard(base_lock_);
    if (!device->name.empty())
      namespace_.remove(device->name, ObjectNamespace::Entry::Kind::kDevice);
    DEVICE_OBJECT** link = &device->DriverObject->DeviceObject;
    while (*link && *link != device) link = &(*link)->NextDevice;
    if (!*link) fail("delete_device: the device is not on its driver's list");
    *link = device->NextDevice;
  }
  if (device->DeviceExtension) {
    if (device->destroy_extension) device->destroy_extension(device->DeviceExtension);
    on_freeing(device->DeviceExtension, device->extension_bytes);
    ::operator delete(device->DeviceExtension, kExtensionAlignment);
  }
  delete device;
}

NTSTATUS KernelBase::create_symbolic_link(const UNICODE_STRING& link,
                                          const UNICODE_STRING& target) {
  std::lock_guard guard(base_lock_);
  return namespace_.insert_link(view(link), view(target)) ? STATUS_SUCCESS
                                                          : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS KernelBase::delete_symbolic_link(const UNICODE_STRING& link) {
  std::lock_guard guard(base_lock_);
  return namespace_.remove(view(link), ObjectNamespace::Entry::Kind::kSymbolicLink)
             ? STATUS_SUCCESS
             : STATUS_OBJECT_NAME_NOT_FOUND;
}

DEVICE_OBJECT* KernelBase::find_device(std::u16string_view name) {
  std::lock_guard guard(base_lock_);
  return namespace_.resolve_device(name);
}

std::vector<std::u16string> KernelBase::symbolic_links() {
  std::lock_guard guard(base_lock_);
  return namespace_.names_of(ObjectNamespace::Entry::Kind::kSymbolicLink);
}

ObjectNamespace::Entry KernelBase::lookup(std::u16string_view name) {
  std::lock_guard guard(base_lock_);
  return namespace_.lookup(name);
}

// --- drivers ------------------------------------------------------------------

void KernelBase::check_driver_pool(const DRIVER_OBJECT& driver, const char* when) {
  if (driver.pool_tag == 0) return;
  const size_t live = live_pool_blocks(driver.pool_tag);
  if (live == 0) return;
  fail(to_utf8(driver.name) + " left " + std::to_string(live) + " pool block(s) " + when);
}

DRIVER_OBJECT* KernelBase::load_driver(std::u16string_view name, std::u16string_view registry_path,
                                       PDRIVER_INITIALIZE entry, NTSTATUS* status,
                                       uint32_t pool_tag) {
  auto driver = std::make_unique<DRIVER_OBJECT>();
  driver->kernel = this;
  driver->name = std::u16string(name);
  driver->pool_tag = pool_tag;
  const std::u16string path(registry_path);
  UNICODE_STRING path_string;
  init_unicode_string(path_string, path.c_str());
  *status = entry(driver.get(), &path_string);
  if (!NT_SUCCESS(*status)) {
    if (driver->DeviceObject) fail("a driver whose entry routine failed left a device behind");
    check_driver_pool(*driver, "after its entry routine failed");
    return nullptr;
  }
  std::lock_guard guard(base_lock_);
  drivers_.push_back(std::move(driver));
  return drivers_.back().get();
}

void KernelBase::unload_driver(DRIVER_OBJECT* driver) {
  if (driver->DriverUnload) driver->DriverUnload(driver);
  if (driver->DeviceObject) fail("a driver's unload routine left a device behind");
  check_driver_pool(*driver, "after unload");
  std::lock_guard guard(base_lock_);
  std::erase_if(drivers_, [driver](const auto& d) { return d.get() == driver; });
}

// --- requests -----------------------------------------------------------------

IRP* KernelBase::allocate_irp() {
  IRP* irp = new IRP();
  initialize_event(irp->completed_event, EVENT_TYPE::NotificationEvent, false,
                   "request completion");
  return irp;
}

void KernelBase::free_irp(IRP* irp) {
  delete irp;
}

NTSTATUS KernelBase::call_driver(DEVICE_OBJECT* device, IRP* irp) {
  irp->device = device;
  const auto major = static_cast<size_t>(irp->MajorFunction);
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction.at(major);
  if (!dispatch) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    complete_request(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(device, irp);
}

NTSTATUS KernelBase::wait_for_completion(IRP* irp, std::optional<int64_t> timeout_100ns) {
  return wait_for_single_object(irp->completed_event, timeout_100ns);
}

bool KernelBase::cancel_irp(IRP* irp) {
  const KIRQL irql = acquire_cancel_spin_lock();
  irp->Cancel.store(true);
  PDRIVER_CANCEL routine = irp->CancelRoutine.exchange(nullptr);
  if (!routine) {
    release_cancel_spin_lock(irql);
    return false;
  }
  irp->CancelIrql = irql;
  routine(irp->device, irp);  // releases the cancel spin lock
  return true;
}

void KernelBase::complete_request(IRP* irp, int8_t boost) {
  if (irp->CancelRoutine.load() != nullptr)
    fail("a request was completed with its cancel routine still set");
  if (irp->completed.exchange(true)) fail("a request was completed twice");
  irp->completion_boost = boost;
  set_event(irp->completed_event, boost);
}

// --- error log and debug output -------------------------------------------------

IO_ERROR_LOG_PACKET* KernelBase::allocate_error_log_entry(void*) {
  if (should_fail_allocation(POOL_TYPE::NonPagedPool, sizeof(IO_ERROR_LOG_PACKET), kErrorLogTag)) {
    return nullptr;
  }
  return new IO_ERROR_LOG_PACKET{};
}

void KernelBase::write_error_log_entry(IO_ERROR_LOG_PACKET* entry) {
  char line[96];
  std::snprintf(line, sizeof line, "error log: code 0x%08X, unique value %u",
                status_code(entry->ErrorCode), entry->UniqueErrorValue);
  {
    std::lock_guard guard(base_lock_);
    error_log_.push_back(ErrorLogRecord{*entry});
  }
  delete entry;
  debug_print(line);
}

std::vector<ErrorLogRecord> KernelBase::error_log() {
  std::lock_guard guard(base_lock_);
  return error_log_;
}

void KernelBase::debug_print(std::string_view line) {
  {
    std::lock_guard guard(base_lock_);
    // Bounded: a chatty driver must not grow the kernel without limit.
    if (debug_lines_.size() == kDebugLinesKept) debug_lines_.pop_front();
    debug_lines_.emplace_back(line);
  }
  on_debug_line(line);
}

std::vector<std::string> KernelBase::debug_output() {
  std::lock_guard guard(base_lock_);
  return {debug_lines_.begin(), debug_lines_.end()};
}

}  // namespace velto::platform

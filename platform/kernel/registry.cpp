// The kernel's registry routines over the configuration store. Kernel code
// speaks UTF-16 and "\REGISTRY\MACHINE\..." paths; the store keeps 8-bit
// text, so string data is converted here, at the boundary, and every other
// type passes through byte for byte.
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "common/store_layout.h"
#include "platform/kernel/kernel_base.h"
#include "platform/kernel/rtl.h"
#include "platform/store/store.h"

namespace velto::platform {

namespace {

using layout::ValueType;

std::string absolute_key(RegistryRelativeTo relative_to, std::u16string_view path) {
  std::string key = to_utf8(path);
  if (relative_to == RegistryRelativeTo::RTL_REGISTRY_DEVICEMAP) {
    return std::string(layout::kMachinePrefix) + std::string(layout::kDeviceMapKey) + "\\" + key;
  }
  return key;
}

bool is_string_type(uint32_t type) {
  return type == static_cast<uint32_t>(ValueType::REG_SZ) ||
         type == static_cast<uint32_t>(ValueType::REG_EXPAND_SZ) ||
         type == static_cast<uint32_t>(ValueType::REG_MULTI_SZ);
}

// Stores text into the caller's buffer as the direct query does: the text,
// then a NUL, all within MaximumLength.
NTSTATUS store_text(UNICODE_STRING& target, std::u16string_view text) {
  if (!target.Buffer) return STATUS_INVALID_PARAMETER;
  if (text.size() * 2 + 2 > target.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(target.Buffer, text.data(), text.size() * 2);
  target.Buffer[text.size()] = u'\0';
  target.Length = static_cast<uint16_t>(text.size() * 2);
  return STATUS_SUCCESS;
}

NTSTATUS store_found(const RegistryQueryEntry& entry, const store::Value& value) {
  if (auto* dword = std::get_if<uint32_t*>(&entry.target)) {
    if (value.data.size() > sizeof(uint32_t)) return STATUS_BUFFER_TOO_SMALL;
    uint32_t v = 0;
    for (size_t i = 0; i < value.data.size(); ++i) v |= uint32_t{value.data[i]} << (8 * i);
    **dword = v;
    return STATUS_SUCCESS;
  }
  if (auto* text = std::get_if<UNICODE_STRING*>(&entry.target)) {
    if (!is_string_type(static_cast<uint32_t>(value.type))) return STATUS_OBJECT_TYPE_MISMATCH;
    return store_text(**text, to_utf16(store::Store::as_text(value)));
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS store_default(const RegistryQueryEntry& entry) {
  if (std::holds_alternative<std::monostate>(entry.default_value)) return STATUS_SUCCESS;
  if (auto* dword = std::get_if<uint32_t*>(&entry.target)) {
    const auto* v = std::get_if<uint32_t>(&entry.default_value);
    if (!v) return STATUS_INVALID_PARAMETER;
    **dword = *v;
    return STATUS_SUCCESS;
  }
  if (auto* text = std::get_if<UNICODE_STRING*>(&entry.target)) {
    const auto* v = std::get_if<std::u16string_view>(&entry.default_value);
    if (!v) return STATUS_INVALID_PARAMETER;
    return store_text(**text, *v);
  }
  return STATUS_INVALID_PARAMETER;
}

// String data arrives as UTF-16LE bytes; the store keeps it as 8-bit text
// with its NULs where they stood.
std::vector<uint8_t> to_store_data(uint32_t type, std::span<const uint8_t> data) {
  if (!is_string_type(type)) return {data.begin(), data.end()};
  std::u16string wide(data.size() / 2, u'\0');
  std::memcpy(wide.data(), data.data(), wide.size() * 2);
  const std::string narrow = to_utf8(wide);
  return {narrow.begin(), narrow.end()};
}

}  // namespace

// Runs one registry operation under base_lock_. A store failure (a damaged
// file, a disk error) becomes on_error and a debug line, never an exception
// in driver code.
template <typename Fn>
NTSTATUS KernelBase::registry_call(NTSTATUS on_error, Fn&& fn) {
  std::string error;
  NTSTATUS status = on_error;
  {
    std::lock_guard guard(base_lock_);
    try {
      status = fn(registry_);
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
  if (!error.empty()) debug_print("registry: " + error);
  return status;
}

NTSTATUS KernelBase::query_registry_values(RegistryRelativeTo relative_to, std::u16string_view path,
                                           std::span<RegistryQueryEntry> table) {
  return registry_call(STATUS_OBJECT_NAME_NOT_FOUND, [&](store::Store& store) {
    std::string key = absolute_key(relative_to, path);
    if (!store.key_exists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::string base = key;
    for (const RegistryQueryEntry& entry : table) {
      if (entry.kind == RegistryQueryEntry::Kind::Subkey) {
        key = base + "\\" + to_utf8(entry.name);
        if (!store.key_exists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
        continue;
      }
      const auto value = store.get_value(key, to_utf8(entry.name));
      const NTSTATUS status = value ? store_found(entry, *value) : store_default(entry);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS KernelBase::write_registry_value(RegistryRelativeTo relative_to, std::u16string_view path,
                                          std::u16string_view name, uint32_t type,
                                          std::span<const uint8_t> data) {
  return registry_call(STATUS_UNSUCCESSFUL, [&](store::Store& store) {
    store.set_value(absolute_key(relative_to, path), to_utf8(name), static_cast<ValueType>(type),
                    to_store_data(type, data));
    return STATUS_SUCCESS;
  });
}

NTSTATUS KernelBase::delete_registry_value(RegistryRelativeTo relative_to, std::u16string_view path,
                                           std::u16string_view name) {
  return registry_call(STATUS_UNSUCCESSFUL, [&](store::Store& store) {
    return store.delete_value(absolute_key(relative_to, path), to_utf8(name))
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
  });
}

}  // namespace velto::platform

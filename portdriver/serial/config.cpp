// The port driver's reads of the configuration store: the port count, the
// first COM number, and each port's device server address and server port.
// A missing value takes its default; only a missing "PortName" key has its
// own meaning (COM numbers then start at 3).
#include <string>

#include "common/store_layout.h"
#include "platform/kernel/rtl.h"
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

namespace {

const std::u16string kPortService = to_utf16(layout::kPortServiceName);
const std::u16string kMaxPortValue = to_utf16(layout::kMaxPort);
const std::u16string kPortNameValue = to_utf16(layout::kPortName);
const std::u16string kFirstChildParameters =
    to_utf16(layout::kMachinePrefix) + to_utf16(layout::kFirstChildParametersKey);

// One DWORD from the port service key; the default when it is absent, and
// also when the key itself is missing, because the target holds the default
// before the query.
uint32_t query_port_service_dword(DriverState& ds, std::u16string_view name, uint32_t fallback) {
  uint32_t value = fallback;
  RegistryQueryEntry table[] = {
      {.kind = RegistryQueryEntry::Kind::Subkey, .name = kPortService},
      {.kind = RegistryQueryEntry::Kind::Direct,
       .name = name,
       .target = &value,
       .default_value = fallback},
  };
  // A failed query leaves the default in place, which is what the driver wants.
  (void)ds.kernel->query_registry_values(RegistryRelativeTo::RTL_REGISTRY_ABSOLUTE,
                                         view(ds.ServicesPath), table);
  return value;
}

bool is_digit(char16_t c) {
  const auto low = static_cast<uint8_t>(c & 0xFF);
  return low >= '0' && low <= '9';
}

}  // namespace

int32_t ReadPortCount(DriverState& ds) {
  const uint32_t max_port = query_port_service_dword(ds, kMaxPortValue, layout::kMaxPortDefault);
  // Every per-port table has 256 entries and the link's port byte is 8 bits.
  if (max_port > static_cast<uint32_t>(kPortTableSize)) {
    ds.kernel->debug_print("Veltop: MaxPort " + std::to_string(max_port) + " is above " +
                           std::to_string(kPortTableSize) + "; using " +
                           std::to_string(kPortTableSize) + " ports");
    return kPortTableSize;
  }
  return static_cast<int32_t>(max_port);
}

// COM5 gives 5, COM12 gives 12, COM1x2 gives 12: the three characters after
// "COM" are scanned, and a position without a digit is skipped.
int32_t ReadFirstComNumber(DriverState& ds) {
  char16_t buffer[8] = {};  // 16 bytes: seven characters and a NUL
  UNICODE_STRING port_name{0, sizeof buffer, buffer};
  RegistryQueryEntry table[] = {
      {.kind = RegistryQueryEntry::Kind::Direct,
       .name = kPortNameValue,
       .target = &port_name,
       .default_value = std::u16string_view(u"")},
  };
  const NTSTATUS status = ds.kernel->query_registry_values(
      RegistryRelativeTo::RTL_REGISTRY_ABSOLUTE, kFirstChildParameters, table);
  if (!NT_SUCCESS(status)) return static_cast<int32_t>(layout::kFirstComNumberDefault);
  uint32_t number = 0;
  for (int position = 3; position <= 5; ++position) {
    if (is_digit(buffer[position])) number = number * 10 + (buffer[position] & 0xFF) - '0';
  }
  return static_cast<int32_t>(number & 0xFFFF);
}

void ReadPortConfiguration(DriverState& ds) {
  for (int32_t k = 0; k < ds.PortCount; ++k) {
    const std::u16string number = to_utf16(std::to_string(k + 1));
    const std::u16string start = to_utf16(layout::kStartNum) + number;
    const std::u16string address = to_utf16(layout::kDAddress) + number;
    uint32_t start_num = layout::kDriverStartNumDefault;
    uint32_t d_address = layout::kDriverDAddressDefault;
    RegistryQueryEntry table[] = {
        {.kind = RegistryQueryEntry::Kind::Subkey, .name = kPortService},
        {.kind = RegistryQueryEntry::Kind::Direct,
         .name = start,
         .target = &start_num,
         .default_value = layout::kDriverStartNumDefault},
        {.kind = RegistryQueryEntry::Kind::Direct,
         .name = address,
         .target = &d_address,
         .default_value = layout::kDriverDAddressDefault},
    };
    (void)ds.kernel->query_registry_values(RegistryRelativeTo::RTL_REGISTRY_ABSOLUTE,
                                           view(ds.ServicesPath), table);
    ds.RemotePort[k] = static_cast<int32_t>(start_num) - 1;
    ds.ServerIp[k] = d_address;
  }
}

}  // namespace velto::portdriver

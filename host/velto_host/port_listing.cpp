// Builds velto-host's port table from the kernel's namespace and the
// store's SERIALCOMM key.
#include "host/velto_host/port_listing.h"

#include <fmt/core.h>
#include <algorithm>
#include <map>

#include "common/store_layout.h"
#include "platform/kernel/rtl.h"

namespace velto::host {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\Device\\vcserial";

// The DOS names of each device, found by following every link once.
std::map<std::u16string, std::u16string> dos_names_by_target(platform::KernelBase& kernel) {
  std::map<std::u16string, std::u16string> names;
  for (const auto& link : kernel.symbolic_links()) names[kernel.lookup(link).target] = link;
  return names;
}

}  // namespace

std::vector<std::string> list_ports(platform::KernelBase& kernel, platform::DRIVER_OBJECT& driver,
                                    const store::Store& registry) {
  const auto dos_names = dos_names_by_target(kernel);
  std::map<unsigned long, std::string> lines;  // by port index
  for (auto* device = driver.DeviceObject; device; device = device->NextDevice) {
    if (!device->name.starts_with(kDevicePrefix)) continue;
    const std::string name = platform::to_utf8(device->name);
    const std::string value_name = name.substr(8);  // after "\Device\"
    auto dos = dos_names.find(device->name);
    auto serial = registry.get_value(
        std::string(layout::kMachinePrefix) + std::string(layout::kSerialCommKey), value_name);
    lines[std::stoul(name.substr(kDevicePrefix.size()))] = fmt::format(
        "{:<20} {:<20} {}", name, dos == dos_names.end() ? "-" : platform::to_utf8(dos->second),
        serial ? store::Store::as_text(*serial) : "-");
  }
  std::vector<std::string> out;
  for (auto& [index, line] : lines) out.push_back(std::move(line));
  return out;
}

}  // namespace velto::host

// The configuration store's layout: every key path, value name, value type and
// default that the deliverables share. The drivers, the tools and the host all
// take these names from here, so a value is spelled in exactly one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velto::layout {

// Value types, with the registry's numbering, because exported text and the
// stored rows carry these numbers.
enum class ValueType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
};

// Key paths below HKEY_LOCAL_MACHINE. User-mode code addresses them as
// "HKLM\<path>", kernel-mode code as "\REGISTRY\MACHINE\<path>".
inline constexpr std::string_view kHklmPrefix = "HKLM\\";
inline constexpr std::string_view kMachinePrefix = "\\REGISTRY\\MACHINE\\";

inline constexpr std::string_view kServicesPath = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr std::string_view kPortServiceName = "VELTOPORT";
inline constexpr std::string_view kPortServiceKey =
    "SYSTEM\\CurrentControlSet\\Services\\VELTOPORT";
inline constexpr std::string_view kIopParametersKey =
    "SYSTEM\\CurrentControlSet\\Services\\VELTOIOP\\Parameters";
inline constexpr std::string_view kFirstChildParametersKey =
    "SYSTEM\\CurrentControlSet\\Enum\\ZANIV\\VELTOIOP\\00000000\\Device Parameters";
inline constexpr std::string_view kDeviceMapKey = "HARDWARE\\DEVICEMAP";
inline constexpr std::string_view kSerialCommName = "SERIALCOMM";
inline constexpr std::string_view kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Value names of the port service key.
inline constexpr std::string_view kMaxPort = "MaxPort";
inline constexpr std::string_view kStartNum = "StartNum";  // stem; also the VELTOIOP value
inline constexpr std::string_view kDAddress = "dAddress";  // stem
inline constexpr std::string_view kPortIp = "PortIp";      // stem
inline constexpr std::string_view kChkFlag = "ChkFlag";
// Value of the first child port device's parameters key.
inline constexpr std::string_view kPortName = "PortName";
// Value of the adapter device's driver key.
inline constexpr std::string_view kZanivDevice = "ZANIVDEVICE";

// Defaults and limits.
inline constexpr uint32_t kMaxPortDefault = 8;
inline constexpr uint32_t kPortTableSize = 256;        // every per-port driver table
inline constexpr uint32_t kToolPortLimit = 64;         // ports the configuration tool handles
inline constexpr uint32_t kDriverStartNumDefault = 3;  // port driver, "StartNum%d" absent
inline constexpr uint32_t kDriverDAddressDefault = 3;  // port driver, "dAddress%d" absent
inline constexpr uint32_t kToolStartNumDefault = 0;
inline constexpr uint32_t kToolDAddressDefault = 0;
inline constexpr uint32_t kFirstComNumberDefault = 3;  // no device parameters key
inline constexpr uint32_t kIopStartNumDefault = 3;
inline constexpr uint32_t kPortIpDataBytes = 64;  // "PortIp%d" is always exactly this long
inline constexpr uint32_t kChkFlagAdapterActive = 256;

// "StartNum" + 1 gives "StartNum1": per-port names use the 1-based number in
// decimal, without sign or leading zeros.
inline std::string per_port_value_name(std::string_view stem, uint32_t number_1based) {
  return std::string(stem) + std::to_string(number_1based);
}

}  // namespace velto::layout

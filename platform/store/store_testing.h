// Helpers for tests of the store and of the programs built on it: the port
// service key, data in its stored layouts, and whole files read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/store_layout.h"
#include "platform/store/store.h"

namespace velto::store::testing {

inline const std::string kPortKey =
    std::string(layout::kHklmPrefix) + std::string(layout::kPortServiceKey);

inline std::vector<uint8_t> bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

// "PortIp%d" data: the text, then NULs up to 64 bytes.
inline std::vector<uint8_t> port_ip_data(std::string_view ip) {
  std::vector<uint8_t> data(layout::kPortIpDataBytes, 0);
  std::copy(ip.begin(), ip.end(), data.begin());
  return data;
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace velto::store::testing

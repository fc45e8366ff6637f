// Result codes of every kernel operation and driver routine. They are values,
// not exceptions: NTSTATUS is [[nodiscard]], so a caller either handles a
// result or says in the code that it ignores it.
#pragma once

#include <cstdint>

namespace velto::platform {

enum class [[nodiscard]] NTSTATUS : uint32_t{};

constexpr NTSTATUS make_status(uint32_t v) {
  return static_cast<NTSTATUS>(v);
}
constexpr uint32_t status_code(NTSTATUS s) {
  return static_cast<uint32_t>(s);
}
// Success and informational codes have the top bit clear.
constexpr bool NT_SUCCESS(NTSTATUS s) {
  return static_cast<int32_t>(status_code(s)) >= 0;
}

inline constexpr NTSTATUS STATUS_SUCCESS = make_status(0x00000000);
inline constexpr NTSTATUS STATUS_TIMEOUT = make_status(0x00000102);
inline constexpr NTSTATUS STATUS_PENDING = make_status(0x00000103);
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = make_status(0x80000005);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = make_status(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = make_status(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = make_status(0xC000000D);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = make_status(0xC0000010);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = make_status(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = make_status(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = make_status(0xC0000024);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = make_status(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = make_status(0xC0000035);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = make_status(0xC000009A);
inline constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = make_status(0xC0000103);
inline constexpr NTSTATUS STATUS_FILES_OPEN = make_status(0xC0000107);
inline constexpr NTSTATUS STATUS_CANCELLED = make_status(0xC0000120);
inline constexpr NTSTATUS STATUS_SERIAL_NO_DEVICE_INITED = make_status(0xC0000150);
inline constexpr NTSTATUS STATUS_DEVICE_CONFIGURATION_ERROR = make_status(0xC0000182);
inline constexpr NTSTATUS STATUS_ADDRESS_ALREADY_EXISTS = make_status(0xC000020A);
inline constexpr NTSTATUS STATUS_CONNECTION_REFUSED = make_status(0xC0000236);
inline constexpr NTSTATUS STATUS_NETWORK_UNREACHABLE = make_status(0xC000023C);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = make_status(0xC0000056);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = make_status(0xC000000E);

}  // namespace velto::platform

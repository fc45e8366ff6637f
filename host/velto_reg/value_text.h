// Text forms of value data, shared by every velto-reg command: what `set`
// accepts on the command line, what `get` and `list` print, and the hex byte
// lists that registry text uses. Bad text from the user is a RegError with a
// one-line message, never a crash or a silently changed value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/store.h"

namespace velto::reg {

using store::Value;
using store::ValueType;

// Bad input from the user: a command-line argument or registry text.
class RegError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// REG_DWORD, REG_SZ, REG_BINARY or REG_MULTI_SZ, in any case.
ValueType parse_set_type(std::string_view name);
// DATA of `set` as raw bytes: DWORD decimal or 0x-hex within 32 bits; SZ as
// text + NUL; BINARY as hex bytes ("01,02,ff" or "0102ff"); MULTI_SZ as
// strings separated by the two characters \0.
std::vector<uint8_t> parse_set_data(ValueType type, std::string_view text);
// Hex digits (any number, "" refused) of a value within 32 bits.
std::optional<uint32_t> parse_hex_u32(std::string_view digits);
// "0102ff" or "01, 02,ff" (items of one or two hex digits); "" is no bytes.
// `what` names the data in messages.
std::vector<uint8_t> parse_hex_bytes(std::string_view text, std::string_view what);

// "REG_DWORD" and the like; "REG_TYPE(11)" for types without a name here.
std::string type_name(ValueType type);
// "01,02,ff".
std::string hex_bytes(std::span<const uint8_t> data);
// The strings of a MULTI_SZ, up to the empty string that ends the list.
std::vector<std::string> multi_sz_strings(std::span<const uint8_t> data);
// Data as `get` prints it: DWORD "0x00000004 (4)", SZ and EXPAND_SZ as text,
// MULTI_SZ one string per line, everything else as hex bytes.
std::string format_for_get(const Value& v);
// The same on one line: MULTI_SZ strings joined by \0, as `set` takes them.
std::string format_for_list(const Value& v);

}  // namespace velto::reg

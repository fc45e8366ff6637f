// Parsing and printing of value data for the command line. The forms are
// chosen so that what `list` prints for a value can be given back to `set`
// (\0 between MULTI_SZ strings, comma-separated hex bytes).
#include "host/velto_reg/value_text.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace velto::reg {
namespace {

constexpr std::string_view kMultiSzSeparator = "\\0";

std::optional<uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Digits in base 10 or 16; nullopt for an empty string, another character or
// a value above 32 bits.
std::optional<uint32_t> parse_digits(std::string_view digits, uint32_t base) {
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    const std::optional<uint8_t> d = hex_digit(c);
    if (!d || *d >= base) return std::nullopt;
    v = v * base + *d;
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

std::vector<uint8_t> parse_dword(std::string_view text) {
  const bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = hex ? text.substr(2) : text;
  const std::string_view allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string_view::npos) {
    throw RegError(
        fmt::format("bad REG_DWORD data \"{}\": expected a decimal or 0x-hex number", text));
  }
  const std::optional<uint32_t> v = parse_digits(digits, hex ? 16 : 10);
  if (!v) throw RegError(fmt::format("REG_DWORD data \"{}\" does not fit in 32 bits", text));
  return store::Store::dword_data(*v);
}

// One trailing separator is taken as the end of the list, not as an empty
// string; an empty string inside would end the list early for every reader.
std::vector<uint8_t> parse_multi_sz(std::string_view text) {
  const RegError empty_string("bad REG_MULTI_SZ data: an empty string would end the list");
  std::vector<uint8_t> data;
  if (text.ends_with(kMultiSzSeparator)) text.remove_suffix(kMultiSzSeparator.size());
  while (!text.empty()) {
    const size_t cut = text.find(kMultiSzSeparator);
    const std::string_view s = text.substr(0, cut);
    if (s.empty()) throw empty_string;
    data.insert(data.end(), s.begin(), s.end());
    data.push_back(0);
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + kMultiSzSeparator.size());
    if (text.empty()) throw empty_string;
  }
  data.push_back(0);
  return data;
}

// Bad data is quoted in messages, shortened so the message stays one
// readable line.
std::string shorten(std::string_view text) {
  constexpr size_t kMaxQuoted = 40;
  if (text.size() <= kMaxQuoted) return std::string(text);
  return std::string(text.substr(0, kMaxQuoted)) + "...";
}

}  // namespace

std::optional<uint32_t> parse_hex_u32(std::string_view digits) {
  return parse_digits(digits, 16);
}

ValueType parse_set_type(std::string_view name) {
  const std::string n = upper(name);
  if (n == "REG_DWORD") return ValueType::REG_DWORD;
  if (n == "REG_SZ") return ValueType::REG_SZ;
  if (n == "REG_BINARY") return ValueType::REG_BINARY;
  if (n == "REG_MULTI_SZ") return ValueType::REG_MULTI_SZ;
  throw RegError(fmt::format(
      "unknown type \"{}\": expected REG_DWORD, REG_SZ, REG_BINARY or REG_MULTI_SZ", name));
}

std::vector<uint8_t> parse_set_data(ValueType type, std::string_view text) {
  switch (type) {
    case ValueType::REG_DWORD:
      return parse_dword(text);
    case ValueType::REG_SZ:
      return store::Store::sz_data(text);
    case ValueType::REG_BINARY:
      return parse_hex_bytes(text, "REG_BINARY data");
    case ValueType::REG_MULTI_SZ:
      return parse_multi_sz(text);
    default:
      throw RegError(fmt::format("type {} cannot be set from the command line", type_name(type)));
  }
}

std::vector<uint8_t> parse_hex_bytes(std::string_view text, std::string_view what) {
  const std::string_view whole = text;
  const auto bad = [&](std::string_view why) {
    return RegError(fmt::format("bad {} \"{}\": {}", what, shorten(whole), why));
  };
  std::vector<uint8_t> data;
  if (trim(text).empty()) return data;
  if (text.find(',') == std::string_view::npos) {
    if (text.size() % 2 != 0) throw bad("an odd number of hex digits");
    for (size_t i = 0; i < text.size(); i += 2) {
      const auto v = parse_digits(text.substr(i, 2), 16);
      if (!v) throw bad("expected hex digits");
      data.push_back(static_cast<uint8_t>(*v));
    }
    return data;
  }
  for (;;) {
    const size_t cut = text.find(',');
    const std::string_view item = trim(text.substr(0, cut));
    const auto v = item.size() <= 2 ? parse_digits(item, 16) : std::nullopt;
    if (!v) throw bad(item.empty() ? "an empty byte" : "expected bytes of two hex digits");
    data.push_back(static_cast<uint8_t>(*v));
    if (cut == std::string_view::npos) return data;
    text.remove_prefix(cut + 1);
  }
}

std::string type_name(ValueType type) {
  switch (type) {
    case ValueType::REG_NONE:
      return "REG_NONE";
    case ValueType::REG_SZ:
      return "REG_SZ";
    case ValueType::REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case ValueType::REG_BINARY:
      return "REG_BINARY";
    case ValueType::REG_DWORD:
      return "REG_DWORD";
    case ValueType::REG_MULTI_SZ:
      return "REG_MULTI_SZ";
  }
  return fmt::format("REG_TYPE({})", static_cast<uint32_t>(type));
}

std::string hex_bytes(std::span<const uint8_t> data) {
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) out += ',';
    out += fmt::format("{:02x}", data[i]);
  }
  return out;
}

std::vector<std::string> multi_sz_strings(std::span<const uint8_t> data) {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = start;
    while (end < data.size() && data[end] != 0) ++end;
    if (end == start) break;  // the empty string ends the list
    strings.emplace_back(data.begin() + start, data.begin() + end);
    start = end + 1;
  }
  return strings;
}

std::string format_for_get(const Value& v) {
  if (const std::optional<uint32_t> d = store::Store::as_dword(v)) {
    return fmt::format("0x{:08x} ({})", *d, *d);
  }
  if (v.type == ValueType::REG_SZ || v.type == ValueType::REG_EXPAND_SZ) {
    return store::Store::as_text(v);
  }
  if (v.type == ValueType::REG_MULTI_SZ)
    return fmt::format("{}", fmt::join(multi_sz_strings(v.data), "\n"));
  return hex_bytes(v.data);
}

std::string format_for_list(const Value& v) {
  if (v.type == ValueType::REG_MULTI_SZ) {
    return fmt::format("{}", fmt::join(multi_sz_strings(v.data), kMultiSzSeparator));
  }
  return format_for_get(v);
}

}  // namespace velto::reg

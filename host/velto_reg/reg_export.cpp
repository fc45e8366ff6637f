// Writes registry text. Values whose data the quoted or dword: forms cannot
// carry exactly are written as hex(N): bytes, so import restores them
// byte-exact: a REG_SZ holding anything but "text\0" (a 64-byte PortIp padded
// with NULs, text with a line break, no NUL at all) goes out as hex(1):.
#include <fmt/format.h>

#include "host/velto_reg/reg_file.h"

namespace velto::reg {
namespace {

using store::Store;

// Hex lines are cut after the comma that passes this column and go on,
// indented by two spaces, after a backslash, as the usual registry tools do.
constexpr size_t kWrapColumn = 76;

bool has_line_break(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string escaped_quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// True when data is exactly text + NUL, with no NUL and no line break inside.
bool is_plain_text(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
  return text.find('\0') == std::string_view::npos && !has_line_break(text);
}

void append_hex(std::string& out, size_t column, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); ++i) {
    out += fmt::format("{:02x}", data[i]);
    column += 2;
    if (i + 1 == data.size()) return;
    out += ',';
    ++column;
    if (column >= kWrapColumn) {
      out += "\\\n  ";
      column = 2;
    }
  }
}

void append_value(std::string& out, const std::string& key_path, const store::Value& v) {
  if (has_line_break(v.name)) {
    throw RegError(fmt::format("value {} of key {} cannot be exported: its name holds a line break",
                               escaped_quoted(v.name), key_path));
  }
  const size_t line_start = out.size();
  out += v.name.empty() ? "@=" : escaped_quoted(v.name) + "=";
  if (v.type == store::ValueType::REG_SZ && is_plain_text(v.data)) {
    out += escaped_quoted(Store::as_text(v));
  } else if (const std::optional<uint32_t> d = Store::as_dword(v)) {
    out += fmt::format("dword:{:08x}", *d);
  } else {
    out += v.type == store::ValueType::REG_BINARY
               ? "hex:"
               : fmt::format("hex({:x}):", static_cast<uint32_t>(v.type));
    append_hex(out, out.size() - line_start, v.data);
  }
  out += '\n';
}

// path is below HKLM with names as stored; "" is HKLM itself.
void append_key(std::string& out, const Store& store, const std::string& path) {
  const std::string full = path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + path;
  if (has_line_break(path)) {
    throw RegError(fmt::format("key \"{}\" cannot be exported: its name holds a line break", full));
  }
  const std::string address = "HKLM\\" + path;
  out += "[" + full + "]\n";
  for (const store::Value& v : store.list_values(address)) append_value(out, full, v);
  out += '\n';
  // Depth is bounded by the store's key depth limit.
  for (const std::string& sub : store.list_subkeys(address)) {
    std::string child = path;
    if (!child.empty()) child += '\\';
    child += sub;
    append_key(out, store, child);
  }
}

}  // namespace

std::string export_reg(const Store& store, std::string_view key) {
  const std::optional<std::string> path = store.stored_key_path(key);
  if (!path) throw RegError(fmt::format("key not found: {}", key));
  std::string out = std::string(kRegFileHeader) + "\n\n";
  append_key(out, store, *path);
  return out;
}

}  // namespace velto::reg

// Reads registry text and applies it. Parsing finishes before the store is
// touched, and the changes then run in one transaction, so a bad line late in
// a file, or a value the store refuses, leaves the store exactly as it was.
// Accepted: LF or CRLF line ends, a UTF-8 byte order mark, ; comments, blank
// lines, and hex lists continued over lines with a trailing backslash.
#include <fmt/format.h>

#include "host/velto_reg/reg_file.h"

namespace velto::reg {
namespace {

// One line after continuations are joined; number is where it started.
struct Line {
  size_t number = 0;
  std::string text;
};

struct Op {
  enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = Kind::kCreateKey;
  size_t line = 0;
  std::string key;  // a path that parse_key_path accepted
  std::string name;
  ValueType type = ValueType::REG_NONE;
  std::vector<uint8_t> data;
};

[[noreturn]] void fail(size_t line, std::string_view why) {
  throw RegError(fmt::format("line {}: {}", line, why));
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Only value lines continue; a key line or a comment ending in a backslash
// is taken as it is.
bool continues(std::string_view joined) {
  const std::string_view s = trim(joined);
  return !s.empty() && (s.front() == '"' || s.front() == '@') && s.back() == '\\';
}

std::vector<Line> logical_lines(std::string_view text) {
  std::vector<Line> lines;
  bool continuing = false;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (raw.ends_with('\r')) raw.remove_suffix(1);
    if (continuing) {
      lines.back().text += trim(raw);
    } else {
      lines.push_back({number, std::string(trim(raw))});
    }
    continuing = continues(lines.back().text);
    if (continuing) lines.back().text.pop_back();
  }
  if (continuing) fail(lines.back().number, "the text ends inside a continued line");
  return lines;
}

// s[pos] is the opening quote; on return pos is just past the closing one.
std::string parse_quoted(size_t line, std::string_view s, size_t& pos) {
  std::string out;
  for (++pos; pos < s.size(); ++pos) {
    const char c = s[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (pos + 1 == s.size() || (s[pos + 1] != '\\' && s[pos + 1] != '"')) {
        fail(line, "a backslash in quotes must be followed by \\ or \"");
      }
      ++pos;
    }
    out += s[pos];
  }
  fail(line, "a quoted string has no closing quote");
}

Op parse_section(size_t line, std::string_view s) {
  if (s.back() != ']') fail(line, "a key line must end with ]");
  std::string_view path = s.substr(1, s.size() - 2);
  const bool remove = path.starts_with('-');
  if (remove) path.remove_prefix(1);
  std::vector<std::string> names;
  try {
    names = store::parse_key_path(path);
  } catch (const store::StoreError& e) {
    fail(line, e.what());
  }
  if (remove && names.empty()) fail(line, "HKEY_LOCAL_MACHINE itself cannot be deleted");
  Op op;
  op.kind = remove ? Op::Kind::kDeleteKey : Op::Kind::kCreateKey;
  op.line = line;
  op.key = path;
  return op;
}

void parse_hex_data(size_t line, std::string_view data, Op& op) {
  std::string_view bytes;
  if (data.starts_with("hex:")) {
    op.type = ValueType::REG_BINARY;
    bytes = data.substr(4);
  } else if (data.starts_with("hex(")) {
    const size_t close = data.find("):");
    const auto type =
        close == std::string_view::npos ? std::nullopt : parse_hex_u32(data.substr(4, close - 4));
    if (!type) fail(line, "hex(N): needs a hex type number N of up to 32 bits");
    op.type = static_cast<ValueType>(*type);
    bytes = data.substr(close + 2);
  } else {
    fail(line, "unknown value data; expected \"text\", dword:, hex:, hex(N): or -");
  }
  try {
    op.data = parse_hex_bytes(bytes, "hex data");
  } catch (const RegError& e) {
    fail(line, e.what());
  }
}

Op parse_value(size_t line, const std::string& key, std::string_view s) {
  Op op;
  op.kind = Op::Kind::kSetValue;
  op.line = line;
  op.key = key;
  size_t pos = 0;
  if (s.front() == '@') {
    pos = 1;
  } else {
    op.name = parse_quoted(line, s, pos);
  }
  const std::string_view rest = trim(s.substr(pos));
  if (!rest.starts_with('=')) fail(line, "expected = after the value name");
  const std::string_view data = trim(rest.substr(1));
  if (data == "-") {
    op.kind = Op::Kind::kDeleteValue;
  } else if (data.starts_with('"')) {
    size_t end = 0;
    const std::string text = parse_quoted(line, data, end);
    if (end != data.size()) fail(line, "unexpected text after the closing quote");
    op.type = ValueType::REG_SZ;
    op.data = store::Store::sz_data(text);
  } else if (data.starts_with("dword:")) {
    const std::string_view digits = data.substr(6);
    const auto v = digits.size() <= 8 ? parse_hex_u32(digits) : std::nullopt;
    if (!v) fail(line, "dword: needs one to eight hex digits");
    op.type = ValueType::REG_DWORD;
    op.data = store::Store::dword_data(*v);
  } else {
    parse_hex_data(line, data, op);
  }
  return op;
}

std::vector<Op> parse(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const std::vector<Line> lines = logical_lines(text);
  if (lines.empty() || lines[0].text != kRegFileHeader) {
    fail(1, fmt::format("the text must start with \"{}\"", kRegFileHeader));
  }
  std::vector<Op> ops;
  std::optional<std::string> key;  // the open section; none after [-KEY]
  for (size_t i = 1; i < lines.size(); ++i) {
    const Line& line = lines[i];
    const std::string_view s = line.text;
    if (s.empty() || s.front() == ';') continue;
    if (s.front() == '[') {
      ops.push_back(parse_section(line.number, s));
      key = ops.back().kind == Op::Kind::kCreateKey ? std::optional(ops.back().key) : std::nullopt;
      continue;
    }
    if (s.front() != '"' && s.front() != '@') fail(line.number, "expected [KEY], \"Name\"= or @=");
    if (!key) fail(line.number, "a value line outside a key section");
    ops.push_back(parse_value(line.number, *key, s));
  }
  return ops;
}

void apply(store::Store& store, const Op& op) {
  switch (op.kind) {
    case Op::Kind::kCreateKey:
      store.create_key(op.key);
      return;
    case Op::Kind::kDeleteKey:
      store.delete_key(op.key);
      return;
    case Op::Kind::kSetValue:
      store.set_value(op.key, op.name, op.type, op.data);
      return;
    case Op::Kind::kDeleteValue:
      store.delete_value(op.key, op.name);
      return;
  }
}

}  // namespace

void import_reg(store::Store& store, std::string_view text) {
  const std::vector<Op> ops = parse(text);
  store.transaction([&] {
    for (const Op& op : ops) {
      try {
        apply(store, op);
      } catch (const store::StoreError& e) {
        fail(op.line, e.what());  // thrown inside: the transaction rolls back
      }
    }
  });
}

}  // namespace velto::reg

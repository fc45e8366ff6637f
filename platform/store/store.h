// The configuration store: a registry of keys and typed values kept in one
// SQLite file. Key names are case-insensitive and keep the case they were
// created with; values keep their type and their raw data bytes exactly as
// written. Several processes (the host and the tools) may share one file:
// every write is one transaction, and readers wait out writers.
//
// Keys are addressed by full path, either "HKLM\SYSTEM\..." or
// "\REGISTRY\MACHINE\SYSTEM\..." (the same key); a trailing backslash is
// ignored. REG_SZ data is 8-bit text as written, its NUL counted in the length.
// Names, depth and data sizes are bounded (see the limits below) so that one
// bad writer cannot grow a row or a walk without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/store_layout.h"

namespace velto::store {

using layout::ValueType;

// Raised for a file that cannot be opened, is damaged or is not a store, for
// I/O failures, for a bad key path and for a name or data over the limits.
// Missing keys and values are not errors: they are empty optionals or false
// results.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Limits, checked on every write. Key names and value names follow the usual
// registry limits; the data limit is far above anything this system stores.
inline constexpr size_t kMaxKeyNameBytes = 255;
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxValueNameBytes = 16383;
inline constexpr size_t kMaxValueDataBytes = size_t{1} << 20;

// Splits a key path into its names below HKLM ({} for HKLM itself). Accepts
// "HKLM", "HKEY_LOCAL_MACHINE" and "\REGISTRY\MACHINE" as the root, in any
// case. Throws StoreError("bad key path ...") for anything else.
std::vector<std::string> parse_key_path(std::string_view key);

struct Value {
  std::string name;  // as created; "" is the key's default value
  ValueType type = ValueType::REG_NONE;
  std::vector<uint8_t> data;
};

class Store {
 public:
  // Opens or creates the store at path (":memory:" for a private in-memory
  // store). Creates missing parent folders. Throws StoreError.
  static Store open(const std::filesystem::path& path);

  Store(Store&&) noexcept;
  Store& operator=(Store&&) noexcept;
  ~Store();

  bool key_exists(std::string_view key) const;
  // Creates the key and its missing ancestors; true if it exists afterwards.
  bool create_key(std::string_view key);
  // Deletes the key with its subkeys and values; false if it did not exist.
  // HKLM itself cannot be deleted (StoreError).
  bool delete_key(std::string_view key);
  // Subkey names of key in the case they were created with, ordered by their
  // case-folded names; empty when the key does not exist.
  std::vector<std::string> list_subkeys(std::string_view key) const;
  // The key's path below HKLM with every name in the case it was created
  // with ("" for HKLM itself); nullopt when the key does not exist.
  std::optional<std::string> stored_key_path(std::string_view key) const;

  std::optional<Value> get_value(std::string_view key, std::string_view name) const;
  // Creates the key when missing, and replaces a value of the same name.
  void set_value(std::string_view key, std::string_view name, ValueType type,
                 std::vector<uint8_t> data);
  bool delete_value(std::string_view key, std::string_view name);
  // Values of key ordered by their case-folded names; empty when the key does
  // not exist.
  std::vector<Value> list_values(std::string_view key) const;

  // Runs fn inside one write transaction: all of its writes land, or none
  // (fn throwing rolls back). Nested calls join the outer transaction.
  template <typename Fn>
  void transaction(Fn&& fn);

  // Data helpers for the common layouts.
  static std::vector<uint8_t> dword_data(uint32_t v);          // 4 bytes, little-endian
  static std::vector<uint8_t> sz_data(std::string_view text);  // text + NUL
  static std::optional<uint32_t> as_dword(const Value& v);     // REG_DWORD of 4 bytes
  static std::string as_text(const Value& v);                  // up to the first NUL

 private:
  struct Impl;
  explicit Store(std::unique_ptr<Impl> impl);
  void begin_write();
  void commit_write();
  void rollback_write() noexcept;
  std::unique_ptr<Impl> impl_;
};

template <typename Fn>
void Store::transaction(Fn&& fn) {
  begin_write();
  try {
    fn();
  } catch (...) {
    rollback_write();
    throw;
  }
  commit_write();
}

// Where the store lives when neither --store nor VELTO_STORE names it:
// $XDG_DATA_HOME/velto/store.db, or ~/.local/share/velto/store.db.
std::filesystem::path default_store_path();
// --store wins over VELTO_STORE, which wins over the default.
std::filesystem::path resolve_store_path(const std::optional<std::string>& option);

}  // namespace velto::store

// Key path syntax and the store's location. Kernel-side code names keys
// "\REGISTRY\MACHINE\...", user-side code and people "HKLM\..." or
// "HKEY_LOCAL_MACHINE\..."; all three reach the same tree. Anything else is
// refused here, once, so the store never holds an empty or oversized name.
#include <cstdlib>

#include "platform/store/store.h"

namespace velto::store {
namespace {

constexpr std::string_view kRoots[] = {"HKLM", "HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"};

bool starts_with_folded(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(s[i]) != lower(prefix[i])) return false;
  }
  return true;
}

[[noreturn]] void bad_path(std::string_view key, std::string_view why) {
  throw StoreError("bad key path \"" + std::string(key) + "\": " + std::string(why));
}

// What follows the root, without the separator after the root; nullopt when
// no root matches. The root must end at a separator or at the end.
std::optional<std::string_view> strip_root(std::string_view key) {
  for (const std::string_view root : kRoots) {
    if (!starts_with_folded(key, root)) continue;
    const std::string_view rest = key.substr(root.size());
    if (rest.empty()) return rest;
    if (rest.front() == '\\') return rest.substr(1);
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> parse_key_path(std::string_view key) {
  std::optional<std::string_view> rest = strip_root(key);
  if (!rest) bad_path(key, "it must start with HKLM\\ or \\REGISTRY\\MACHINE\\");
  std::string_view names = *rest;
  if (names.empty()) return {};
  if (names.back() == '\\') names.remove_suffix(1);
  std::vector<std::string> parts;
  for (;;) {
    const size_t cut = names.find('\\');
    const std::string_view name = names.substr(0, cut);
    if (name.empty()) bad_path(key, "it has an empty name");
    if (name.size() > kMaxKeyNameBytes) bad_path(key, "a name is longer than 255 bytes");
    if (parts.size() == kMaxKeyDepth) bad_path(key, "it is deeper than 512 keys");
    parts.emplace_back(name);
    if (cut == std::string_view::npos) return parts;
    names.remove_prefix(cut + 1);
  }
}

std::filesystem::path default_store_path() {
  // Relative XDG paths are to be ignored, as if unset.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "velto" / "store.db";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::filesystem::path(home) / ".local" / "share" / "velto" / "store.db";
  }
  throw StoreError("no place for the store: neither XDG_DATA_HOME nor HOME is set");
}

std::filesystem::path resolve_store_path(const std::optional<std::string>& option) {
  if (option && !option->empty()) return *option;
  const char* env = std::getenv("VELTO_STORE");
  if (env != nullptr && env[0] != '\0') return env;
  return default_store_path();
}

}  // namespace velto::store

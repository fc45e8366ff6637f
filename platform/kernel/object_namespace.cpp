// Named devices and symbolic links, compared without regard to ASCII case.
#include "platform/kernel/object_namespace.h"

namespace velto::platform {

std::u16string ObjectNamespace::fold(std::u16string_view name) {
  std::u16string folded(name);
  for (auto& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return folded;
}

bool ObjectNamespace::insert_device(std::u16string_view name, DEVICE_OBJECT* device) {
  Entry e{Entry::Kind::kDevice, std::u16string(name), device, {}};
  return entries_.emplace(fold(name), std::move(e)).second;
}

bool ObjectNamespace::insert_link(std::u16string_view name, std::u16string_view target) {
  Entry e{Entry::Kind::kSymbolicLink, std::u16string(name), nullptr, std::u16string(target)};
  return entries_.emplace(fold(name), std::move(e)).second;
}

bool ObjectNamespace::remove(std::u16string_view name, Entry::Kind kind) {
  auto it = entries_.find(fold(name));
  if (it == entries_.end() || it->second.kind != kind) return false;
  entries_.erase(it);
  return true;
}

ObjectNamespace::Entry ObjectNamespace::lookup(std::u16string_view name) const {
  auto it = entries_.find(fold(name));
  return it == entries_.end() ? Entry{} : it->second;
}

DEVICE_OBJECT* ObjectNamespace::resolve_device(std::u16string_view name) const {
  std::u16string current(name);
  // Links to links are legal but short; a cycle must not hang a lookup.
  for (int hop = 0; hop < 8; ++hop) {
    Entry e = lookup(current);
    if (e.kind == Entry::Kind::kDevice) return e.device;
    if (e.kind != Entry::Kind::kSymbolicLink) return nullptr;
    current = e.target;
  }
  return nullptr;
}

std::vector<std::u16string> ObjectNamespace::names_of(Entry::Kind kind) const {
  std::vector<std::u16string> names;
  for (const auto& [key, e] : entries_) {
    if (e.kind == kind) names.push_back(e.name);
  }
  return names;
}

}  // namespace velto::platform

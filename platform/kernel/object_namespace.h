// The object namespace: named devices ("\Device\vcserial0") and symbolic
// links ("\DosDevices\COM5") to them. Names compare without regard to ASCII
// case. The namespace is a plain record; the kernel that owns it locks it.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velto::platform {

struct DEVICE_OBJECT;

class ObjectNamespace {
 public:
  struct Entry {
    enum class Kind { kNone, kDevice, kSymbolicLink };
    Kind kind = Kind::kNone;
    std::u16string name;  // as created
    DEVICE_OBJECT* device = nullptr;
    std::u16string target;  // of a link
  };

  // False when the name is taken.
  bool insert_device(std::u16string_view name, DEVICE_OBJECT* device);
  bool insert_link(std::u16string_view name, std::u16string_view target);
  // False when there is no such entry of that kind.
  bool remove(std::u16string_view name, Entry::Kind kind);
  Entry lookup(std::u16string_view name) const;
  // Follows links (at most a few hops) to a device.
  DEVICE_OBJECT* resolve_device(std::u16string_view name) const;
  std::vector<std::u16string> names_of(Entry::Kind kind) const;

 private:
  static std::u16string fold(std::u16string_view name);
  std::map<std::u16string, Entry> entries_;  // by folded name
};

}  // namespace velto::platform

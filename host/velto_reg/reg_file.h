// Registry text ("Windows Registry Editor Version 5.00" files): export of a
// key with everything below it, and import of such text into the store. The
// pair is lossless: every value, of any type and with any bytes, comes back
// byte-exact, and every key, empty ones included, comes back.
#pragma once

#include <string>
#include <string_view>

#include "host/velto_reg/value_text.h"
#include "platform/store/store.h"

namespace velto::reg {

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

// Text for key and every key below it (the whole store for "HKLM"), parents
// before their subkeys, subkeys in name order. Throws RegError when the key
// does not exist or holds a name with a line break, which the text cannot
// carry.
std::string export_reg(const store::Store& store, std::string_view key);

// Applies registry text: [KEY] creates a key, [-KEY] deletes one with its
// subtree, "Name"=... sets a value, "Name"=- deletes one, @ is the default
// value. The whole text is checked first and then applied in one
// transaction, so any error leaves the store as it was. Throws RegError
// ("line N: ...") for bad text and for values the store refuses.
void import_reg(store::Store& store, std::string_view text);

}  // namespace velto::reg

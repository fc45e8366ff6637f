// The velto-reg command line: parsing of the arguments, one handler per
// command, and the mapping of every failure to a one-line message and an
// exit status. main() only forwards to run(), so the commands can be tested
// in-process.
#pragma once

#include <iosfwd>

namespace velto::reg {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNotFound = 1;  // get: the key or the value does not exist
inline constexpr int kExitError = 2;     // bad input, anything missing elsewhere, unusable store

// Runs one velto-reg command. `in` is read by `import -`. Never throws.
int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace velto::reg

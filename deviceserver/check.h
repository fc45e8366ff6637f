// Assertions of the device server emulator: a broken invariant is a
// programmer error, so it aborts with a message, in every build. Bad input
// from the network or a user is never checked with these; it is dropped and
// counted, or refused with a result.
#pragma once

#include <cstdio>
#include <cstdlib>

#define DEVSIM_CHECK(condition, message)                                                     \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                   message);                                                                 \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

// The simulation's random numbers: xoshiro256** seeded through splitmix64.
// Written out here, rather than taken from <random>, because the standard
// distributions differ between standard libraries and a seed must replay the
// same run everywhere.
#pragma once

#include <cstdint>

namespace velto::platform::sim {

constexpr uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Random {
 public:
  explicit Random(uint64_t seed = 0) { reseed(seed); }

  void reseed(uint64_t seed) {
    uint64_t sm = seed;
    for (auto& word : s_) word = splitmix64(sm);
  }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, bound), bound > 0; the small bias of a plain modulo would
  // be harmless here, but Lemire's method costs nothing more.
  uint64_t below(uint64_t bound) {
    const unsigned __int128 m = static_cast<unsigned __int128>(next()) * bound;
    return static_cast<uint64_t>(m >> 64);
  }
  // Uniform in [lo, hi].
  int64_t between(int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo) + 1));
  }
  // True with probability p.
  bool chance(double p) {
    if (p <= 0) return false;
    return static_cast<double>(next() >> 11) * 0x1.0p-53 < p;
  }

 private:
  static constexpr uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4]{};
};

// Independent streams derived from one master seed, so that a new use of
// randomness in one stream does not disturb the others.
enum class Stream : uint64_t {
  kScheduler = 1,
  kNetwork = 2,
  kFaults = 3,
  kWorkload = 4,
  kSwarm = 5
};

inline uint64_t stream_seed(uint64_t master, Stream stream) {
  uint64_t state = master ^ (static_cast<uint64_t>(stream) * 0xD1B54A32D192ED03ull);
  return splitmix64(state);
}

}  // namespace velto::platform::sim

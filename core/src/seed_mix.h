// SplitMix64's finaliser: turns related keys (a seed and a counter) into
// seeds for random streams that are well apart.
#ifndef VORDAOPT_CORE_SEED_MIX_H_
#define VORDAOPT_CORE_SEED_MIX_H_

#include <cstdint>

namespace vordaopt {

inline uint64_t seed_mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_SEED_MIX_H_

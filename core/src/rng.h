// SeededRng: the system's one deterministic random generator.
//
// ChaCha reduced to 8 rounds, keyed from a 64-bit seed through PCG32, and read
// through a buffer of four ChaCha blocks (64 words). The same seed gives the
// same stream everywhere; the candidates the solver proposes depend on it bit
// for bit, so every draw below is part of the interface.
//
// A generator is a plain value owned by the operation that created it: each
// operation that needs randomness builds its own from a seed it derives and
// drops it when done.
#ifndef VORDAOPT_CORE_RNG_H_
#define VORDAOPT_CORE_RNG_H_

#include <array>
#include <cstdint>

namespace vordaopt {

class SeededRng {
 public:
  // Expands `seed` into the eight key words with PCG32 (XSH-RR output,
  // advancing before each output). Counter and stream start at 0.
  static SeededRng seed_from_u64(uint64_t seed);

  uint32_t next_u32();
  // Two consecutive words, the earlier one as the low half (a read may
  // straddle a refill).
  uint64_t next_u64();
  // A double in [0, 1) on a grid of 2^-53.
  double unit_f64();
  // A double in the inclusive interval [low, high], from one 64-bit draw.
  // Throws InternalError "cannot sample empty range" when not (low <= high),
  // and the NonFinite unwrap message when high - low is not finite.
  double random_range(double low, double high);
  // An index in [0, n) by widening multiplication; draws one word, rarely two.
  // REQUIRES: n >= 1 (0 is the empty range and throws as above).
  uint32_t random_range(uint32_t n);
  // A standard normal deviate by the 256-layer ziggurat method.
  double sample_normal();

  // The state, for tests.
  const std::array<uint32_t, 8>& key() const { return key_; }
  uint64_t counter() const { return counter_; }
  unsigned index() const { return index_; }

 private:
  SeededRng() = default;
  // Fills the buffer with the blocks counter .. counter + 3, advances the
  // counter by 4 and sets the read position to new_index.
  void generate_and_set(unsigned new_index);

  std::array<uint32_t, 64> buffer_{};
  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;
  uint64_t stream_ = 0;  // always 0
  unsigned index_ = 64;  // 64: the buffer is used up
};

// One 8-round ChaCha block for `key`, block number `block` and stream 0.
std::array<uint32_t, 16> chacha8_block(const std::array<uint32_t, 8>& key, uint64_t block,
                                       uint64_t stream);

// The ziggurat tables (257 entries each), exposed for tests.
const std::array<double, 257>& zig_norm_x();
const std::array<double, 257>& zig_norm_f();

}  // namespace vordaopt

#endif  // VORDAOPT_CORE_RNG_H_

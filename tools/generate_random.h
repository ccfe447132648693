// A small, fast, seedable random source for the synthetic generator.
//
// xoshiro256** seeded through splitmix64: the same seed gives the same
// sequence on every machine and compiler, which keeps generated table sets
// and episode files reproducible byte for byte.
#pragma once

#include <cstdint>
#include <vector>

namespace grouper::tools {

class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (uint64_t& word : s_) word = splitmix(seed);
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

  // Uniform in [0, n); n must be at least 1.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }
  // Uniform in [lo, hi].
  int between(int lo, int hi) { return lo + static_cast<int>(below(static_cast<uint32_t>(hi - lo + 1))); }
  // True with probability `percent` / 100.
  bool percent(uint32_t percent) { return below(100) < percent; }

  template <class T>
  const T& pick(const std::vector<T>& v) {
    return v[below(static_cast<uint32_t>(v.size()))];
  }

  template <class T>
  void shuffle(std::vector<T>& v) {
    for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[below(static_cast<uint32_t>(i))]);
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  uint64_t s_[4];
};

}  // namespace grouper::tools

#pragma once
// The fleet's random numbers: one generator per taxi and one for the dispatchers, each
// seeded from the run's seed, so the same seed plays the same day. Plain arithmetic
// on the generator's output, so the draws do not depend on the standard library.

#include <cstdint>
#include <string>
#include <vector>

namespace dorvek::fleet {

class Rng {
 public:
  // stream tells apart generators of the same seed (a taxi's number, say).
  Rng(std::uint64_t seed, std::uint64_t stream) : state_(seed * 0x9E3779B97F4A7C15ULL ^ (stream + 1) * 0xBF58476D1CE4E5B9ULL) {
    for (int i = 0; i < 4; ++i) Next();
  }

  std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  // Uniform in [low, high].
  long long Between(long long low, long long high) {
    if (high <= low) return low;
    return low + static_cast<long long>(Next() % static_cast<std::uint64_t>(high - low + 1));
  }
  double Real(double low, double high) { return low + (high - low) * Unit(); }
  bool Chance(double p) { return Unit() < p; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(Between(0, static_cast<long long>(items.size()) - 1))];
  }

 private:
  std::uint64_t state_;
};

}  // namespace dorvek::fleet

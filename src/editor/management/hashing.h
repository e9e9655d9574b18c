// Hashing of byte strings for the core's hash maps and sets.
//
// Tokens are short (mostly under 16 bytes), so a word-at-a-time multiply-mix
// hash beats a generic byte loop; boost's flat containers need a well-mixed
// hash, which the final avalanche provides.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvane {

inline std::uint64_t hash_bytes(std::string_view s) noexcept {
  constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t k2 = 0xff51afd7ed558ccdull;
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t h = k1 ^ (n * k2);
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * k2;
    h ^= h >> 32;
    p += 8;
    n -= 8;
  }
  std::uint64_t w = 0;
  if (n > 0) std::memcpy(&w, p, n);
  h = (h ^ w) * k1;
  h ^= h >> 29;
  h *= k2;
  h ^= h >> 32;
  return h;
}

inline std::uint64_t mix64(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

struct StringHash {
  using is_transparent = void;
  using is_avalanching = void;
  std::size_t operator()(std::string_view s) const noexcept { return hash_bytes(s); }
};

struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

}  // namespace quorvane

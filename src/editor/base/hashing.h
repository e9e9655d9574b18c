// Hashing of byte strings for the core's hash maps and sets.
//
// Tokens are short (mostly under 16 bytes), so a word-at-a-time multiply-mix
// hash beats a generic byte loop; boost's flat containers need a well-mixed
// hash, which the final avalanche provides.
#pragma once

#include <bit>
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

  std::size_t operator()(std::string_view s) const noexcept { return hash_bytes(s); }
};

struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

}  // namespace quorvane

namespace quorvane {

// A hash-table key for a string that lives elsewhere. Strings of up to 15
// bytes are copied into the key itself, so that comparing a probe with a
// stored key reads no memory beyond the table's own slot; longer ones keep a
// view. Tokens are mostly short: this saves a cache miss on most hits.
class ShortKey {
 public:
  ShortKey(std::string_view s) noexcept {  // NOLINT: converts implicitly on purpose
    if (s.size() <= kInline) {
      std::memset(bytes_, 0, sizeof bytes_);
      if (!s.empty()) std::memcpy(bytes_, s.data(), s.size());
      bytes_[kInline] = static_cast<char>(s.size());
    } else {
      const char* data = s.data();
      const std::uint64_t size = s.size();  // seven low bytes kept (little-endian)
      std::memcpy(bytes_, &data, sizeof data);
      std::memcpy(bytes_ + sizeof data, &size, kSizeBytes);
      bytes_[kInline] = static_cast<char>(kLong);
    }
  }

  std::string_view view() const noexcept {
    const unsigned char tag = static_cast<unsigned char>(bytes_[kInline]);
    if (tag != kLong) return {bytes_, tag};
    const char* data;
    std::uint64_t size = 0;
    std::memcpy(&data, bytes_, sizeof data);
    std::memcpy(&size, bytes_ + sizeof data, kSizeBytes);
    return {data, static_cast<std::size_t>(size)};
  }

  bool equals(std::string_view s) const noexcept {
    const unsigned char tag = static_cast<unsigned char>(bytes_[kInline]);
    if (tag != kLong) return s.size() == tag && (tag == 0 || std::memcmp(bytes_, s.data(), tag) == 0);
    return view() == s;
  }

 private:
  static constexpr std::size_t kInline = 15;
  static constexpr unsigned char kLong = 0xFF;
  static constexpr std::size_t kSizeBytes = 7;
  static_assert(sizeof(const char*) + kSizeBytes <= kInline, "a view must fit in the key");
  static_assert(std::endian::native == std::endian::little, "sizes are kept in their low bytes");
  char bytes_[kInline + 1];
};

struct ShortKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return hash_bytes(s); }
  std::size_t operator()(const ShortKey& k) const noexcept { return hash_bytes(k.view()); }
};

struct ShortKeyEq {
  using is_transparent = void;
  bool operator()(const ShortKey& a, const ShortKey& b) const noexcept { return a.equals(b.view()); }
  bool operator()(const ShortKey& a, std::string_view b) const noexcept { return a.equals(b); }
  bool operator()(std::string_view a, const ShortKey& b) const noexcept { return b.equals(a); }
};

}  // namespace quorvane

// Interning of strings as dense 32-bit symbols, for the merge index.
//
// An open-addressing table (linear probing, power-of-two size, at most half
// full) whose slots hold the key inline (ShortKey), a tag from the hash and the
// symbol. It is its own table, not a library map, for one reason: a caller that
// knows the strings it will ask for next can prefetch their slots
// (`prefetch(hash)`) and so overlap the cache misses that dominate interning a
// half-million merges.
//
// Strings are not copied: the views handed in must outlive the table.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "editor/base/hashing.h"

namespace quorvane {

class SymbolTable {
 public:
  using Symbol = std::uint32_t;

  explicit SymbolTable(std::size_t expected = 0) { reserve(expected); }

  static std::uint64_t hash(std::string_view s) noexcept { return hash_bytes(s); }

  void prefetch(std::uint64_t h) const noexcept { __builtin_prefetch(&slots_[h & mask_]); }

  // The symbol of `s`, given hash(s), or none.
  std::optional<Symbol> find(std::string_view s, std::uint64_t h) const noexcept {
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.tag == 0) return std::nullopt;
      if (slot.tag == tag_of(h) && slot.key.equals(s)) return slot.symbol;
    }
  }
  std::optional<Symbol> find(std::string_view s) const noexcept { return find(s, hash(s)); }

  // The symbol of `s`, given hash(s); a new string gets symbol size().
  Symbol intern(std::string_view s, std::uint64_t h) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.tag == 0) {
        slot = Slot{ShortKey(s), tag_of(h), static_cast<Symbol>(count_)};
        return static_cast<Symbol>(count_++);
      }
      if (slot.tag == tag_of(h) && slot.key.equals(s)) return slot.symbol;
    }
  }
  Symbol intern(std::string_view s) { return intern(s, hash(s)); }

  std::size_t size() const noexcept { return count_; }

  void reserve(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity < 2 * n + 2) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
  }

 private:
  struct Slot {
    ShortKey key{std::string_view()};
    std::uint32_t tag = 0;  // 0: empty
    Symbol symbol = 0;
  };

  static std::uint32_t tag_of(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h >> 32) | 1u; }

  void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.tag == 0) continue;
      for (std::size_t i = hash(slot.key.view()) & mask_;; i = (i + 1) & mask_) {
        if (slots_[i].tag == 0) {
          slots_[i] = slot;
          break;
        }
      }
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace quorvane

// The encoder's merge map: (left id, right id) -> (rank, product id).
//
// Open addressing with linear probing, a power-of-two size at most three
// quarters full (a smaller table misses the cache less often).
// It is its own table rather than a library map so that a word's pairs can be
// prefetched before they are looked up: encoding is bound by the cache misses
// of these lookups, and a word's pairs are known all at once.
#pragma once

#include <cstdint>
#include <vector>

#include "editor/base/hashing.h"

namespace quorvane {

class PairTable {
 public:
  struct Value {
    std::uint32_t rank;
    std::uint32_t product;
  };

  static std::uint64_t key(std::uint32_t left, std::uint32_t right) noexcept {
    return (static_cast<std::uint64_t>(left) << 32) | right;
  }

  void reserve(std::size_t n) {
    std::size_t capacity = 16;
    while (3 * capacity < 4 * (n + 1)) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
  }

  void prefetch(std::uint64_t k) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[mix64(k) & mask_]);
  }

  const Value* find(std::uint64_t k) const noexcept {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = mix64(k) & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.value.rank == kEmpty) return nullptr;
      if (slot.key == k) return &slot.value;
    }
  }

  // Inserts, or replaces the value when `replace(old)` says so.
  template <typename Replace>
  void upsert(std::uint64_t k, Value value, Replace&& replace) {
    if (4 * (count_ + 1) > 3 * slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    for (std::size_t i = mix64(k) & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.value.rank == kEmpty) {
        slot = Slot{k, value};
        ++count_;
        return;
      }
      if (slot.key == k) {
        if (replace(slot.value)) slot.value = value;
        return;
      }
    }
  }

  std::size_t size() const noexcept { return count_; }

 private:
  // Ranks are merge-list positions, always below 2^32 - 1.
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  struct Slot {
    std::uint64_t key = 0;
    Value value{kEmpty, 0};
  };

  void rehash(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.value.rank == kEmpty) continue;
      for (std::size_t i = mix64(slot.key) & mask_;; i = (i + 1) & mask_) {
        if (slots_[i].value.rank == kEmpty) {
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

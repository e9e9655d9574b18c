#include "editor/management/state/vocabulary.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace quorvane {

namespace {

// First eight bytes, big-endian, zero-padded: comparing these keys orders
// strings by bytes except for ties, which fall back to a full comparison.
std::uint64_t prefix_key(std::string_view s) {
  unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(b, s.data(), std::min<std::size_t>(8, s.size()));
  std::uint64_t k = 0;
  for (unsigned char c : b) k = (k << 8) | c;
  return k;
}

}  // namespace

void sort_by_token(std::vector<VocabEntry>& entries) {
  struct Keyed {
    std::uint64_t key;
    std::uint32_t index;
  };
  std::vector<Keyed> keyed(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    keyed[i] = {prefix_key(entries[i].token), static_cast<std::uint32_t>(i)};
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    if (a.key != b.key) return a.key < b.key;
    return entries[a.index].token < entries[b.index].token;
  });
  std::vector<VocabEntry> out;
  out.reserve(entries.size());
  for (const Keyed& k : keyed) out.push_back(entries[k.index]);
  entries = std::move(out);
}

Vocabulary& Vocabulary::operator=(const Vocabulary& other) {
  if (this == &other) return *this;
  // Another thread may be building other's index: its slots change meanwhile.
  const std::lock_guard lock(other.index_lock_);
  entries_ = other.entries_;
  index_ = other.index_;
  indexed_.store(other.indexed_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  dead_ = other.dead_;
  sorted_ = other.sorted_;
  sorted_upto_ = other.sorted_upto_;
  sorted_valid_ = other.sorted_valid_;
  length_counts_ = other.length_counts_;
  lengths_built_ = other.lengths_built_;
  lengths_ = other.lengths_;
  lengths_valid_ = other.lengths_valid_;
  return *this;
}

Vocabulary& Vocabulary::operator=(Vocabulary&& other) noexcept {
  // Nobody else can be using a vocabulary that is moved from.
  if (this == &other) return *this;
  entries_ = std::move(other.entries_);
  index_ = std::move(other.index_);
  indexed_.store(other.indexed_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  dead_ = other.dead_;
  sorted_ = std::move(other.sorted_);
  sorted_upto_ = other.sorted_upto_;
  sorted_valid_ = other.sorted_valid_;
  length_counts_ = std::move(other.length_counts_);
  lengths_built_ = other.lengths_built_;
  lengths_ = std::move(other.lengths_);
  lengths_valid_ = other.lengths_valid_;
  return *this;
}

void Vocabulary::build_index() const {
  const std::lock_guard lock(index_lock_);
  if (indexed_.load(std::memory_order_relaxed)) return;  // built while this thread waited
  index_.clear();
  index_.reserve(entries_.size());
  for (std::uint32_t i = 0; i < entries_.size(); ++i) {
    Slot& slot = entries_[i];
    if (!slot.live) continue;
    auto [it, inserted] = index_.try_emplace(slot.token, i);
    if (!inserted) {
      // A repeated key keeps its last id: drop the earlier entry.
      entries_[it->second].live = false;
      ++dead_;
      it->second = i;
    }
  }
  sorted_valid_ = false;
  indexed_.store(true, std::memory_order_release);
}

void Vocabulary::compact() const {
  std::vector<Slot> kept;
  kept.reserve(entries_.size() - dead_);
  for (const Slot& slot : entries_) {
    if (slot.live) kept.push_back(slot);
  }
  entries_ = std::move(kept);
  dead_ = 0;
  indexed_.store(false, std::memory_order_relaxed);
  ensure_index();
}

std::size_t Vocabulary::size() const {
  ensure_index();
  return index_.size();
}

std::optional<TokenId> Vocabulary::find(std::string_view token) const {
  ensure_index();
  auto it = index_.find(token);
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].id;
}

bool Vocabulary::insert(std::string_view token, TokenId id) {
  ensure_index();
  auto [it, inserted] = index_.try_emplace(token, static_cast<std::uint32_t>(entries_.size()));
  if (!inserted) return false;
  // The Vocabulary order stays valid: sorted() places the new entry.
  entries_.push_back({token, id, true});
  if (lengths_built_ && length_counts_[token.size()]++ == 0) lengths_valid_ = false;
  return true;
}

std::optional<TokenId> Vocabulary::erase(std::string_view token) {
  ensure_index();
  auto it = index_.find(token);
  if (it == index_.end()) return std::nullopt;
  Slot& slot = entries_[it->second];
  const TokenId id = slot.id;
  slot.live = false;
  if (lengths_built_) {
    auto count = length_counts_.find(token.size());
    if (--count->second == 0) {
      length_counts_.erase(count);
      lengths_valid_ = false;
    }
  }
  index_.erase(it);
  ++dead_;
  sorted_valid_ = false;
  if (dead_ > 1024 && dead_ > entries_.size() / 2) compact();
  return id;
}

void Vocabulary::assign(std::vector<VocabEntry> entries) {
  entries_.clear();
  entries_.reserve(entries.size());
  for (const VocabEntry& e : entries) entries_.push_back({e.token, e.id, true});
  dead_ = 0;
  indexed_.store(false, std::memory_order_relaxed);
  sorted_valid_ = false;
  lengths_built_ = false;
}

const std::vector<std::size_t>& Vocabulary::token_lengths() const {
  if (!lengths_built_) {
    length_counts_.clear();
    for_each([this](const VocabEntry& e) { ++length_counts_[e.token.size()]; });
    lengths_built_ = true;
    lengths_valid_ = false;
  }
  if (!lengths_valid_) {
    lengths_.clear();
    for (const auto& [length, count] : length_counts_) lengths_.push_back(length);
    std::sort(lengths_.begin(), lengths_.end(), std::greater<>());
    lengths_valid_ = true;
  }
  return lengths_;
}

std::vector<Vocabulary::Handle> Vocabulary::handles() const {
  ensure_index();
  std::vector<Handle> out;
  out.reserve(index_.size());
  for (std::uint32_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].live) out.push_back({entries_[i].token, entries_[i].id, i});
  }
  return out;
}

std::optional<std::uint32_t> Vocabulary::slot_of(std::string_view token) const {
  ensure_index();
  auto it = index_.find(token);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

const std::vector<VocabEntry>& Vocabulary::sorted() const {
  ensure_index();
  if (!sorted_valid_) {
    install_sorted(compute_sorted());
  } else if (sorted_upto_ < entries_.size()) {
    // Only inserts since the last call: sort the new entries and merge them in.
    const std::vector<VocabEntry> added = sorted_from(sorted_upto_);
    const std::size_t middle = sorted_.size();
    sorted_.insert(sorted_.end(), added.begin(), added.end());
    std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end(),
                       [](const VocabEntry& a, const VocabEntry& b) { return a.token < b.token; });
    sorted_upto_ = entries_.size();
  }
  return sorted_;
}

std::vector<VocabEntry> Vocabulary::compute_sorted() const { return sorted_from(0); }

std::vector<VocabEntry> Vocabulary::sorted_from(std::size_t first) const {
  std::vector<VocabEntry> out;
  out.reserve(entries_.size() - first);
  for (std::size_t i = first; i < entries_.size(); ++i) {
    if (entries_[i].live) out.push_back({entries_[i].token, entries_[i].id});
  }
  sort_by_token(out);
  return out;
}

void Vocabulary::install_sorted(std::vector<VocabEntry> order) const {
  if (has_sorted()) return;
  sorted_ = std::move(order);
  sorted_upto_ = entries_.size();
  sorted_valid_ = true;
}

}  // namespace quorvane

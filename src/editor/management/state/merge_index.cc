#include "editor/management/state/merge_index.h"

#include <algorithm>

namespace quorvane {

MergeIndex::MergeIndex(const std::vector<Merge>& merges, Arena& arena) : arena_(arena) { reset(merges); }

void MergeIndex::reset(const std::vector<Merge>& merges) {
  slots_.clear();
  slots_.reserve(merges.size());
  for (const Merge& m : merges) slots_.push_back(Slot{m});
  dead_ = 0;
  dirty_ = false;
  pairs_ready_ = false;
  pairs_.clear();
  pair_overflow_.clear();
  dependents_ready_ = false;
  symbols_ = SymbolTable();
  strings_.clear();
  users_.clear();
  producers_.clear();
  user_next_.clear();
  producer_next_.clear();
}

// ---- pair counts

MergeIndex::PairEntry* MergeIndex::find_pair(const Merge& m) {
  const std::uint64_t h = pair_hash(m);
  auto it = pairs_.find(h);
  if (it == pairs_.end()) return nullptr;
  if (slots_[it->second.slot].merge == m) return &it->second;
  for (auto& [hash, entry] : pair_overflow_) {
    if (hash == h && slots_[entry.slot].merge == m) return &entry;
  }
  return nullptr;
}

void MergeIndex::count_pair(SlotId id) {
  const Merge& m = slots_[id].merge;
  if (PairEntry* entry = find_pair(m)) {
    if (entry->count == 0) entry->slot = id;
    ++entry->count;
    return;
  }
  const std::uint64_t h = pair_hash(m);
  auto [it, inserted] = pairs_.try_emplace(h, PairEntry{id, 1});
  if (inserted) return;
  if (it->second.count == 0) {
    it->second = PairEntry{id, 1};  // the pair there has no live slot left
  } else {
    pair_overflow_.push_back({h, PairEntry{id, 1}});
  }
}

void MergeIndex::ensure_pairs() {
  if (pairs_ready_) return;
  pairs_.clear();
  pair_overflow_.clear();
  pairs_.reserve(live_count());
  for (SlotId id = 0; id < slots_.size(); ++id) {
    if (slots_[id].alive) count_pair(id);
  }
  pairs_ready_ = true;
}

bool MergeIndex::contains_pair(std::string_view left, std::string_view right) {
  ensure_pairs();
  const PairEntry* entry = find_pair(Merge{left, right});
  return entry != nullptr && entry->count > 0;
}

// ---- dependents

MergeIndex::Symbol MergeIndex::intern(std::string_view s, std::uint64_t hash) {
  const Symbol sym = symbols_.intern(s, hash);
  if (sym == strings_.size()) {
    strings_.push_back(s);
    users_.emplace_back();
    producers_.emplace_back();
  }
  return sym;
}

MergeIndex::Symbol MergeIndex::intern_product(const std::string& product, std::uint64_t hash) {
  if (auto sym = symbols_.find(product, hash)) return *sym;
  return intern(arena_.store(product), hash);
}

void MergeIndex::push(List& list, std::vector<std::uint32_t>& next, std::uint32_t node) {
  next[node] = kNone;
  if (list.tail == kNone) list.head = node;
  else next[list.tail] = node;
  list.tail = node;
}

void MergeIndex::unlink(List& list, std::vector<std::uint32_t>& next, std::uint32_t prev,
                        std::uint32_t node) {
  const std::uint32_t after = next[node];
  if (prev == kNone) list.head = after;
  else next[prev] = after;
  if (list.tail == node) list.tail = prev;
}

void MergeIndex::link(SlotId id, std::uint64_t left_hash, std::uint64_t right_hash,
                      const std::string& product, std::uint64_t product_hash) {
  Slot& s = slots_[id];
  s.left = intern(s.merge.left, left_hash);
  s.right = intern(s.merge.right, right_hash);
  s.product = intern_product(product, product_hash);
  if (user_next_.size() < 2 * (std::size_t{id} + 1)) user_next_.resize(2 * (std::size_t{id} + 1), kNone);
  if (producer_next_.size() < std::size_t{id} + 1) producer_next_.resize(std::size_t{id} + 1, kNone);
  push(users_[s.left], user_next_, 2 * id);
  if (s.right != s.left) push(users_[s.right], user_next_, 2 * id + 1);
  push(producers_[s.product], producer_next_, id);
}

void MergeIndex::link(SlotId id) {
  const Merge& m = slots_[id].merge;
  scratch_.assign(m.left);
  scratch_.append(m.right);
  link(id, SymbolTable::hash(m.left), SymbolTable::hash(m.right), scratch_, SymbolTable::hash(scratch_));
}

void MergeIndex::ensure_dependents() {
  if (dependents_ready_) return;
  symbols_.reserve(slots_.size() / 2 + 16);
  strings_.reserve(slots_.size() / 2 + 16);
  user_next_.assign(2 * slots_.size(), kNone);
  producer_next_.assign(slots_.size(), kNone);
  // Interning is bound by cache misses: hash the strings of the merges a few
  // places ahead and prefetch their table slots, so the misses overlap.
  constexpr std::size_t kAhead = 8;
  struct Ahead {
    std::uint64_t left, right, product;
    std::string text;  // the product
  };
  std::vector<Ahead> ahead(kAhead);
  const std::size_t n = slots_.size();
  auto prepare = [&](std::size_t i) {
    Ahead& a = ahead[i % kAhead];
    const Merge& m = slots_[i].merge;
    a.text.assign(m.left);
    a.text.append(m.right);
    a.left = SymbolTable::hash(m.left);
    a.right = SymbolTable::hash(m.right);
    a.product = SymbolTable::hash(a.text);
    symbols_.prefetch(a.left);
    symbols_.prefetch(a.right);
    symbols_.prefetch(a.product);
  };
  for (std::size_t i = 0; i < std::min(kAhead, n); ++i) prepare(i);
  for (std::size_t i = 0; i < n; ++i) {
    const Ahead& a = ahead[i % kAhead];
    if (slots_[i].alive) link(static_cast<SlotId>(i), a.left, a.right, a.text, a.product);
    if (i + kAhead < n) prepare(i + kAhead);
  }
  dependents_ready_ = true;
}

std::optional<MergeIndex::Symbol> MergeIndex::find(std::string_view s) {
  ensure_dependents();
  return symbols_.find(s);
}

std::optional<MergeIndex::SlotId> MergeIndex::first_producer(Symbol product) {
  ensure_dependents();
  List& list = producers_[product];
  while (list.head != kNone && !slots_[list.head].alive) unlink(list, producer_next_, kNone, list.head);
  if (list.head == kNone) return std::nullopt;
  return list.head;
}

// ---- changes

MergeIndex::SlotId MergeIndex::append(Merge merge, std::vector<Merge>& list) {
  const SlotId id = static_cast<SlotId>(slots_.size());
  slots_.push_back(Slot{merge});
  if (pairs_ready_) count_pair(id);
  if (dependents_ready_) link(id);
  list.push_back(merge);
  return id;
}

void MergeIndex::kill(SlotId id) {
  Slot& s = slots_[id];
  if (!s.alive) return;
  s.alive = false;
  ++dead_;
  dirty_ = true;
  if (pairs_ready_) {
    if (PairEntry* entry = find_pair(s.merge)) --entry->count;
  }
}

void MergeIndex::commit(std::vector<Merge>& list) {
  if (!dirty_) return;
  list.clear();
  list.reserve(live_count());
  for (const Slot& s : slots_) {
    if (s.alive) list.push_back(s.merge);
  }
  dirty_ = false;
  // Renumber once the dead slots outnumber the live ones, so that walks and
  // memory stay proportional to the live list; built parts are rebuilt.
  if (dead_ > 1024 && dead_ > live_count()) {
    const bool pairs = pairs_ready_;
    const bool dependents = dependents_ready_;
    reset(list);
    if (pairs) ensure_pairs();
    if (dependents) ensure_dependents();
  }
}

}  // namespace quorvane

#include "editor/encode/encoder.h"

#include <algorithm>
#include <array>
#include <utility>

namespace quorvane {

namespace {

std::size_t next_char(std::string_view s, std::size_t i) {
  ++i;
  while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  return i;
}

// How far ahead building the encoder looks: enough cache misses in flight to
// overlap, few enough that the prefetched lines are still there.
constexpr std::size_t kAhead = 8;

// Hands each item to `apply` kAhead items after it was pushed (the last ones
// at flush()), in the order pushed, so that the memory an item needs can be
// prefetched when it is pushed.
template <typename T, typename Apply>
class Lagged {
 public:
  explicit Lagged(Apply apply) : apply_(std::move(apply)) {}
  void push(const T& item) {
    T& slot = ring_[pushed_++ % kAhead];
    if (pushed_ > kAhead) apply_(slot);
    slot = item;
  }
  void flush() {
    for (std::size_t i = pushed_ > kAhead ? pushed_ - kAhead : 0; i < pushed_; ++i) apply_(ring_[i % kAhead]);
    pushed_ = 0;
  }

 private:
  std::array<T, kAhead> ring_{};
  std::size_t pushed_ = 0;
  Apply apply_;
};

template <typename T, typename Apply>
Lagged<T, Apply> lagged(Apply apply) {
  return Lagged<T, Apply>(std::move(apply));
}

}  // namespace

Encoder::Encoder(const Document& document) {
  const Model& model = document.model;
  unk_token_ = model.unk_token;
  prefix_ = model.continuing_subword_prefix.value_or("");
  suffix_ = model.end_of_word_suffix.value_or("");
  fuse_unk_ = model.fuse_unk;
  byte_fallback_ = model.byte_fallback;
  ignore_merges_ = model.ignore_merges;

  symbols_.reserve(model.vocab.size() + 16);
  dense_tokens_.resize(model.vocab.size() + 1024);
  if (prefix_.empty() && suffix_.empty()) char_ids_.assign(0x10000, kNoId);
  // Both loops are bound by cache misses: what a few places ahead will need
  // is hashed and its table slots prefetched, so that the misses overlap.
  struct Pending {
    VocabEntry entry;
    std::uint64_t hash;
  };
  auto tokens = lagged<Pending>([this](const Pending& p) {
    intern(p.entry.token, p.entry.id, p.hash);
    index_token(p.entry.token, p.entry.id);
  });
  model.vocab.for_each([&](const VocabEntry& e) {
    const std::uint64_t hash = SymbolTable::hash(e.token);
    symbols_.prefetch(hash);
    tokens.push(Pending{e, hash});
  });
  tokens.flush();

  // The merges: the strings a few places ahead are looked up, and the merge
  // map's slots of those found are prefetched, the map written a few places
  // later in the same order.
  const std::vector<Merge>& merges = model.merges;
  merges_.reserve(merges.size());
  struct Ahead {
    std::uint64_t left, right, product;
    std::string text;  // the product
    bool ok;
  };
  std::vector<Ahead> ahead(kAhead);
  const std::size_t n = merges.size();
  auto prepare = [&](std::size_t i) {
    Ahead& a = ahead[i % kAhead];
    const Merge& m = merges[i];
    a.ok = m.right.size() >= prefix_.size();
    if (!a.ok) return;
    a.text.assign(m.left);
    a.text.append(m.right.substr(prefix_.size()));
    a.left = SymbolTable::hash(m.left);
    a.right = SymbolTable::hash(m.right);
    a.product = SymbolTable::hash(a.text);
    symbols_.prefetch(a.left);
    symbols_.prefetch(a.right);
    symbols_.prefetch(a.product);
  };
  struct Found {
    TokenId left, right, product;
    std::uint32_t rank;
  };
  auto found = lagged<Found>([this](const Found& f) { set_merge(f.left, f.right, f.rank, f.product); });
  for (std::size_t i = 0; i < std::min(kAhead, n); ++i) prepare(i);
  for (std::size_t i = 0; i < n; ++i) {
    const Ahead& a = ahead[i % kAhead];
    const auto rank = static_cast<std::uint32_t>(i);
    if (a.ok) {
      const auto l = find(merges[i].left, a.left);
      const auto r = find(merges[i].right, a.right);
      const auto p = find(a.text, a.product);
      if (l && r && p) {
        merges_.prefetch(PairTable::key(*l, *r));
        found.push(Found{*l, *r, *p, rank});
      } else {
        offer(rank, merges[i].left, merges[i].right);  // parks it: the merge map is not touched
      }
    }
    if (i + kAhead < n) prepare(i + kAhead);
  }
  found.flush();
}

void Encoder::intern(std::string_view token, TokenId id, std::uint64_t hash) {
  const auto sym = symbols_.intern(token, hash);
  if (sym == symbol_ids_.size()) {
    symbol_ids_.push_back(id);
    symbol_texts_.push_back(token);
  } else {
    symbol_ids_[sym] = id;
    symbol_texts_[sym] = token;
  }
}

std::optional<std::uint8_t> Encoder::byte_token_value(std::string_view token) {
  // "<0xNN>" with two upper-case hex digits, the client's spelling.
  if (token.size() != 6 || !token.starts_with("<0x") || token[5] != '>') return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  const int hi = digit(token[3]), lo = digit(token[4]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<std::uint8_t>(hi * 16 + lo);
}

// The code point of a one-character UTF-8 string below U+10000, or -1.
static long small_code_point(std::string_view c) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(c[i]); };
  if (c.size() == 1 && b(0) < 0x80) return b(0);
  if (c.size() == 2 && (b(0) & 0xE0) == 0xC0) return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
  if (c.size() == 3 && (b(0) & 0xF0) == 0xE0) return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  return -1;
}

void Encoder::index_token(std::string_view token, TokenId id) {
  if (id < dense_tokens_.size()) {
    if (dense_tokens_[id].data() == nullptr) dense_tokens_[id] = token;
  } else {
    sparse_tokens_.try_emplace(id, token);
  }
  if (auto byte = byte_token_value(token)) byte_ids_[*byte] = id;
  if (!char_ids_.empty()) {
    if (const long cp = small_code_point(token); cp >= 0) char_ids_[static_cast<std::size_t>(cp)] = id;
  }
}

std::optional<TokenId> Encoder::find_char(std::string_view c) const {
  if (!char_ids_.empty()) {
    if (const long cp = small_code_point(c); cp >= 0) {
      const TokenId id = char_ids_[static_cast<std::size_t>(cp)];
      if (id == kNoId) return std::nullopt;
      return id;
    }
  }
  return find(c);
}

std::string_view Encoder::token(TokenId id) const {
  if (id < dense_tokens_.size()) return dense_tokens_[id];
  auto it = sparse_tokens_.find(id);
  return it == sparse_tokens_.end() ? std::string_view() : it->second;
}

void Encoder::set_merge(TokenId left, TokenId right, std::uint32_t rank, TokenId product) {
  merges_.upsert(PairTable::key(left, right), PairTable::Value{rank, product},
                 [rank](const PairTable::Value& old) { return old.rank < rank; });
}

void Encoder::offer(std::uint32_t rank, std::string_view left, std::string_view right) {
  // The client cuts the prefix's bytes from the right input unchecked; a right
  // input shorter than that makes a file it cannot load.
  if (right.size() < prefix_.size()) return;
  auto park = [&](std::string_view missing) {
    auto it = parked_.find(missing);
    if (it == parked_.end()) it = parked_.emplace(std::string(missing), std::vector<Parked>()).first;
    it->second.push_back(Parked{rank, left, right});
  };
  const auto l = find(left);
  if (!l) return park(left);
  const auto r = find(right);
  if (!r) return park(right);
  std::string product;
  product.reserve(left.size() + right.size() - prefix_.size());
  product.append(left).append(right.substr(prefix_.size()));
  const auto p = find(product);
  if (!p) return park(product);
  set_merge(*l, *r, rank, *p);
}

void Encoder::add_token(std::string_view token, TokenId id) {
  intern(token, id, SymbolTable::hash(token));
  index_token(token, id);
  auto waiting = parked_.find(token);
  if (waiting == parked_.end()) return;
  std::vector<Parked> merges = std::move(waiting->second);
  parked_.erase(waiting);
  for (const Parked& m : merges) offer(m.rank, m.left, m.right);
}

void Encoder::append_merge(TokenId left, TokenId right, std::uint32_t rank, TokenId product) {
  set_merge(left, right, rank, product);
}

bool Encoder::split(std::string_view word, std::vector<Symbol>& out) const {
  out.clear();
  auto add = [&out](TokenId id, std::size_t len) {
    const auto n = static_cast<std::int32_t>(out.size());
    if (n > 0) out.back().next = n;
    out.push_back(Symbol{id, n - 1, -1, static_cast<std::uint32_t>(len)});
  };
  // A pending unknown token: its id and the bytes it covers.
  bool unk = false;
  TokenId unk_id = 0;
  std::size_t unk_len = 0;
  std::string scratch;
  for (std::size_t i = 0; i < word.size();) {
    const std::size_t end = next_char(word, i);
    const std::size_t byte_len = end - i;
    std::string_view s = word.substr(i, byte_len);
    const bool prefixed = i > 0 && !prefix_.empty();
    const bool suffixed = end == word.size() && !suffix_.empty();
    if (prefixed || suffixed) {
      scratch.clear();
      if (prefixed) scratch += prefix_;
      scratch += s;
      if (suffixed) scratch += suffix_;
      s = scratch;
    }
    i = end;
    if (auto id = prefixed || suffixed ? find(s) : find_char(s)) {
      if (unk) {
        add(unk_id, unk_len);
        unk = false;
      }
      add(*id, byte_len);
      continue;
    }
    if (byte_fallback_ &&
        std::all_of(s.begin(), s.end(), [&](char c) { return byte_ids_[static_cast<unsigned char>(c)].has_value(); })) {
      // As the client does, a pending unknown is not flushed before the bytes.
      for (char c : s) add(*byte_ids_[static_cast<unsigned char>(c)], 1);
      continue;
    }
    if (!unk_token_) continue;  // no way to say it: the character is dropped
    if (unk && fuse_unk_) {
      unk_len += byte_len;
      continue;
    }
    if (unk) add(unk_id, unk_len);
    const auto id = find(*unk_token_);
    if (!id) return false;
    unk = true;
    unk_id = *id;
    unk_len = byte_len;
  }
  if (unk) add(unk_id, unk_len);
  return true;
}

void Encoder::merge_all(std::vector<Symbol>& symbols, std::vector<std::pair<TokenId, TokenId>>* fired,
                        Scratch& scratch) const {
  const std::size_t n = symbols.size();
  for (std::size_t i = 0; i < n; ++i) {
    symbols[i].prev = static_cast<std::int32_t>(i) - 1;
    symbols[i].next = i + 1 < n ? static_cast<std::int32_t>(i + 1) : -1;
  }
  std::vector<Candidate>& queue = scratch.queue;
  queue.clear();
  for (std::size_t i = 0; i + 1 < n; ++i) merges_.prefetch(PairTable::key(symbols[i].id, symbols[i + 1].id));
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (auto m = merge(symbols[i].id, symbols[i + 1].id)) {
      queue.push_back({i, m->rank, m->product, symbols[i].id, symbols[i + 1].id});
    }
  }
  if (queue.empty()) return;
  std::make_heap(queue.begin(), queue.end(), Later{});
  auto push = [&](std::size_t pos, TokenId left, TokenId right) {
    if (auto m = merge(left, right)) {
      queue.push_back({pos, m->rank, m->product, left, right});
      std::push_heap(queue.begin(), queue.end(), Later{});
    }
  };
  while (!queue.empty()) {
    std::pop_heap(queue.begin(), queue.end(), Later{});
    const Encoder::Candidate top = queue.back();
    queue.pop_back();
    Symbol& current = symbols[top.pos];
    if (current.len == 0 || current.next == -1) continue;
    const auto next_pos = static_cast<std::size_t>(current.next);
    const Symbol right = symbols[next_pos];
    // A stale entry: the pair at this position changed since it was queued.
    // Like the client, take it still when the new pair has the same product.
    if (current.id != top.left || right.id != top.right) {
      const auto now = merge(current.id, right.id);
      if (!now || now->product != top.product) continue;
    }
    if (fired != nullptr) fired->emplace_back(current.id, right.id);
    current.id = top.product;
    current.len += right.len;
    current.next = right.next;
    symbols[next_pos].len = 0;
    if (right.next >= 0) symbols[static_cast<std::size_t>(right.next)].prev = static_cast<std::int32_t>(top.pos);
    // Both new pairs are looked up; fetch their slots together.
    if (current.prev >= 0) merges_.prefetch(PairTable::key(symbols[static_cast<std::size_t>(current.prev)].id, current.id));
    if (current.next >= 0) merges_.prefetch(PairTable::key(current.id, symbols[static_cast<std::size_t>(current.next)].id));
    if (current.prev >= 0) {
      const auto prev = static_cast<std::size_t>(current.prev);
      push(prev, symbols[prev].id, current.id);
    }
    if (current.next >= 0) push(top.pos, current.id, symbols[static_cast<std::size_t>(current.next)].id);
  }
  std::erase_if(symbols, [](const Symbol& s) { return s.len == 0; });
}

bool Encoder::tokenize(std::string_view word, std::vector<TokenId>& out, Scratch& scratch) const {
  out.clear();
  if (word.empty()) return true;
  if (ignore_merges_) {
    if (auto id = find(word)) {
      out.push_back(*id);
      return true;
    }
  }
  std::vector<Symbol>& symbols = scratch.symbols;
  if (!split(word, symbols)) return false;
  merge_all(symbols, nullptr, scratch);
  out.reserve(symbols.size());
  for (const Symbol& s : symbols) out.push_back(s.id);
  return true;
}

}  // namespace quorvane

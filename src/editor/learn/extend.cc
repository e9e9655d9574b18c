#include "editor/learn/extend.h"

#include <algorithm>
#include <deque>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/base/parallel.h"
#include "editor/encode/encoder.h"
#include "editor/encode/unreachable.h"
#include "editor/merge/representation.h"
#include "editor/placement/placement.h"

namespace quorvane {

namespace {

using Symbol = std::uint32_t;  // the learner's own numbering of tokens

// From this many tokens on, the vocabulary is sorted beside the learning.
constexpr std::size_t kSortOnThread = 1 << 14;

std::uint64_t pair_key(Symbol left, Symbol right) { return (static_cast<std::uint64_t>(left) << 32) | right; }
Symbol left_of(std::uint64_t key) { return static_cast<Symbol>(key >> 32); }
Symbol right_of(std::uint64_t key) { return static_cast<Symbol>(key); }

constexpr std::uint32_t kNoWord = 0xFFFFFFFFu;

// Words that held a pair (stale ones included), the first kept inline: most
// pairs are held by one word only and then cost no allocation.
class Holders {
 public:
  void add(std::uint32_t word) {
    if (first_ == kNoWord) {
      first_ = word;
    } else if ((more_.empty() ? first_ : more_.back()) != word) {
      more_.push_back(word);
    }
  }
  // Calls f(word) for each, in the order added, and forgets them.
  template <typename F>
  void take(F&& f) {
    if (first_ == kNoWord) return;
    const std::uint32_t first = std::exchange(first_, kNoWord);
    const std::vector<std::uint32_t> more = std::move(more_);
    more_.clear();
    f(first);
    for (std::uint32_t w : more) f(w);
  }

 private:
  std::uint32_t first_ = kNoWord;
  std::vector<std::uint32_t> more_;
};

struct PairStat {
  std::int64_t count = 0;
  Holders words;
  bool dead = false;  // learned, or refused: never a candidate again
};

struct Learned {
  Symbol left, right, product;
  std::uint64_t frequency;
};

class Learner {
 public:
  Learner(const Editor& editor, const ExtendOptions& options)
      : encoder_(editor.encoder()), whole_(editor), options_(options) {
    if (auto rep = detect_representation(editor.document()); rep && !rep->byte_level) marker_ = rep->marker;
  }

  // Takes the words and segments them on every core.
  void add_words(const WordCounts& words);
  // Numbers the segmented words' tokens and counts their pairs (one core).
  void count_pairs();
  // Refuses every pair adjacent in the words' segmentations, and their
  // spellings as products (after count_pairs).
  void keep_unchanged(const WordCounts& words);
  std::vector<Learned> learn();

  std::string_view text(Symbol s) const { return texts_[s]; }
  // A merge's right input loses the continuing prefix's length in the
  // product, whether it starts with the prefix or not (as the client reads
  // it); a right input that does not is never merged (see acceptable_pair).
  std::string_view without_prefix(std::string_view right) const {
    return right.substr(std::min(right.size(), encoder_.prefix().size()));
  }
  bool acceptable_pair(std::uint64_t key) const {
    const std::string& prefix = encoder_.prefix();
    return prefix.empty() || text(right_of(key)).starts_with(prefix);
  }
  // The existing token a symbol stands for, if it is not a learned one.
  std::optional<TokenId> token_id(Symbol s) const {
    return s < ids_.size() && ids_[s] != kNew ? std::optional<TokenId>(ids_[s]) : std::nullopt;
  }
  std::uint64_t word_count() const { return words_.size(); }

 private:
  static constexpr TokenId kNew = 0xFFFFFFFFu;
  static constexpr Symbol kCandidate = 0xFFFFFFFFu;

  Symbol symbol_of(TokenId id);
  void change(Symbol left, Symbol right, std::int64_t delta, std::uint32_t word);
  bool acceptable(std::string_view product) const;
  // Whether `product`, made from `key` as the next learned merge, is what its
  // own string encodes to with every merge learned so far.
  bool encodes_alone(std::string_view product, std::uint64_t key);
  void apply(std::uint64_t key, Symbol product);
  // Heap order: the highest count on top, ties to the smaller texts.
  bool before(const std::pair<std::int64_t, std::uint64_t>& a, const std::pair<std::int64_t, std::uint64_t>& b) const {
    if (a.first != b.first) return a.first < b.first;
    if (const int left = compare(left_of(a.second), left_of(b.second)); left != 0) return left > 0;
    return compare(right_of(a.second), right_of(b.second)) > 0;
  }
  // The order of two symbols' texts, by their first eight bytes where these differ.
  int compare(Symbol x, Symbol y) const {
    if (x == y) return 0;
    if (heads_[x] != heads_[y]) return heads_[x] < heads_[y] ? -1 : 1;
    return text(x).compare(text(y));
  }
  Symbol add_symbol(std::string_view text, TokenId id, bool frozen);

  const Encoder& encoder_;
  WholeTokens whole_;
  ExtendOptions options_;
  std::string marker_;

  std::vector<std::string_view> texts_;  // by symbol
  std::vector<std::uint64_t> heads_;     // by symbol: the text's first eight bytes, big-endian, zero-padded
  std::vector<TokenId> ids_;             // by symbol; kNew for learned ones
  std::vector<bool> frozen_;             // by symbol
  boost::unordered_flat_map<TokenId, Symbol> symbol_by_id_;
  boost::unordered_flat_set<std::string_view, StringHash, StringEq> learned_texts_;
  boost::unordered_flat_set<std::string_view, StringHash, StringEq> unchanged_;  // words never to become a token
  std::deque<std::string> owned_;  // texts of learned symbols

  // The words as given, with their counts added up, and where each is in
  // words_ (kNoWord: not learned from).
  struct Word {
    std::uint64_t count;
    std::uint32_t index;
  };
  boost::unordered_flat_map<std::string_view, Word, StringHash, StringEq> given_;
  std::vector<std::string_view> order_;  // given_'s words in the order first given
  // Their segmentations: ids in per-thread lists, and (begin, end) in the
  // list of the thread that took each word, begin > end where it failed.
  std::vector<std::vector<TokenId>> part_ids_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans_;

  std::vector<std::vector<Symbol>> words_;
  std::vector<std::int64_t> counts_;
  std::vector<std::uint64_t> seen_at_;  // the step that last merged in each word
  boost::unordered_flat_map<std::uint64_t, PairStat> pairs_;
  boost::unordered_flat_map<std::uint64_t, std::pair<std::uint32_t, Symbol>> learned_;  // pair -> (rank, product)
  std::vector<TokenId> scratch_ids_;
  std::vector<Symbol> scratch_;
  std::vector<std::uint64_t> grown_;  // pairs whose count rose in this step
};

Symbol Learner::add_symbol(std::string_view text, TokenId id, bool frozen) {
  const auto symbol = static_cast<Symbol>(texts_.size());
  texts_.push_back(text);
  std::uint64_t head = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    head = (head << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  }
  heads_.push_back(head);
  ids_.push_back(id);
  frozen_.push_back(frozen);
  return symbol;
}

Symbol Learner::symbol_of(TokenId id) {
  auto [it, inserted] = symbol_by_id_.try_emplace(id, static_cast<Symbol>(texts_.size()));
  if (inserted) {
    const std::string_view t = encoder_.token(id);
    const bool unk = encoder_.unk_token() && t == *encoder_.unk_token();
    add_symbol(t, id, unk || is_special_token(t) || whole_.contains(t));
  }
  return it->second;
}

void Learner::change(Symbol left, Symbol right, std::int64_t delta, std::uint32_t word) {
  if (frozen_[left] || frozen_[right]) return;
  PairStat& stat = pairs_[pair_key(left, right)];
  stat.count += delta;
  if (delta > 0) {
    stat.words.add(word);
    grown_.push_back(pair_key(left, right));
  }
}

void Learner::add_words(const WordCounts& given) {
  // A word given twice is one word with the counts added up.
  given_.reserve(given.size());
  order_.reserve(given.size());
  for (const auto& [word, count] : given) {
    auto [it, inserted] = given_.try_emplace(word, Word{0, kNoWord});
    if (inserted) order_.push_back(word);
    it->second.count = std::min<std::uint64_t>(it->second.count + count, INT64_MAX / 4);
  }
  const std::size_t parts = std::min<std::size_t>(usable_cores(), 1 + order_.size() / 4096);
  part_ids_.resize(parts);
  spans_.resize(order_.size());
  parallel_ranges(order_.size(), parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
    Encoder::Scratch scratch;
    std::vector<TokenId> ids;
    std::vector<TokenId>& out = part_ids_[part];
    for (std::size_t i = begin; i < end; ++i) {
      const auto at = static_cast<std::uint32_t>(out.size());
      if (!encoder_.tokenize(order_[i], ids, scratch)) {
        spans_[i] = {at + 1, at};
        continue;
      }
      out.insert(out.end(), ids.begin(), ids.end());
      spans_[i] = {at, static_cast<std::uint32_t>(out.size())};
    }
  });
}

void Learner::count_pairs() {
  std::size_t symbols = 0;
  for (const auto& ids : part_ids_) symbols += ids.size();
  pairs_.reserve(symbols / 2);  // distinct pairs are far fewer than adjacent ones
  words_.reserve(order_.size());
  counts_.reserve(order_.size());
  const std::size_t parts = part_ids_.size();
  for (std::size_t i = 0, part = 0; i < order_.size(); ++i) {
    while ((part + 1) * order_.size() / parts <= i) ++part;  // the part whose range holds word i
    Word& word = given_.find(order_[i])->second;
    const auto [begin, end] = spans_[i];
    if (word.count == 0 || begin > end || end - begin < 2) continue;
    const auto w = static_cast<std::uint32_t>(words_.size());
    word.index = w;
    std::vector<Symbol>& symbols = words_.emplace_back();
    symbols.reserve(end - begin);
    for (std::uint32_t k = begin; k < end; ++k) symbols.push_back(symbol_of(part_ids_[part][k]));
    const auto c = static_cast<std::int64_t>(word.count);
    counts_.push_back(c);
    for (std::size_t k = 0; k + 1 < symbols.size(); ++k) change(symbols[k], symbols[k + 1], c, w);
  }
  part_ids_ = {};
  spans_ = {};
  seen_at_.assign(words_.size(), 0);
}

void Learner::keep_unchanged(const WordCounts& words) {
  const std::size_t parts = std::min<std::size_t>(usable_cores(), 1 + words.size() / 4096);
  std::vector<std::vector<std::pair<TokenId, TokenId>>> adjacent(parts);
  parallel_ranges(words.size(), parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
    Encoder::Scratch scratch;
    std::vector<TokenId> ids;
    boost::unordered_flat_set<std::uint64_t> seen;
    for (std::size_t i = begin; i < end; ++i) {
      if (!encoder_.tokenize(words[i].first, ids, scratch)) continue;  // encodes to nothing a merge could touch
      for (std::size_t k = 0; k + 1 < ids.size(); ++k) {
        if (seen.insert((static_cast<std::uint64_t>(ids[k]) << 32) | ids[k + 1]).second) {
          adjacent[part].emplace_back(ids[k], ids[k + 1]);
        }
      }
    }
  });
  for (const auto& pairs : adjacent) {
    for (const auto& [left, right] : pairs) pairs_[pair_key(symbol_of(left), symbol_of(right))].dead = true;
  }
  unchanged_.reserve(words.size());
  for (const auto& [word, count] : words) unchanged_.insert(word);
}

bool Learner::acceptable(std::string_view product) const {
  if (encoder_.find(product) || learned_texts_.contains(product) || encoder_.awaited(product)) return false;
  if (unchanged_.contains(product)) return false;
  if (options_.max_token_length != 0 && char_count(product) > options_.max_token_length) return false;
  if (!marker_.empty() && product.find(marker_, 1) != std::string_view::npos) return false;
  return true;
}

// The learned merges fire after every existing one, lowest rank first, ties
// to the leftmost: the encoder's order. A word containing the product can
// still reach it from other pieces than its own string does; the tokenizer
// then produces it in text but never alone, which no learned token may be.
// With a continuing prefix or an end-of-word suffix no token's string is a
// word of its own, and under ignore_merges a token's string comes back whole:
// the check does not apply.
// A training word spelled like the product is encoded as the training left
// it: the product comes alone exactly when that word is now the pair.
bool Learner::encodes_alone(std::string_view product, std::uint64_t key) {
  if (!encoder_.prefix().empty() || !encoder_.suffix().empty() || encoder_.ignore_merges()) return true;
  if (auto it = given_.find(product); it != given_.end() && it->second.index != kNoWord) {
    const std::vector<Symbol>& word = words_[it->second.index];
    return word.size() == 2 && word[0] == left_of(key) && word[1] == right_of(key);
  }
  if (!encoder_.tokenize(product, scratch_ids_)) return false;
  scratch_.clear();
  for (TokenId id : scratch_ids_) scratch_.push_back(symbol_of(id));
  const auto candidate = static_cast<std::uint32_t>(learned_.size());
  while (scratch_.size() > 1) {
    std::size_t best = scratch_.size();
    std::uint32_t best_rank = 0;
    Symbol made = 0;
    for (std::size_t i = 0; i + 1 < scratch_.size(); ++i) {
      const std::uint64_t pair = pair_key(scratch_[i], scratch_[i + 1]);
      std::uint32_t rank;
      Symbol out;
      if (auto it = learned_.find(pair); it != learned_.end()) {
        rank = it->second.first;
        out = it->second.second;
      } else if (pair == key) {
        rank = candidate;
        out = kCandidate;
      } else {
        continue;
      }
      if (best == scratch_.size() || rank < best_rank) best = i, best_rank = rank, made = out;
    }
    if (best == scratch_.size()) return false;
    if (made == kCandidate) return scratch_.size() == 2;
    scratch_[best] = made;
    scratch_.erase(scratch_.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  return false;
}

// Merges every occurrence of the pair in the words that hold it, left to
// right, as the encoder will.
void Learner::apply(std::uint64_t key, Symbol product) {
  const Symbol a = left_of(key), b = right_of(key);
  const std::uint64_t step = texts_.size();  // grows by one a step: a fresh mark
  pairs_[key].words.take([&](std::uint32_t w) {
    if (seen_at_[w] == step) return;
    seen_at_[w] = step;
    std::vector<Symbol>& s = words_[w];
    const std::int64_t c = counts_[w];
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
      if (s[i] != a || s[i + 1] != b) continue;
      if (i > 0) {
        change(s[i - 1], a, -c, w);
        change(s[i - 1], product, c, w);
      }
      if (i + 2 < s.size()) {
        change(b, s[i + 2], -c, w);
        change(product, s[i + 2], c, w);
      }
      s[i] = product;
      s.erase(s.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
  });
}

std::vector<Learned> Learner::learn() {
  std::vector<Learned> learned;
  using Entry = std::pair<std::int64_t, std::uint64_t>;
  auto order = [this](const Entry& x, const Entry& y) { return before(x, y); };
  std::vector<Entry> heap;
  heap.reserve(pairs_.size());
  for (const auto& [key, stat] : pairs_) {
    if (stat.count > 0 && !stat.dead) heap.emplace_back(stat.count, key);
  }
  std::make_heap(heap.begin(), heap.end(), order);
  const auto min_frequency = static_cast<std::int64_t>(std::max<std::uint64_t>(options_.min_frequency, 1));
  std::string product;
  while (learned.size() < options_.count && !heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), order);
    const Entry top = heap.back();
    heap.pop_back();
    PairStat& stat = pairs_[top.second];
    if (stat.dead) continue;
    if (stat.count != top.first) {
      if (stat.count > 0) {
        heap.emplace_back(stat.count, top.second);
        std::push_heap(heap.begin(), heap.end(), order);
      }
      continue;
    }
    if (top.first < min_frequency) break;
    stat.dead = true;
    product.assign(text(left_of(top.second))).append(without_prefix(text(right_of(top.second))));
    if (!acceptable_pair(top.second) || !acceptable(product) || !encodes_alone(product, top.second)) continue;

    // A learned product shaped like a special token ("</b>" from markup in
    // the text) is kept whole like the existing ones: later steps never
    // merge it further.
    const Symbol symbol = add_symbol(owned_.emplace_back(product), kNew, is_special_token(product));
    learned_texts_.insert(texts_.back());
    learned_.try_emplace(top.second, static_cast<std::uint32_t>(learned_.size()), symbol);
    learned.push_back({left_of(top.second), right_of(top.second), symbol, static_cast<std::uint64_t>(top.first)});
    grown_.clear();
    apply(top.second, symbol);
    std::sort(grown_.begin(), grown_.end());
    grown_.erase(std::unique(grown_.begin(), grown_.end()), grown_.end());
    for (std::uint64_t key : grown_) {
      const PairStat& s = pairs_[key];
      if (s.dead || s.count <= 0) continue;
      heap.emplace_back(s.count, key);
      std::push_heap(heap.begin(), heap.end(), order);
    }
  }
  return learned;
}

}  // namespace

Result<ExtendRecord> extend_vocabulary(Editor& editor, const WordCounts& words, const ExtendOptions& options) {
  Learner learner(editor, options);
  learner.add_words(words);
  // Writing the result needs the vocabulary in order; the core that the
  // learning leaves idle sorts it meanwhile, and the learned tokens are
  // merged in later.
  const Vocabulary& vocab = static_cast<const Editor&>(editor).vocab();
  std::vector<VocabEntry> order;
  std::jthread sorter;
  if (!vocab.has_sorted() && vocab.size() >= kSortOnThread) {
    try {
      sorter = std::jthread([&]() noexcept {
        try {
          order = vocab.compute_sorted();
        } catch (const std::bad_alloc&) {
          order.clear();  // sorted() does it later
        }
      });
    } catch (const std::system_error&) {
    }
  }
  learner.count_pairs();
  if (options.unchanged_words) learner.keep_unchanged(*options.unchanged_words);
  const std::vector<Learned> learned = learner.learn();
  if (sorter.joinable()) {
    sorter.join();
    if (!order.empty()) vocab.install_sorted(std::move(order));
  }
  if (learned.size() < options.count) {
    return fail("Only " + std::to_string(learned.size()) + " new tokens can be learned from this text (" +
                std::to_string(options.count) + " asked for)");
  }

  // Commit: the learner's texts are copied into the document's arena.
  ExtendRecord record;
  record.words = learner.word_count();
  std::vector<std::string_view> stored(learned.empty() ? 0 : learned.back().product + 1);
  auto stored_text = [&](Symbol s) -> std::string_view {
    if (auto id = learner.token_id(s)) return editor.encoder().stored(learner.text(s));
    return stored[s];
  };
  // Resolve the inputs' arena views before the first mutable access drops
  // the encoder.
  std::vector<std::pair<std::string_view, std::string_view>> inputs;
  inputs.reserve(learned.size());
  for (const Learned& l : learned) {
    inputs.emplace_back(learner.token_id(l.left) ? stored_text(l.left) : std::string_view(),
                        learner.token_id(l.right) ? stored_text(l.right) : std::string_view());
  }
  // After a dense model with added tokens beside it, new tokens go right
  // after the model and those added tokens behind them (placement.h); a
  // dense model has no freed ids to reuse.
  const Editor& view = editor;
  const bool place = places_after_model(view);
  auto next_id = static_cast<TokenId>(view.vocab().size());
  if (options.reuse_freed_ids && !place) editor.rewind_id_cursor();
  editor.vocab().reserve_more(learned.size());
  editor.merges().reserve(editor.merges().size() + learned.size());
  record.added_tokens.reserve(learned.size());
  record.added_merges.reserve(learned.size());
  record.frequencies.reserve(learned.size());
  for (std::size_t i = 0; i < learned.size(); ++i) {
    const Learned& l = learned[i];
    const std::string_view product = editor.store(learner.text(l.product));
    stored[l.product] = product;
    const std::string_view left = inputs[i].first.data() ? inputs[i].first : stored[l.left];
    const std::string_view right = inputs[i].second.data() ? inputs[i].second : stored[l.right];
    editor.vocab().insert(product, place ? next_id++ : editor.allocate_id());
    editor.merges().push_back(Merge{left, right});
    record.added_tokens.emplace_back(product);
    record.added_merges.emplace_back(left, right);
    record.frequencies.push_back(l.frequency);
  }
  if (place && !learned.empty()) record.moved_added_tokens = place_outside_after(editor, next_id);
  editor.rebuild_merge_indexes();
  return record;
}

}  // namespace quorvane

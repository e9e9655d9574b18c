#include "editor/reachable/reachable.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>

#include "editor/encode/encoder.h"
#include "editor/encode/unreachable.h"
#include "editor/placement/placement.h"

namespace quorvane {

namespace {

using Symbol = Encoder::Symbol;

std::size_t next_char(std::string_view s, std::size_t i) {
  ++i;
  while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  return i;
}

// The DP over merge trees is cubic in the pieces; past this many a balanced
// tree is used instead.
constexpr std::size_t kMaxPlannedPieces = 64;

class Addition {
 public:
  // With `next_id`, new tokens take consecutive ids from it instead of the
  // editor's allocation (see add_tokens_reachable).
  Addition(Editor& editor, Encoder& encoder, std::optional<TokenId> next_id)
      : editor_(editor), encoder_(encoder), whole_(editor), next_id_(next_id) {}

  void add(const std::string& token, ReachableRecord& record);

 private:
  // A merge of the plan: the span [b, e) of the word from [b, mid) and [mid, e).
  struct Node {
    std::size_t b, mid, e;
  };

  // The span [b, e) of the word as the model spells it: with the continuing
  // prefix unless it starts the word, with the suffix when it ends it. The
  // view dies with the next call.
  std::string_view span(std::size_t b, std::size_t e);
  TokenId ensure_token(std::string_view s, ReachableRecord& record);
  // Added tokens, and byte tokens that are in the vocabulary, which the
  // client matches whole before the merges.
  bool matched_whole(std::string_view token) const {
    return whole_.contains(token) && (encoder_.find(token) || !Encoder::is_byte_token(token));
  }

 public:
  bool reachable(const std::string& token);
  std::vector<std::string> pieces(const std::string& token);
 private:
  void plan(const std::vector<std::size_t>& offsets);
  std::optional<std::string> dropped_holder(std::string_view c);
  bool next_pair(const std::vector<std::size_t>& offsets, std::size_t& at);

  Editor& editor_;
  Encoder& encoder_;
  const WholeTokens whole_;
  std::string_view word_;
  std::string scratch_;
  std::vector<Node> nodes_;
  std::size_t next_node_ = 0;
  std::optional<TokenId> next_id_;
};

std::string_view Addition::span(std::size_t b, std::size_t e) {
  const bool prefixed = b > 0 && !encoder_.prefix().empty();
  const bool suffixed = e == word_.size() && !encoder_.suffix().empty();
  if (!prefixed && !suffixed) return word_.substr(b, e - b);
  scratch_.clear();
  if (prefixed) scratch_ += encoder_.prefix();
  scratch_ += word_.substr(b, e - b);
  if (suffixed) scratch_ += encoder_.suffix();
  return scratch_;
}

TokenId Addition::ensure_token(std::string_view s, ReachableRecord& record) {
  if (auto id = encoder_.find(s)) return *id;
  const std::string_view stored = editor_.store(s);
  const TokenId id = next_id_ ? (*next_id_)++ : editor_.allocate_id();
  editor_.vocab().insert(stored, id);
  encoder_.add_token(stored, id);
  record.added_tokens.emplace_back(stored);
  return id;
}

// The post-order of the tree over the pieces that needs the fewest new tokens;
// ties go to the longest left part.
void Addition::plan(const std::vector<std::size_t>& offsets) {
  nodes_.clear();
  next_node_ = 0;
  const std::size_t m = offsets.size() - 1;
  std::vector<std::uint32_t> split((m + 1) * (m + 1), 0);
  auto at = [m](std::size_t i, std::size_t j) { return i * (m + 1) + j; };
  if (m <= kMaxPlannedPieces) {
    constexpr std::uint32_t kInf = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> cost((m + 1) * (m + 1), 0);
    for (std::size_t len = 2; len <= m; ++len) {
      for (std::size_t i = 0; i + len <= m; ++i) {
        const std::size_t j = i + len;
        std::uint32_t best = kInf;
        for (std::size_t k = j - 1; k > i; --k) {
          const std::uint32_t c = cost[at(i, k)] + cost[at(k, j)];
          if (c < best) {
            best = c;
            split[at(i, j)] = static_cast<std::uint32_t>(k);
          }
        }
        cost[at(i, j)] = best + (encoder_.find(span(offsets[i], offsets[j])) ? 0 : 1);
      }
    }
  }
  auto emit = [&](auto& self, std::size_t i, std::size_t j) -> void {
    if (j - i < 2) return;
    const std::size_t k = m <= kMaxPlannedPieces ? split[at(i, j)] : (i + j) / 2;
    self(self, i, k);
    self(self, k, j);
    nodes_.push_back(Node{offsets[i], offsets[k], offsets[j]});
  };
  emit(emit, 0, m);
}

// The position of the plan's next merge among the current pieces, if the
// pieces are still where the plan expects them.
bool Addition::next_pair(const std::vector<std::size_t>& offsets, std::size_t& at) {
  if (next_node_ == nodes_.size()) return false;
  const Node& node = nodes_[next_node_];
  auto it = std::lower_bound(offsets.begin(), offsets.end(), node.b);
  at = static_cast<std::size_t>(it - offsets.begin());
  if (it == offsets.end() || *it != node.b || at + 2 >= offsets.size() || offsets[at + 1] != node.mid ||
      offsets[at + 2] != node.e) {
    return false;
  }
  ++next_node_;
  return true;
}

// Builds `token`; what the record says of it before and after the whole call
// is filled in by the caller. Sets `reason` when the token cannot be built.
void Addition::add(const std::string& token, ReachableRecord& record) {
  word_ = token;
  if (token.empty()) {
    record.reason = "an empty token cannot be produced";
    return;
  }
  if (matched_whole(token)) return;
  std::vector<TokenId> ids;
  if (const auto id = encoder_.find(token); id && encoder_.tokenize(token, ids) && ids.size() == 1 && ids[0] == *id) {
    return;
  }
  if (!encoder_.suffix().empty() && !encoder_.ignore_merges()) {
    record.reason = "the model ends every word with its suffix '" + encoder_.suffix() +
                    "', so no string encodes to exactly a token of its own";
    return;
  }
  if (char_count(token) > kMaxReachableChars) {
    record.reason = "longer than " + std::to_string(kMaxReachableChars) + " characters";
    return;
  }

  // Characters the vocabulary lacks cannot be merged into anything (their
  // byte or unknown tokens never concatenate to the token): add them first.
  // A reachable token may hold such a character only where the character
  // does not show in its pieces: an unknown token that comes out whole because
  // every character of it is unknown, or, in a model that drops unknown
  // characters, a token whose prefixed spelling leaves them out ("##a" from
  // "#", "#" and "a"). Adding the character would break it.
  std::vector<std::string> missing;
  bool splits_unknown = false;
  const bool unknown_whole = encoder_.unk_token() && reachable(*encoder_.unk_token());
  for (std::size_t i = 0; i < token.size();) {
    const std::size_t end = next_char(token, i);
    if (const std::string_view c = span(i, end); !encoder_.find(c)) {
      missing.emplace_back(c);
      const std::string_view raw = std::string_view(token).substr(i, end - i);
      splits_unknown |= unknown_whole && encoder_.unk_token()->find(raw) != std::string::npos;
      if (const std::optional<std::string> holder = dropped_holder(raw)) {
        record.reason = "adding its character '" + std::string(raw) + "' would break the token '" + *holder +
                        "', which encodes as itself only because that character is dropped";
        return;
      }
    }
    i = end;
  }
  if (splits_unknown) {
    record.reason = "adding its characters would split the unknown token '" + *encoder_.unk_token() + "'";
    return;
  }
  for (const std::string& c : missing) ensure_token(c, record);
  std::vector<Symbol> symbols;
  encoder_.split(token, symbols);
  encoder_.merge_all(symbols);
  nodes_.clear();
  next_node_ = 0;
  std::vector<std::size_t> offsets;
  while (symbols.size() > 1) {
    offsets.assign(1, 0);
    for (const Symbol& s : symbols) offsets.push_back(offsets.back() + s.len);
    std::size_t i = 0;
    if (!next_pair(offsets, i)) {
      plan(offsets);
      next_pair(offsets, i);
    }
    const TokenId left_id = symbols[i].id, right_id = symbols[i + 1].id;
    const std::string_view left = encoder_.stored(span(offsets[i], offsets[i + 1]));
    const std::string_view right = encoder_.stored(span(offsets[i + 1], offsets[i + 2]));
    if (encoder_.find(left) != left_id || encoder_.find(right) != right_id) {
      record.reason = "its pieces carry ids that other tokens share";
      break;
    }
    const TokenId product = ensure_token(std::string(span(offsets[i], offsets[i + 2])), record);
    // A merge of this pair may exist already, waiting for its product.
    if (!encoder_.merge(left_id, right_id)) {
      std::vector<Merge>& merges = editor_.merges();
      merges.push_back(Merge{left, right});
      encoder_.append_merge(left_id, right_id, static_cast<std::uint32_t>(merges.size() - 1), product);
      record.added_merges.emplace_back(left, right);
    }
    const std::size_t before = symbols.size();
    encoder_.merge_all(symbols);
    if (symbols.size() >= before) {
      record.reason = "the merge of '" + std::string(left) + "' and '" + std::string(right) + "' does not fire";
      break;
    }
  }

  // Under ignore_merges a word that is a token comes back whole: being in
  // the vocabulary is enough (say with a suffix the merges never reach).
  if (encoder_.ignore_merges() && !record.reason) ensure_token(token, record);
}

// A reachable token holding the character `c`, when the model drops `c`
// (no token, no unknown token, no byte tokens for it). Rare models only, so a
// scan of the vocabulary will do.
std::optional<std::string> Addition::dropped_holder(std::string_view c) {
  if (encoder_.unk_token()) return std::nullopt;
  if (encoder_.byte_fallback()) {
    bool covered = true;
    for (unsigned char b : c) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      const char name[] = {'<', '0', 'x', kHex[b >> 4], kHex[b & 15], '>'};
      covered &= encoder_.find(std::string_view(name, sizeof name)).has_value();
    }
    if (covered) return std::nullopt;
  }
  std::vector<std::string> holders;
  std::as_const(editor_).vocab().for_each([&](const VocabEntry& e) {
    if (e.token.find(c) != std::string_view::npos) holders.emplace_back(e.token);
  });
  for (const std::string& holder : holders) {
    if (reachable(holder)) return holder;
  }
  return std::nullopt;
}

// Whether `token`'s own string now gives exactly it.
bool Addition::reachable(const std::string& token) {
  if (matched_whole(token)) return true;
  std::vector<TokenId> ids;
  const auto id = encoder_.find(token);
  return id && encoder_.tokenize(token, ids) && ids.size() == 1 && ids[0] == *id;
}

// What the model makes of `token`'s string, as `tokenize` reports it: an
// added token the client matches whole still gets its model pieces here.
std::vector<std::string> Addition::pieces(const std::string& token) {
  std::vector<TokenId> ids;
  std::vector<std::string> out;
  if (!encoder_.tokenize(token, ids)) return out;
  for (TokenId id : ids) out.emplace_back(encoder_.token(id));
  return out;
}

}  // namespace

std::vector<ReachableRecord> add_tokens_reachable(Editor& editor, const std::vector<std::string>& tokens) {
  // Read through a const view: a mutable access would drop the encoder.
  const Editor& view = editor;
  const std::size_t model_size = view.vocab().size();
  const bool place = places_after_model(view);
  std::unique_ptr<Encoder> encoder = editor.take_encoder();
  // Merges are appended to the list directly, past the merge indexes.
  editor.rebuild_merge_indexes();
  Addition addition(editor, *encoder, place ? std::optional(static_cast<TokenId>(model_size)) : std::nullopt);
  std::vector<ReachableRecord> records(tokens.size());
  std::vector<bool> present(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    records[i].token = tokens[i];
    records[i].pieces = addition.pieces(tokens[i]);
    present[i] = encoder->find(tokens[i]).has_value();
  }
  for (std::size_t i = 0; i < tokens.size(); ++i) addition.add(tokens[i], records[i]);
  // Reachable and added as the call leaves them: a later token can complete
  // an earlier one.
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    ReachableRecord& r = records[i];
    r.added = !present[i] && encoder->find(r.token).has_value();
    r.reachable = addition.reachable(r.token);
    if (r.reachable) {
      r.reason.reset();
    } else if (!r.reason) {
      std::string list;
      for (const std::string& p : addition.pieces(r.token)) list += (list.empty() ? "'" : ", '") + p + "'";
      r.reason = "it encodes as [" + list + "]";
    }
  }
  if (place && view.vocab().size() > model_size) place_outside_after(editor, static_cast<TokenId>(view.vocab().size()));
  editor.restore_encoder(std::move(encoder));
  return records;
}

}  // namespace quorvane

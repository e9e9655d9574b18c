#include "editor/addition/addition.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <vector>

namespace quorvane {

namespace {

constexpr std::string_view kAlreadyExists = "already_exists";
constexpr std::string_view kSingleChar = "single_char";
constexpr std::string_view kLongestPrefix = "longest_prefix";
constexpr std::string_view kCharChain = "char_chain";

class Adder {
 public:
  explicit Adder(Editor& editor) : editor_(editor), index_(editor.merge_index()) {}

  // Inserts `token` with a new id unless present; returns the arena's view of it.
  std::string_view ensure(std::string_view token) {
    Vocabulary& vocab = editor_.vocab();
    if (vocab.contains(token)) return token;
    const std::string_view stored = editor_.store(token);
    vocab.insert(stored, editor_.allocate_id());
    return stored;
  }

  void append_merge(std::string_view left, std::string_view right) {
    auto store = [this](std::string_view s) { return editor_.store(s); };
    if (index_.append_if_absent(left, right, editor_.merges(), store)) {
      added_.emplace_back(std::string(left), std::string(right));
    }
  }

  // Builds `text` character by character: (c1, c2), (c1c2, c3), ...
  void char_chain(std::string_view text) {
    if (text.empty()) return;
    const std::vector<std::size_t> bounds = char_boundaries(text);
    ensure(text.substr(0, bounds[1]));
    for (std::size_t i = 1; i + 1 < bounds.size(); ++i) {
      const std::string_view current = text.substr(0, bounds[i]);
      const std::string_view next = text.substr(bounds[i], bounds[i + 1] - bounds[i]);
      ensure(next);
      append_merge(current, next);
      ensure(text.substr(0, bounds[i + 1]));
    }
  }

  std::vector<std::pair<std::string, std::string>> take_added() { return std::move(added_); }

 private:
  Editor& editor_;
  MergeIndex& index_;
  std::vector<std::pair<std::string, std::string>> added_;
};

// Bytes of the longest proper prefix of `token` (cut at a character
// boundary) that is in the Vocabulary, or 0. Only prefixes as long as some
// token are looked up, so a huge token costs a few hashes, not one per prefix.
std::size_t longest_prefix_bytes(const Editor& editor, std::string_view token,
                                 const std::vector<std::size_t>& bounds) {
  const Vocabulary& vocab = editor.vocab();
  const std::vector<std::size_t>& lengths = vocab.token_lengths();  // longest first
  // Start at the first length shorter than the token.
  for (auto it = std::upper_bound(lengths.begin(), lengths.end(), token.size(), std::greater<>());
       it != lengths.end() && *it > 0; ++it) {
    if (!std::binary_search(bounds.begin(), bounds.end(), *it)) continue;
    if (vocab.contains(token.substr(0, *it))) return *it;
  }
  return 0;
}

}  // namespace

namespace {

// Bytes that a character chain over token[from..] stores: each prefix of that
// part and each character, then the token itself.
std::size_t chain_bytes(std::string_view token, const std::vector<std::size_t>& bounds, std::size_t from) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t total = 2 * token.size();
  for (std::size_t end : bounds) {
    if (end <= from) continue;
    const std::size_t part = end - from;
    total = part > kMax - total ? kMax : total + part;
  }
  return total;
}

}  // namespace

std::size_t addition_bytes(const Editor& editor, std::string_view token) {
  if (editor.vocab().contains(token)) return 0;
  const std::vector<std::size_t> bounds = char_boundaries(token);
  if (bounds.size() <= 2) return token.size();
  const std::size_t prefix = longest_prefix_bytes(editor, token, bounds);
  if (prefix > 0 && editor.vocab().contains(token.substr(prefix))) return token.size();
  return chain_bytes(token, bounds, prefix);
}

std::size_t addition_bytes_worst(std::string_view token) {
  return chain_bytes(token, char_boundaries(token), 0);
}

bool add_token_atomic(Editor& editor, std::string_view token) {
  Vocabulary& vocab = editor.vocab();
  if (vocab.contains(token)) return false;
  vocab.insert(editor.store(token), editor.allocate_id());
  return true;
}

AdditionRecord add_token(Editor& editor, std::string_view token) {
  AdditionRecord record;
  record.token = std::string(token);
  if (editor.vocab().contains(token)) {
    record.method = kAlreadyExists;
    return record;
  }
  record.added = true;
  const std::vector<std::size_t> bounds = char_boundaries(token);
  const std::size_t n = bounds.size() - 1;
  if (n == 1) {
    add_token_atomic(editor, token);
    record.method = kSingleChar;
    return record;
  }

  const std::size_t prefix_bytes = longest_prefix_bytes(editor, token, bounds);
  Adder adder(editor);
  if (prefix_bytes > 0) {
    const std::string_view prefix = token.substr(0, prefix_bytes);
    const std::string_view suffix = token.substr(prefix_bytes);
    if (!editor.vocab().contains(suffix)) adder.char_chain(suffix);
    adder.append_merge(prefix, suffix);
    adder.ensure(token);
    record.method = kLongestPrefix;
  } else {
    adder.char_chain(token);
    adder.ensure(token);
    record.method = kCharChain;
  }
  record.added_merges = adder.take_added();
  return record;
}

}  // namespace quorvane

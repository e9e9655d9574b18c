#include "editor/learn/prune.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/base/parallel.h"
#include "editor/encode/encoder.h"
#include "editor/encode/unreachable.h"
#include "editor/management/queries/queries.h"
#include "editor/placement/placement.h"
#include "editor/reindex/reindex.h"

namespace quorvane {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Vocabulary-order positions by id, looked up for every merge that fires in
// encoding the vocabulary and every token of the text: a table indexed by id
// where the ids are dense enough (as in every real model), else a map. An id
// carried by several tokens gives its first position.
class Positions {
 public:
  Positions() = default;
  explicit Positions(const std::vector<TokenId>& ids) {
    const TokenId top = ids.empty() ? 0 : *std::max_element(ids.begin(), ids.end());
    if (top < 4 * ids.size() + 1024) {
      dense_.assign(static_cast<std::size_t>(top) + 1, kNone);
      for (std::size_t p = 0; p < ids.size(); ++p) {
        if (dense_[ids[p]] == kNone) dense_[ids[p]] = static_cast<std::uint32_t>(p);
      }
    } else {
      sparse_.reserve(ids.size());
      for (std::size_t p = 0; p < ids.size(); ++p) sparse_.try_emplace(ids[p], static_cast<std::uint32_t>(p));
    }
  }

  // The position of `id`, or kNone.
  std::uint32_t at(TokenId id) const {
    if (!dense_.empty()) return id < dense_.size() ? dense_[id] : kNone;
    auto it = sparse_.find(id);
    return it == sparse_.end() ? kNone : it->second;
  }

 private:
  std::vector<std::uint32_t> dense_;
  boost::unordered_flat_map<TokenId, std::uint32_t> sparse_;
};

// The structure over the vocabulary, by Vocabulary-order position.
struct Structure {
  std::vector<std::string_view> tokens;
  std::vector<TokenId> ids;
  std::vector<std::uint32_t> users;        // how many encodings take it as an input
  std::vector<std::uint32_t> input_begin;  // its encoding's inputs: inputs[input_begin[p] .. input_begin[p + 1])
  std::vector<std::uint32_t> inputs;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> children;  // its last merge's inputs, or kNone
  std::vector<char> removable;  // not vector<bool>: threads set neighbouring entries
  Positions positions;          // of the ids
};

// A token with the model's continuing prefix and end-of-word suffix taken
// off: a single character spelled as the model spells it inside or at the end
// of a word ("##e", "e</w>") is a character the encoder cannot do without.
std::string_view spelled_char(std::string_view t, const Encoder& encoder) {
  if (const std::string& p = encoder.prefix(); !p.empty() && t.size() > p.size() && t.starts_with(p)) {
    t.remove_prefix(p.size());
  }
  if (const std::string& x = encoder.suffix(); !x.empty() && t.size() > x.size() && t.ends_with(x)) {
    t.remove_suffix(x.size());
  }
  return t;
}

Structure read_structure(const Editor& editor, const std::vector<std::string>& keep) {
  const Encoder& encoder = editor.encoder();
  const WholeTokens whole(editor);
  const boost::unordered_flat_set<std::string_view, StringHash, StringEq> kept(keep.begin(), keep.end());
  const std::vector<VocabEntry>& sorted = editor.vocab().sorted();
  Structure s;
  const std::size_t n = sorted.size();
  s.tokens.reserve(n);
  s.ids.reserve(n);
  for (std::size_t p = 0; p < n; ++p) {
    s.tokens.push_back(sorted[p].token);
    s.ids.push_back(sorted[p].id);
  }
  s.positions = Positions(s.ids);
  auto at = [&](TokenId id) { return s.positions.at(id); };
  s.users.assign(n, 0);
  s.children.assign(n, {kNone, kNone});
  s.removable.assign(n, 0);
  // Every token's own string is encoded on its own, so the tokens are shared
  // out among threads; each part keeps its tokens' inputs, joined in order after.
  const std::size_t parts = std::min<std::size_t>(usable_cores(), 1 + n / 4096);
  std::vector<std::vector<std::uint32_t>> part_inputs(parts);
  std::vector<std::vector<std::uint32_t>> part_counts(parts);  // inputs per token of the part
  parallel_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
    Encoder::Scratch scratch;
    std::vector<Encoder::Symbol> symbols;
    std::vector<std::pair<TokenId, TokenId>> fired;
    std::vector<std::uint32_t>& inputs = part_inputs[part];
    std::vector<std::uint32_t>& counts = part_counts[part];
    counts.reserve(end - begin);
    for (std::size_t p = begin; p < end; ++p) {
      const std::string_view t = s.tokens[p];
      const bool unk = encoder.unk_token() && t == *encoder.unk_token();
      s.removable[p] = !(is_single_char(spelled_char(t, encoder)) || unk || is_special_token(t) ||
                         whole.contains(t) || kept.contains(t));
      const std::size_t before = inputs.size();
      // Always the merges' own path, also under ignore_merges: it is how the
      // token is built inside longer words.
      fired.clear();
      if (encoder.split(t, symbols)) {
        encoder.merge_all(symbols, &fired, scratch);
        for (const auto& [l, r] : fired) {
          for (const std::uint32_t q : {at(l), at(r)}) {
            if (q != kNone) inputs.push_back(q);
          }
        }
        if (!fired.empty() && symbols.size() == 1 && symbols[0].id == s.ids[p]) {
          s.children[p] = {at(fired.back().first), at(fired.back().second)};
        }
      }
      counts.push_back(static_cast<std::uint32_t>(inputs.size() - before));
    }
  });
  s.input_begin.reserve(n + 1);
  for (std::size_t part = 0; part < parts; ++part) {
    std::size_t at_input = 0;
    for (const std::uint32_t count : part_counts[part]) {
      s.input_begin.push_back(static_cast<std::uint32_t>(s.inputs.size()));
      for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t q = part_inputs[part][at_input++];
        s.inputs.push_back(q);
        ++s.users[q];
      }
    }
  }
  s.input_begin.push_back(static_cast<std::uint32_t>(s.inputs.size()));
  return s;
}

}  // namespace

Result<PruneRecord> prune_leaves(Editor& editor, const PruneOptions& options) {
  Structure s = read_structure(editor, options.keep);
  const std::size_t n = s.tokens.size();
  std::vector<std::uint64_t> use(n, 0);
  if (options.words != nullptr) {
    const Encoder& encoder = editor.encoder();
    const WordCounts& words = *options.words;
    const std::size_t parts = std::min<std::size_t>(usable_cores(), 1 + words.size() / 4096);
    std::vector<std::vector<std::uint64_t>> part_use(parts);
    parallel_ranges(words.size(), parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
      std::vector<std::uint64_t>& mine = part == 0 ? use : part_use[part];
      mine.resize(n, 0);
      Encoder::Scratch scratch;
      std::vector<TokenId> ids;
      for (std::size_t w = begin; w < end; ++w) {
        if (!encoder.tokenize(words[w].first, ids, scratch)) continue;
        for (TokenId id : ids) {
          if (const std::uint32_t p = s.positions.at(id); p != kNone) mine[p] += words[w].second;
        }
      }
    });
    for (std::size_t part = 1; part < parts; ++part) {
      for (std::size_t p = 0; p < n; ++p) use[p] += part_use[part][p];
    }
  }

  // Least use on top, then the highest id (without text all uses are 0).
  auto later = [&](std::uint32_t a, std::uint32_t b) {
    return use[a] != use[b] ? use[a] > use[b] : s.ids[a] < s.ids[b];
  };
  std::vector<std::uint32_t> heap;
  for (std::uint32_t p = 0; p < n; ++p) {
    if (s.users[p] == 0 && s.removable[p]) heap.push_back(p);
  }
  std::make_heap(heap.begin(), heap.end(), later);
  std::vector<std::uint32_t> chosen;
  while (chosen.size() < options.count && !heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const std::uint32_t p = heap.back();
    heap.pop_back();
    chosen.push_back(p);
    if (const auto [l, r] = s.children[p]; l != kNone && r != kNone) {
      use[l] += use[p];
      use[r] += use[p];
    }
    for (std::uint32_t i = s.input_begin[p]; i < s.input_begin[p + 1]; ++i) {
      const std::uint32_t q = s.inputs[i];
      if (--s.users[q] == 0 && s.removable[q]) {
        heap.push_back(q);
        std::push_heap(heap.begin(), heap.end(), later);
      }
    }
  }
  if (chosen.size() < options.count) {
    return fail("Only " + std::to_string(chosen.size()) + " tokens can be pruned (" +
                std::to_string(options.count) + " asked for)");
  }

  // The leaves go alone, with the merges that name them as an input or a
  // product. A merge of the list taking a leaf as an input can still name a
  // product that other merges build; the product stays (a cascade would take
  // it, and everything built on it), and the merge can never fire again
  // anyway, since no text leaves the leaf behind any more.
  PruneRecord record;
  record.selected.reserve(chosen.size());
  const std::string prefix = editor.encoder().prefix();  // a copy: the next mutable access drops the encoder
  boost::unordered_flat_set<std::string, StringHash, StringEq> gone;
  for (std::uint32_t p : chosen) {
    record.selected.emplace_back(s.tokens[p]);
    gone.emplace(s.tokens[p]);
  }
  std::string product;
  std::vector<Merge>& merges = editor.merges();
  const std::size_t merges_before = merges.size();
  std::erase_if(merges, [&](const Merge& m) {
    if (gone.contains(m.left) || gone.contains(m.right)) return true;
    if (m.right.size() < prefix.size()) return false;  // not this edit's to judge
    product.assign(m.left).append(m.right.substr(prefix.size()));
    return gone.contains(product);
  });
  record.merges_removed = merges_before - merges.size();
  for (const std::string& token : record.selected) {
    if (const std::optional<TokenId> id = editor.vocab().erase(token)) editor.release_id(*id);
  }
  record.tokens_removed = record.selected.size();
  editor.rebuild_merge_indexes();
  if (options.close_gaps) {
    record.ids_remapped = reindex_vocab(editor).ids_remapped;
    if (places_after_model(editor)) {
      record.moved_added_tokens = place_outside_after(editor, static_cast<TokenId>(editor.vocab().size()));
    }
  }
  return record;
}

}  // namespace quorvane

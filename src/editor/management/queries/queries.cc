#include "editor/management/queries/queries.h"

#include <algorithm>
#include <map>

namespace quorvane {

std::optional<std::string_view> token_by_id(const Editor& editor, TokenId id) {
  // The first in Vocabulary order: the smallest token bytes among those with
  // this id, found without sorting the whole vocabulary.
  std::optional<std::string_view> best;
  editor.vocab().for_each([&](const VocabEntry& e) {
    if (e.id == id && (!best || e.token < *best)) best = e.token;
  });
  return best;
}

std::vector<VocabEntry> single_char_tokens(const Editor& editor) {
  std::vector<VocabEntry> out;
  editor.vocab().for_each([&](const VocabEntry& e) {
    if (is_single_char(e.token)) out.push_back(e);
  });
  sort_by_token(out);
  return out;
}

TokenizerStats get_stats(const Editor& editor) {
  TokenizerStats stats;
  const Vocabulary& vocab = editor.vocab();
  stats.vocab_size = vocab.size();
  stats.merges_count = editor.merges().size();
  std::map<std::uint64_t, std::uint64_t> lengths;
  bool first = true;
  vocab.for_each([&](const VocabEntry& e) {
    const std::size_t chars = char_count(e.token);
    ++lengths[chars];
    stats.single_char_count += chars == 1;
    stats.special_token_count += is_special_token(e.token);
    if (first) {
      stats.min_token_id = stats.max_token_id = e.id;
      first = false;
    } else {
      stats.min_token_id = std::min(stats.min_token_id, e.id);
      stats.max_token_id = std::max(stats.max_token_id, e.id);
    }
  });
  stats.length_distribution.assign(lengths.begin(), lengths.end());
  return stats;
}

ValidationReport validate_merges(const Editor& editor) {
  ValidationReport report;
  const Vocabulary& vocab = editor.vocab();
  std::string product;
  const std::vector<Merge>& merges = editor.merges();
  for (std::size_t p = 0; p < merges.size(); ++p) {
    const Merge& m = merges[p];
    product.assign(m.left);
    product.append(m.right);
    if (vocab.contains(product)) {
      ++report.valid_count;
    } else {
      ++report.invalid_count;
      report.invalid_merges.push_back({p, std::string(m.left), std::string(m.right)});
    }
  }
  return report;
}

std::uint64_t remove_invalid_merges(Editor& editor) {
  const Vocabulary& vocab = editor.vocab();
  std::vector<Merge>& merges = editor.merges();
  std::string product;
  auto invalid = [&](const Merge& m) {
    product.assign(m.left);
    product.append(m.right);
    return !vocab.contains(product);
  };
  const auto kept_end = std::remove_if(merges.begin(), merges.end(), invalid);
  const std::uint64_t removed = static_cast<std::uint64_t>(merges.end() - kept_end);
  if (removed == 0) return 0;
  merges.erase(kept_end, merges.end());
  editor.rebuild_merge_indexes();
  return removed;
}

}  // namespace quorvane

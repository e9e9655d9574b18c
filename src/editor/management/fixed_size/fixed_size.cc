#include "editor/management/fixed_size/fixed_size.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>

#include "editor/addition/addition.h"
#include "editor/management/queries/queries.h"
#include "editor/reindex/reindex.h"
#include "editor/removal/removal.h"
#include "editor/shrink/shrink.h"

namespace quorvane {

namespace {

constexpr std::string_view kSpaceMarker = "\xE2\x96\x81";  // U+2581

// A character is at most four bytes: longer tokens need no count.
bool single_char(std::string_view token) { return token.size() <= 4 && is_single_char(token); }

std::string concat(std::string_view a, std::string_view b) {
  std::string s;
  s.reserve(a.size() + b.size());
  s.append(a).append(b);
  return s;
}

}  // namespace

ProtectedSet build_protected_set(const Editor& editor, const std::vector<std::string>* whitelist) {
  ProtectedSet set;
  if (whitelist != nullptr) set.insert(whitelist->begin(), whitelist->end());
  editor.vocab().for_each([&](const VocabEntry& e) {
    if (single_char(e.token) || is_special_token(e.token)) set.emplace(e.token);
  });
  set.emplace(kSpaceMarker);
  return set;
}

// ---- VictimQueue

VictimQueue::VictimQueue(Editor& editor, const ProtectedSet& protected_set)
    : editor_(editor), protected_(protected_set) {
  for (const std::string& t : protected_) {
    if (!single_char(t) && !is_special_token(t)) protects_other_shapes_ = true;
  }
  std::map<std::uint64_t, std::vector<std::string_view>, std::greater<>> by_length;
  editor.vocab().for_each([&](const VocabEntry& e) {
    const std::size_t length = char_count(e.token);
    const bool shaped = length == 1 || is_special_token(e.token);
    if ((shaped || protects_other_shapes_) && protected_.contains(e.token)) return;
    by_length[length].push_back(e.token);
  });
  buckets_.assign(std::make_move_iterator(by_length.begin()), std::make_move_iterator(by_length.end()));
}

bool VictimQueue::is_protected(std::string_view token) const {
  // Most tokens are of ordinary shape and the set then holds none: no lookup.
  if (!protects_other_shapes_ && !single_char(token) && !is_special_token(token)) return false;
  return protected_.contains(token);
}

void VictimQueue::push(std::uint64_t length, std::string_view token) {
  heap_.push_back({length, produced(token), token});
  std::push_heap(heap_.begin(), heap_.end(), evicted_later);
}

void VictimQueue::load_buckets() {
  const Vocabulary& vocab = editor_.vocab();
  while (next_bucket_ < buckets_.size() &&
         (heap_.empty() || buckets_[next_bucket_].first >= heap_.front().length)) {
    auto& [length, tokens] = buckets_[next_bucket_++];
    for (std::string_view t : tokens) {
      if (vocab.contains(t)) push(length, t);
    }
    std::vector<std::string_view>().swap(tokens);
  }
}

bool VictimQueue::evicted_later(const Entry& a, const Entry& b) {
  if (a.length != b.length) return a.length < b.length;
  if (a.produced != b.produced) return !a.produced;
  return a.token > b.token;
}

bool VictimQueue::produced(std::string_view token) {
  MergeIndex& index = editor_.merge_index();
  const auto symbol = index.find(token);
  return symbol && index.first_producer(*symbol).has_value();
}

void VictimQueue::refresh(std::string_view token) {
  if (is_protected(token) || !editor_.vocab().contains(token)) return;
  // The caller's string may die before the entry does.
  const std::string_view kept = owned_.emplace_back(token);
  push(char_count(kept), kept);
}

void VictimQueue::before_addition(std::string_view token) {
  pending_.clear();
  const Vocabulary& vocab = editor_.vocab();
  if (vocab.contains(token)) return;  // add_token changes nothing
  // add_token inserts only the token, its characters, prefixes of the token
  // (a chain over the whole token) and prefixes of what follows the longest
  // prefix already present (a chain over that rest).
  const std::vector<std::size_t> bounds = char_boundaries(token);
  const std::size_t n = bounds.size() - 1;
  std::size_t split = 0;
  for (std::size_t k = n; k-- > 1;) {
    if (vocab.contains(token.substr(0, bounds[k]))) {
      split = bounds[k];
      break;
    }
  }
  auto consider = [&](std::string_view s) {
    if (!vocab.contains(s)) pending_.emplace_back(s);
  };
  consider(token);
  for (std::size_t i = 0; i < n; ++i) consider(token.substr(bounds[i], bounds[i + 1] - bounds[i]));
  if (n < 2) return;
  for (std::size_t j = 2; j < n; ++j) consider(token.substr(0, bounds[j]));
  if (split == 0) return;
  for (std::size_t j = 0; j <= n; ++j) {
    if (bounds[j] > split) consider(token.substr(split, bounds[j] - split));
  }
}

void VictimQueue::note_addition(const std::vector<std::pair<std::string, std::string>>& added_merges) {
  for (const std::string& s : pending_) refresh(s);
  pending_.clear();
  // Tokens that were there already and now have a producer.
  for (const auto& [left, right] : added_merges) refresh(concat(left, right));
}

void VictimQueue::note_removal(const std::vector<std::pair<std::string, std::string>>& removed_merges) {
  // A cascade takes every product of the merges it deletes, so normally none
  // of these is left; one that is may have lost its last producer.
  for (const auto& [left, right] : removed_merges) refresh(concat(left, right));
}

std::optional<std::string_view> VictimQueue::pop_victim() {
  const Vocabulary& vocab = editor_.vocab();
  while (true) {
    load_buckets();
    if (heap_.empty()) return std::nullopt;
    std::pop_heap(heap_.begin(), heap_.end(), evicted_later);
    const Entry top = heap_.back();
    heap_.pop_back();
    if (vocab.contains(top.token) && produced(top.token) == top.produced) return top.token;
  }
}

// ---- add_tokens_keep_size

KeepSizeRecord add_tokens_keep_size(Editor& editor, std::span<const std::string> tokens,
                                    const std::vector<std::string>* whitelist) {
  KeepSizeRecord record;
  const std::uint64_t start = editor.vocab().size();
  record.initial_vocab_size = start;
  record.tokens_requested = tokens.size();
  const ProtectedSet protected_set = build_protected_set(editor, whitelist);
  // Built at the first eviction: a call that never grows past its start pays
  // nothing for it.
  std::optional<VictimQueue> queue;
  for (const std::string& token : tokens) {
    if (editor.vocab().contains(token)) continue;
    if (queue) queue->before_addition(token);
    const AdditionRecord added = add_token(editor, token);
    ++record.tokens_added;
    if (queue) queue->note_addition(added.added_merges);
    // At most one victim per added element: an addition that inserts
    // several entries (characters, chain steps) leaves the vocabulary larger,
    // and a cascade that takes several leaves it smaller.
    if (editor.vocab().size() > start) {
      if (!queue) queue.emplace(editor, protected_set);
      if (const auto victim = queue->pop_victim()) {
        const RemovalRecord removed = cascade_remove(editor, *victim);
        ++record.tokens_removed;
        queue->note_removal(removed.removed_merges);
      }
    }
  }
  editor.commit_merges();
  record.final_vocab_size = editor.vocab().size();
  return record;
}

// ---- sync_single_chars

namespace {

using Clock = ProgressOutput::Clock;

// Seconds as whole seconds plus the nanosecond part.
double seconds(Clock::duration d) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - whole);
  return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
}

// Whole milliseconds: whole seconds * 1000 plus the nanosecond part / 10^6.
std::int64_t whole_millis(Clock::duration d) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - whole);
  return whole.count() * 1000 + nanos.count() / 1000000;
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char buffer[256];
  const int n = std::snprintf(buffer, sizeof buffer, pattern, args...);
  return std::string(buffer, static_cast<std::size_t>(std::max(n, 0)));
}

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

std::string progress_line(std::uint64_t done, std::uint64_t total, Clock::duration since_start) {
  const double elapsed = seconds(since_start);
  const double fraction = static_cast<double>(done) / static_cast<double>(total);
  const double eta = fraction > 0 ? elapsed / fraction - elapsed : 0.0;
  return format("\r   [%5.1f%%] %llu/%llu removed | Elapsed: %.1fs | ETA: %.1fs    ", fraction * 100.0,
                ull(done), ull(total), elapsed, eta);
}

}  // namespace

SyncRecord sync_single_chars(Editor& editor, std::span<const VocabEntry> source_chars, TokenId min_id,
                             const ProgressOutput& output) {
  SyncRecord record;
  const Vocabulary& vocab = editor.vocab();
  record.initial_vocab_size = vocab.size();
  record.chars_in_source = source_chars.size();
  std::vector<std::string_view> missing;
  for (const VocabEntry& e : source_chars) {
    if (!vocab.contains(e.token)) missing.push_back(e.token);
  }
  const std::uint64_t m = missing.size();
  record.chars_already_present = source_chars.size() - m;
  if (m == 0) {
    record.final_vocab_size = vocab.size();
    return record;
  }
  record.chars_added_count = m;

  output.write(format("\n   Pre-computing %llu tokens to remove...\n", ull(m)));
  const std::vector<ShrinkCandidate> candidates = select_shrink_candidates(editor, m, min_id);
  const std::uint64_t f = candidates.size();
  output.write(format("   Found %llu candidate tokens for removal\n", ull(f)));
  if (f < m) output.write(format("   WARNING: Only found %llu tokens to remove, but need %llu\n", ull(f), ull(m)));

  output.write(format("\n   Phase 1: Removing %llu tokens...\n", ull(f)));
  const Clock::time_point start = output.now();
  Clock::time_point last_report = start;
  std::uint64_t done = 0;
  for (const ShrinkCandidate& c : candidates) {
    ++done;
    // Taken by an earlier cascade: nothing to do and nothing to report.
    if (!vocab.contains(c.token)) continue;
    const RemovalCounts removed = cascade_remove_counted(editor, c.token);
    record.total_tokens_removed += removed.tokens;
    record.total_merges_removed += removed.merges;
    const Clock::time_point now = output.now();
    if (whole_millis(now - last_report) >= 100 || done == f) {
      output.write(progress_line(done, f, now - start));
      last_report = now;
    }
  }
  editor.commit_merges();
  output.write("\n");

  output.write(format("\n   Phase 2: Adding %llu single-char tokens...\n", ull(m)));
  const Clock::time_point adding = output.now();
  for (std::string_view token : missing) add_token_atomic(editor, token);
  output.write(format("   Added %llu tokens in %.2fs\n", ull(m), seconds(output.now() - adding)));

  output.write("\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n");
  const ReindexRecord reindexed = reindex_vocab(editor);
  output.write(format("   Reindexed %llu IDs, removed %llu gaps\n", ull(reindexed.ids_remapped),
                      ull(reindexed.gaps_removed)));
  record.final_vocab_size = vocab.size();
  return record;
}

Result<SyncRecord> sync_single_chars(Editor& editor, const std::string& source_path, TokenId min_id,
                                     const ProgressOutput& output) {
  Result<Editor> source = open_editor(source_path);
  if (!source) return std::unexpected(std::move(source.error()));
  const std::vector<VocabEntry> chars = single_char_tokens(*source);
  return sync_single_chars(editor, chars, min_id, output);
}

}  // namespace quorvane

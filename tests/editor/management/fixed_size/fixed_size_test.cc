#include "editor/management/fixed_size/fixed_size.h"

#include <gtest/gtest.h>

#include "editor/management/document/json_writer.h"
#include "editor/reindex/reindex.h"
#include "../../test_util.h"

namespace quorvane {
namespace {

using testing::bpe_json;
using testing::tiny_bpe;
using Tokens = std::vector<std::string>;

std::string text(const Editor& editor) { return write_document(editor.document(), KeyOrder::kDeclared); }

// ---- add_tokens_keep_size

TEST(KeepSize, EmptyListAndDuplicates) {
  Editor editor = tiny_bpe({"a", "b", "ab"}, {{"a", "b"}});
  KeepSizeRecord r = add_tokens_keep_size(editor, Tokens{}, nullptr);
  EXPECT_EQ(r.initial_vocab_size, 3u);
  EXPECT_EQ(r.final_vocab_size, 3u);
  EXPECT_EQ(r.tokens_requested + r.tokens_added + r.tokens_removed, 0u);

  // The second 'x' is present when reached; 'x' itself (a character added
  // during the call) is the only unprotected candidate besides 'ab'.
  r = add_tokens_keep_size(editor, Tokens{"x", "x"}, nullptr);
  EXPECT_EQ(r.tokens_requested, 2u);
  EXPECT_EQ(r.tokens_added, 1u);
  EXPECT_EQ(r.tokens_removed, 1u);
  EXPECT_FALSE(editor.vocab().contains("ab"));
  EXPECT_EQ(r.final_vocab_size, 3u);
}

TEST(KeepSize, AtMostOneVictimPerAddedElement) {
  // 'xyz' inserts x, y, xy, z and xyz: five entries, yet one victim, the
  // first of the four-character tokens by bytes.
  Editor editor = tiny_bpe({"a", "b", "c", "abca", "bcab", "cabc", "abcb", "bcac", "ab"});
  const KeepSizeRecord r = add_tokens_keep_size(editor, Tokens{"xyz"}, nullptr);
  EXPECT_EQ(r.tokens_added, 1u);
  EXPECT_EQ(r.tokens_removed, 1u);
  EXPECT_EQ(r.final_vocab_size, r.initial_vocab_size + 4);
  EXPECT_FALSE(editor.vocab().contains("abca"));
  for (const char* t : {"x", "y", "xy", "z", "xyz", "bcab", "ab"}) EXPECT_TRUE(editor.vocab().contains(t)) << t;
}

TEST(KeepSize, PresentElementsNeverEvictEvenAboveTheStartingSize) {
  // With 'z' and 'zz' kept, nothing is left to evict after 'zz' is added;
  // the present 'a' that follows removes nothing either.
  Editor editor = tiny_bpe({"a", "b"});
  const Tokens whitelist = {"z", "zz"};
  const KeepSizeRecord r = add_tokens_keep_size(editor, Tokens{"zz", "a"}, &whitelist);
  EXPECT_EQ(r.tokens_added, 1u);
  EXPECT_EQ(r.tokens_removed, 0u);
  EXPECT_EQ(r.final_vocab_size, 4u);
}

// The victim of adding one new character 'q' (which is itself a candidate,
// but shorter than every other one).
std::vector<std::string> victims_of_adding_q(const Tokens& vocab, const std::vector<std::pair<std::string, std::string>>& merges) {
  Editor editor = tiny_bpe(vocab, merges);
  add_tokens_keep_size(editor, Tokens{"q"}, nullptr);
  std::vector<std::string> gone;
  for (const std::string& t : vocab) {
    if (!editor.vocab().contains(t)) gone.push_back(t);
  }
  return gone;
}

TEST(KeepSize, VictimOrderIsLengthThenMergeProducedThenBytes) {
  const Tokens chars = {"a", "b", "c", "d", "e", "w", "x", "y", "z"};
  auto with = [&](Tokens more) {
    more.insert(more.begin(), chars.begin(), chars.end());
    return more;
  };
  EXPECT_EQ(victims_of_adding_q(with({"abcd", "wxyz", "abc", "wx", "yz"}), {{"wx", "yz"}}), Tokens{"wxyz"});
  EXPECT_EQ(victims_of_adding_q(with({"abcd", "abc", "wx", "yz"}), {{"wx", "yz"}}), Tokens{"abcd"});
  EXPECT_EQ(victims_of_adding_q(with({"abce", "abcd", "abc"}), {{"abc", "e"}, {"abc", "d"}}), Tokens{"abcd"});
  // Length counts characters: 'éé' (4 bytes) loses to 'abc' (3 bytes).
  EXPECT_EQ(victims_of_adding_q({"a", "b", "c", "\xC3\xA9", "\xC3\xA9\xC3\xA9", "abc"}, {}), Tokens{"abc"});
}

TEST(KeepSize, ProtectedTokensAreNeverVictims) {
  // Left unprotected: only what the call adds. 'ab' is evicted at once.
  Editor editor = tiny_bpe({"a", "b", "<s>", "[PAD]", "<>", "keep", "\xE2\x96\x81x"});
  const Tokens whitelist = {"keep", "\xE2\x96\x81x"};
  KeepSizeRecord r = add_tokens_keep_size(editor, Tokens{"ab"}, &whitelist);
  EXPECT_EQ(r.tokens_removed, 1u);
  EXPECT_FALSE(editor.vocab().contains("ab"));
  EXPECT_EQ(r.final_vocab_size, r.initial_vocab_size);

  // "▁" is protected even though it was absent when the set was built: with
  // nothing else to evict, the vocabulary grows.
  r = add_tokens_keep_size(editor, Tokens{"\xE2\x96\x81"}, &whitelist);
  EXPECT_EQ(r.tokens_removed, 0u);
  EXPECT_EQ(r.final_vocab_size, r.initial_vocab_size + 1);
  for (const char* t : {"a", "b", "<s>", "[PAD]", "<>", "keep"}) EXPECT_TRUE(editor.vocab().contains(t)) << t;
}

TEST(KeepSize, ProtectionIsFixedWhenTheCallStarts) {
  // '<ab>' is special-shaped but added during the call: a candidate like any
  // other, and the longest one.
  Editor editor = tiny_bpe({"a", "b", "<", ">", "ab"});
  add_tokens_keep_size(editor, Tokens{"<ab>"}, nullptr);
  EXPECT_FALSE(editor.vocab().contains("<ab>"));
  EXPECT_TRUE(editor.vocab().contains("ab"));
}

TEST(KeepSize, CascadesCanLeaveTheVocabularyBelowItsStart) {
  // 'abc' is whitelisted, yet the cascade of the victim 'ab' takes it along.
  Editor editor = tiny_bpe({"a", "b", "c", "ab", "abc"}, {{"a", "b"}, {"ab", "c"}});
  const Tokens whitelist = {"abc"};
  const KeepSizeRecord r = add_tokens_keep_size(editor, Tokens{"q"}, &whitelist);
  EXPECT_EQ(r.tokens_removed, 1u);
  EXPECT_EQ(r.final_vocab_size, r.initial_vocab_size - 1);
  EXPECT_TRUE(editor.merges().empty());  // committed
}

TEST(KeepSize, TokensGainingAProducerDuringTheCallMoveAhead) {
  // 'zz' brings z and zz and the merge (z, z): the merge-produced 'zz' goes
  // first, and the queue exists from then on. Adding 'pefx' chains over 'efx',
  // appending (e, f): the present 'ef' becomes merge-produced and goes before
  // 'ab' and 'cd', which sort first by bytes. Its cascade takes 'efx' and
  // 'pefx' along.
  Editor editor = tiny_bpe({"a", "b", "c", "d", "e", "f", "p", "x", "ab", "cd", "ef"});
  const Tokens whitelist = {"pefx", "efx"};
  const KeepSizeRecord r = add_tokens_keep_size(editor, Tokens{"zz", "pefx"}, &whitelist);
  EXPECT_EQ(r.tokens_removed, 2u);
  EXPECT_FALSE(editor.vocab().contains("zz"));
  EXPECT_FALSE(editor.vocab().contains("ef"));
  EXPECT_TRUE(editor.vocab().contains("ab"));
  EXPECT_TRUE(editor.vocab().contains("cd"));
  EXPECT_EQ(r.final_vocab_size, r.initial_vocab_size);
}

// ---- sync_single_chars

struct Captured {
  std::string text;
  ProgressOutput::Clock::time_point clock{};
  std::chrono::milliseconds step{0};

  ProgressOutput output() {
    return {[this](std::string_view s) { text.append(s); },
            [this] {
              clock += step;
              return clock;
            }};
  }
};

std::vector<VocabEntry> chars(const Tokens& tokens) {
  std::vector<VocabEntry> out;
  for (const std::string& t : tokens) out.push_back({t, 0});
  return out;
}

// Long tokens with ids 3..9 and a gap at 10; ids 0..2 are characters.
Editor target() {
  return std::move(*editor_from_json(bpe_json(
      {{"a", 0}, {"b", 1}, {"c", 2}, {"ab", 3}, {"bc", 4}, {"ca", 5}, {"abc", 6}, {"bca", 7}, {"cab", 8},
       {"abca", 9}, {"cc", 11}},
      {{"a", "b"}, {"b", "c"}, {"ab", "c"}, {"abc", "a"}})));
}

TEST(SyncSingleChars, NothingMissingWritesAndChangesNothing) {
  Editor editor = target();
  const std::string before = text(editor);
  const Tokens source = {"a", "c"};
  Captured out;
  const SyncRecord r = sync_single_chars(editor, chars(source), 0, out.output());
  EXPECT_EQ(out.text, "");
  EXPECT_EQ(text(editor), before);  // not even reindexed
  EXPECT_EQ(r.initial_vocab_size, 11u);
  EXPECT_EQ(r.final_vocab_size, 11u);
  EXPECT_EQ(r.chars_in_source, 2u);
  EXPECT_EQ(r.chars_already_present, 2u);
  EXPECT_EQ(r.chars_added_count + r.total_tokens_removed + r.total_merges_removed, 0u);
}

TEST(SyncSingleChars, FullReportOfThreeQuickRemovals) {
  // Candidates: 'abca' (9), 'cab' (8), 'bca' (7). The cascade of 'abca' takes
  // its producer (abc, a) only.
  Editor editor = target();
  const Tokens source = {"a", "x", "y", "\xC3\xA9"};
  Captured out;
  const SyncRecord r = sync_single_chars(editor, chars(source), 0, out.output());
  EXPECT_EQ(out.text,
            "\n   Pre-computing 3 tokens to remove...\n"
            "   Found 3 candidate tokens for removal\n"
            "\n   Phase 1: Removing 3 tokens...\n"
            "\r   [100.0%] 3/3 removed | Elapsed: 0.0s | ETA: 0.0s    "
            "\n"
            "\n   Phase 2: Adding 3 single-char tokens...\n"
            "   Added 3 tokens in 0.00s\n"
            "\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n"
            "   Reindexed 4 IDs, removed 4 gaps\n");
  EXPECT_EQ(r.initial_vocab_size, 11u);
  EXPECT_EQ(r.final_vocab_size, 11u);
  EXPECT_EQ(r.chars_in_source, 4u);
  EXPECT_EQ(r.chars_already_present, 1u);
  EXPECT_EQ(r.chars_added_count, 3u);
  EXPECT_EQ(r.total_tokens_removed, 3u);
  EXPECT_EQ(r.total_merges_removed, 1u);
  EXPECT_FALSE(check_vocab_gaps(editor).has_gaps);
  // Added in source order with fresh ids, then moved down by the reindex.
  EXPECT_EQ(editor.vocab().find("x"), 8u);
  EXPECT_EQ(editor.vocab().find("\xC3\xA9"), 10u);
}

TEST(SyncSingleChars, ProgressLinesAreThrottledTo100Milliseconds) {
  // Six candidates and a clock that advances 50 ms per reading: the phase
  // starts at 50, the removals read 100, 150, ..., 350. A line is due once
  // 100 whole milliseconds have passed since the last one, and after the
  // last removal.
  Editor editor = tiny_bpe({"a", "b", "c", "d", "e", "f", "g", "h", "ab", "cd", "ef", "gh", "ac", "bd"});
  const Tokens source = {"1", "2", "3", "4", "5", "6"};
  Captured out;
  out.step = std::chrono::milliseconds(50);
  sync_single_chars(editor, chars(source), 0, out.output());
  const std::size_t from = out.text.find('\r');
  const std::size_t to = out.text.find("\n\n   Phase 2");
  EXPECT_EQ(out.text.substr(from, to - from),
            "\r   [ 33.3%] 2/6 removed | Elapsed: 0.1s | ETA: 0.2s    "
            "\r   [ 66.7%] 4/6 removed | Elapsed: 0.2s | ETA: 0.1s    "
            "\r   [100.0%] 6/6 removed | Elapsed: 0.3s | ETA: 0.0s    ");
  EXPECT_NE(out.text.find("   Added 6 tokens in 0.05s\n"), std::string::npos);
}

TEST(SyncSingleChars, MinIdAboveEveryIdWarnsAndGrows) {
  Editor editor = target();
  const Tokens source = {"x", "y"};
  Captured out;
  const SyncRecord r = sync_single_chars(editor, chars(source), 100, out.output());
  EXPECT_EQ(out.text,
            "\n   Pre-computing 2 tokens to remove...\n"
            "   Found 0 candidate tokens for removal\n"
            "   WARNING: Only found 0 tokens to remove, but need 2\n"
            "\n   Phase 1: Removing 0 tokens...\n"
            "\n"
            "\n   Phase 2: Adding 2 single-char tokens...\n"
            "   Added 2 tokens in 0.00s\n"
            "\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n"
            "   Reindexed 3 IDs, removed 1 gaps\n");
  EXPECT_EQ(r.final_vocab_size, r.initial_vocab_size + 2);
  EXPECT_EQ(r.total_tokens_removed, 0u);
}

TEST(SyncSingleChars, UnreadableSourceFailsBeforeAnyChange) {
  Editor editor = target();
  const std::string before = text(editor);
  Captured out;
  const Result<SyncRecord> r = sync_single_chars(editor, std::string("/nonexistent/tokenizer.json"), 0, out.output());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "Failed to read: /nonexistent/tokenizer.json");
  EXPECT_EQ(out.text, "");
  EXPECT_EQ(text(editor), before);
}

}  // namespace
}  // namespace quorvane

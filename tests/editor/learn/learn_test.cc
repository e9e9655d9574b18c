// Continued training and leaf pruning on small tokenizers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/encode/unreachable.h"
#include "editor/learn/extend.h"
#include "editor/learn/prune.h"
#include "editor/management/document/json_writer.h"
#include "../test_util.h"

namespace quorvane {
namespace {

using testing::pieces;
using testing::tiny_bpe;
using Pieces = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ExtendVocabulary, MergesTheMostFrequentPairsAndTheWordsComeOutAsTrained) {
  Editor e = tiny_bpe({"a", "b", "c", "d", "ab"}, {{"a", "b"}});
  // "abcd" x5 starts as ab c d; "cd" x3 as c d: (c, d) is seen 8 times,
  // then (ab, cd) 5 times; "bd" x1 is below the minimum frequency.
  const WordCounts words{{"abcd", 5}, {"cd", 3}, {"bd", 1}};
  const auto record = extend_vocabulary(e, words, {.count = 2});
  ASSERT_TRUE(record) << record.error().message;
  EXPECT_EQ(record->words, 3u);
  EXPECT_EQ(record->added_tokens, (Pieces{"cd", "abcd"}));
  EXPECT_EQ(record->added_merges, (Pairs{{"c", "d"}, {"ab", "cd"}}));
  EXPECT_EQ(record->frequencies, (std::vector<std::uint64_t>{8, 5}));
  EXPECT_EQ(e.merges().back(), (Merge{"ab", "cd"}));
  EXPECT_EQ(*e.vocab().find("cd"), 5u);
  EXPECT_EQ(pieces(e, "abcd"), Pieces{"abcd"});
  EXPECT_EQ(pieces(e, "cd"), Pieces{"cd"});
  EXPECT_TRUE(unreachable_tokens(e).empty());
}

TEST(ExtendVocabulary, TiesGoToTheSmallerTextsAndTooFewFailsWithoutChange) {
  Editor e = tiny_bpe({"a", "b", "x", "y"});
  const WordCounts words{{"xy", 4}, {"ab", 4}};
  const std::string before = write_document(e.document(), KeyOrder::kDeclared);
  const auto refused = extend_vocabulary(e, words, {.count = 3});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "Only 2 new tokens can be learned from this text (3 asked for)");
  EXPECT_EQ(write_document(e.document(), KeyOrder::kDeclared), before);
  const auto record = extend_vocabulary(e, words, {.count = 2});
  ASSERT_TRUE(record);
  EXPECT_EQ(record->added_tokens, (Pieces{"ab", "xy"}));
}

TEST(ExtendVocabulary, RefusedProducts) {
  // A merge of the list waits for "ab": learning it would bring that merge
  // back at its early rank, ahead of the learned ones.
  Editor waiting = tiny_bpe({"a", "b", "x"}, {{"x", "ab"}});
  const auto refused = extend_vocabulary(waiting, {{"ab", 5}}, {.count = 1});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "Only 0 new tokens can be learned from this text (1 asked for)");
  // Special-shaped tokens are never merged; longer products are skipped.
  Editor e = tiny_bpe({"a", "b", "c", "<s>"});
  EXPECT_FALSE(extend_vocabulary(e, {{"<s>a", 7}}, {.count = 1}));
  const auto record = extend_vocabulary(e, {{"abc", 7}, {"bc", 2}}, {.count = 2, .max_token_length = 2});
  ASSERT_FALSE(record);  // bc (seen 9 times), then (a, bc) is too long
  EXPECT_TRUE(extend_vocabulary(e, {{"abc", 7}, {"bc", 2}}, {.count = 1, .max_token_length = 2}));
}

TEST(ExtendVocabulary, ReusesFreedIdsWhenAsked) {
  Editor e = tiny_bpe({"a", "b", "c", "zz"});
  e.vocab().erase("zz");
  e.release_id(3);
  ASSERT_TRUE(extend_vocabulary(e, {{"ab", 3}}, {.count = 1, .reuse_freed_ids = true}));
  EXPECT_EQ(*e.vocab().find("ab"), 3u);
}

TEST(ExtendVocabulary, UnchangedWordsKeepTheirPiecesAndGiveNoProduct) {
  // All three pairs of "abcd" are seen 5 times; (c, d) stands in the
  // unchanged "xcd" and (a, b) in the unchanged "ab", so (b, c) goes first,
  // then (a, bc), the tie to the smaller left text.
  Editor e = tiny_bpe({"a", "b", "c", "d", "x"});
  const WordCounts unchanged{{"xcd", 0}, {"ab", 0}};
  const auto record = extend_vocabulary(e, {{"abcd", 5}}, {.count = 2, .unchanged_words = &unchanged});
  ASSERT_TRUE(record) << record.error().message;
  EXPECT_EQ(record->added_tokens, (Pieces{"bc", "abc"}));
  EXPECT_EQ(pieces(e, "xcd"), (Pieces{"x", "c", "d"}));
  EXPECT_EQ(pieces(e, "ab"), (Pieces{"a", "b"}));
  EXPECT_EQ(pieces(e, "abcd"), (Pieces{"abc", "d"}));
}

TEST(PruneLeaves, RemovesLeavesOnlyTheLeastUsedFirst) {
  // abc is built from ab + c, so ab is not a leaf until abc goes.
  Editor e = tiny_bpe({"a", "b", "c", "ab", "abc", "bc"}, {{"a", "b"}, {"ab", "c"}, {"b", "c"}});
  const WordCounts words{{"abc", 1}, {"bc", 10}};
  const auto record = prune_leaves(e, {.count = 2, .words = &words});
  ASSERT_TRUE(record) << record.error().message;
  // abc (used once) goes first; its use passes to ab and c, so ab (1) is
  // still below bc (10).
  EXPECT_EQ(record->selected, (Pieces{"abc", "ab"}));
  EXPECT_EQ(record->tokens_removed, 2u);
  EXPECT_FALSE(e.vocab().contains("abc"));
  EXPECT_TRUE(e.vocab().contains("bc"));
  EXPECT_EQ(pieces(e, "bc"), Pieces{"bc"});
  EXPECT_TRUE(unreachable_tokens(e).empty());
  for (const Merge& m : e.merges()) EXPECT_NE(m.left, "ab");
}

TEST(PruneLeaves, WithoutWordsTheHighestIdsGoAndKeptTokensStay) {
  Editor e = tiny_bpe({"a", "b", "c", "ab", "bc"}, {{"a", "b"}, {"b", "c"}});
  const auto record = prune_leaves(e, {.count = 1, .keep = {"bc"}});
  ASSERT_TRUE(record);
  EXPECT_EQ(record->selected, Pieces{"ab"});
  Editor f = tiny_bpe({"a", "b", "ab"}, {{"a", "b"}});
  const std::string before = write_document(f.document(), KeyOrder::kDeclared);
  const auto refused = prune_leaves(f, {.count = 2});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "Only 1 tokens can be pruned (2 asked for)");
  EXPECT_EQ(write_document(f.document(), KeyOrder::kDeclared), before);
}

}  // namespace
}  // namespace quorvane

// Additions that encode as themselves, on small tokenizers.
#include "editor/reachable/reachable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/encode/unreachable.h"
#include "../test_util.h"

namespace quorvane {
namespace {

using testing::pieces;
using testing::tiny_bpe;
using Pieces = std::vector<std::string>;

TEST(ReachableAddition, ReusesExistingTokensAndFires) {
  // "abcd" encodes as ab + c + d; "cd" exists but no merge builds it here, so
  // the cheapest tree is (ab, cd) with one new token.
  Editor e = tiny_bpe({"a", "b", "c", "d", "ab", "cd"}, {{"a", "b"}});
  const auto records = add_tokens_reachable(e, {"abcd"});
  ASSERT_EQ(records.size(), 1u);
  const ReachableRecord& r = records[0];
  EXPECT_TRUE(r.added);
  EXPECT_TRUE(r.reachable);
  EXPECT_FALSE(r.reason);
  EXPECT_EQ(r.pieces, (Pieces{"ab", "c", "d"}));
  EXPECT_EQ(r.added_tokens, Pieces{"abcd"});
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(r.added_merges, (std::vector<P>{{"c", "d"}, {"ab", "cd"}}));
  EXPECT_EQ(pieces(e, "abcd"), Pieces{"abcd"});
  EXPECT_EQ(pieces(e, "cd"), Pieces{"cd"});  // the intermediate became reachable too
  EXPECT_EQ(e.merges().back(), (Merge{"ab", "cd"}));
  EXPECT_EQ(*e.vocab().find("abcd"), 6u);
}

TEST(ReachableAddition, RepeatedPiecesMissingCharactersAndNoOps) {
  Editor e = tiny_bpe({"a", "b"});
  const auto records = add_tokens_reachable(e, {"abab", "abab", "ax", "", "a"});
  EXPECT_TRUE(records[0].reachable);
  EXPECT_EQ(records[0].added_tokens, (Pieces{"ab", "abab"}));  // (a,b) fires at both places
  EXPECT_TRUE(records[1].added);  // absent before the call, present after
  EXPECT_TRUE(records[1].reachable);
  EXPECT_TRUE(records[1].added_merges.empty());
  EXPECT_EQ(records[2].added_tokens, (Pieces{"x", "ax"}));
  EXPECT_TRUE(records[2].reachable);
  EXPECT_FALSE(records[3].reachable);
  EXPECT_TRUE(records[3].reason.has_value());
  EXPECT_TRUE(records[4].reachable);
  EXPECT_FALSE(records[4].added);
  EXPECT_TRUE(unreachable_tokens(e).empty());
}

TEST(ReachableAddition, MakesAnUnreachableTokenReachableAndKeepsTheRest) {
  // "abc" is in the vocabulary but encodes as ab + c.
  Editor e = tiny_bpe({"a", "b", "c", "ab", "bc", "abc"}, {{"a", "b"}, {"b", "c"}});
  ASSERT_EQ(unreachable_tokens(e).size(), 1u);
  const auto records = add_tokens_reachable(e, {"abc", "cab"});
  EXPECT_FALSE(records[0].added);
  EXPECT_TRUE(records[0].reachable);
  EXPECT_TRUE(records[0].added_tokens.empty());
  EXPECT_EQ(records[0].added_merges.size(), 1u);
  EXPECT_TRUE(records[1].reachable);
  EXPECT_TRUE(unreachable_tokens(e).empty());
  for (const char* t : {"ab", "bc", "abc", "cab"}) EXPECT_EQ(pieces(e, t), Pieces{t}) << t;
}

TEST(ReachableAddition, LongTokensAreBuiltWithoutTheQuadraticChain) {
  std::string word(3000, 'a');
  for (std::size_t i = 0; i < word.size(); ++i) word[i] = static_cast<char>('a' + i % 7);
  Editor e = tiny_bpe({"a", "b", "c", "d", "e", "f", "g"});
  const auto records = add_tokens_reachable(e, {word, std::string(kMaxReachableChars + 1, 'a')});
  EXPECT_TRUE(records[0].reachable);
  EXPECT_EQ(pieces(e, word), Pieces{word});
  EXPECT_FALSE(records[1].reachable);
  EXPECT_NE(records[1].reason->find("longer than"), std::string::npos);
}

TEST(ReachableAddition, NewTokensComeRightAfterTheModelAndAddedTokensMoveUp) {
  // "<s>" (id 2) and "<pad>" (3) stand outside the model, where the client
  // numbers them from the model's size: after two new tokens, 4 and 5.
  auto made = editor_from_json(testing::bpe_json(
      {{"a", 0}, {"b", 1}}, {},
      R"({"id":2,"content":"<s>","special":true},{"id":3,"content":"<pad>","special":true},{"id":2,"content":"<s>"})"));
  ASSERT_TRUE(made);
  Editor& e = *made;
  const auto records = add_tokens_reachable(e, {"aba", "<s>"});
  EXPECT_EQ(records[0].added_tokens, (Pieces{"ab", "aba"}));
  EXPECT_EQ(*e.vocab().find("ab"), 2u);
  EXPECT_EQ(*e.vocab().find("aba"), 3u);
  std::vector<std::uint32_t> ids;
  for (const Value& entry : e.document().added_tokens) ids.push_back(*entry_id(entry));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{4, 5, 4}));
  // An added token is matched whole: nothing to build.
  EXPECT_TRUE(records[1].reachable);
  EXPECT_TRUE(records[1].added_tokens.empty());
  EXPECT_EQ(e.allocate_id(), 6u);
}

}  // namespace
}  // namespace quorvane

#include "editor/gguf/score_merges.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "editor/gguf/gguf_format.h"

namespace quorvane::gguf {
namespace {

constexpr std::int32_t kNormal = static_cast<std::int32_t>(TokenType::NORMAL);

struct Vocab {
  std::vector<std::string> tokens;
  std::vector<double> scores;
  std::vector<std::int32_t> types;

  Vocab& add(std::string token, double score, TokenType type = TokenType::NORMAL) {
    tokens.push_back(std::move(token));
    scores.push_back(score);
    types.push_back(static_cast<std::int32_t>(type));
    return *this;
  }

  std::vector<std::pair<std::string, std::string>> merges() const {
    Result<std::vector<ScoreMerge>> result = merges_from_scores(tokens, scores, types);
    EXPECT_TRUE(result) << result.error().message;
    std::vector<std::pair<std::string, std::string>> out;
    if (result) {
      for (const ScoreMerge& m : *result) out.emplace_back(tokens[m.left], tokens[m.right]);
    }
    return out;
  }
};

using Merges = std::vector<std::pair<std::string, std::string>>;

TEST(ScoreMerges, RanksByScoreThenLongerLeftThenLongerRight) {
  Vocab v;
  v.add("a", -10).add("b", -11).add("ab", -1).add("abb", -3).add("bb", -2).add("\xC3\xA9", -12).add("\xC3\xA9\xC3\xA9", -4);
  // abb = ab+b (left 2 chars) before a+bb (left 1); é splits only between
  // characters, never inside one.
  EXPECT_EQ(v.merges(), (Merges{{"a", "b"}, {"b", "b"}, {"ab", "b"}, {"a", "bb"}, {"\xC3\xA9", "\xC3\xA9"}}));
}

TEST(ScoreMerges, EqualScoresKeepTheIdOrder) {
  Vocab v;
  v.add("a", 0).add("b", 0).add("c", 0).add("bc", -1).add("ab", -1);
  EXPECT_EQ(v.merges(), (Merges{{"b", "c"}, {"a", "b"}}));
}

TEST(ScoreMerges, OnlyPlainPiecesTakePart) {
  Vocab v;
  v.add("<", -1, TokenType::CONTROL).add("s", -2).add(">", -3).add("<s", -4).add("s>", -5);
  v.add("<0x41>", 0, TokenType::BYTE).add("\n", -1000, TokenType::USER_DEFINED).add("\n\n", -1000, TokenType::USER_DEFINED);
  v.add("<s>", -6, TokenType::CONTROL).add("<u", -7, TokenType::UNUSED).add("x", -8, TokenType::UNKNOWN);
  v.add("xs", -9, TokenType::UNDEFINED);
  // "<" is CONTROL so "<s" has no split; UNUSED, UNKNOWN and UNDEFINED do.
  EXPECT_EQ(v.merges(), (Merges{{"s", ">"}, {"x", "s"}}));
}

TEST(ScoreMerges, ALaterTokenOfTheSameTextIsThePiece) {
  Vocab v;
  v.add("a", -1).add("b", -2).add("ab", -3).add("ab", 5);
  const Result<std::vector<ScoreMerge>> merges = merges_from_scores(v.tokens, v.scores, v.types);
  ASSERT_TRUE(merges);
  ASSERT_EQ(merges->size(), 1u);
  EXPECT_EQ((*merges)[0].left, 0u);
  EXPECT_EQ((*merges)[0].right, 1u);
}

TEST(ScoreMerges, RefusesInconsistentInput) {
  const std::vector<std::string> tokens = {"a", "b"};
  const std::vector<double> scores = {0, 0};
  const std::vector<std::int32_t> types = {kNormal, kNormal};
  EXPECT_NE(merges_from_scores(tokens, std::vector<double>{0}, types).error().message.find("differ in length (2, 1, 2)"),
            std::string::npos);
  EXPECT_EQ(merges_from_scores(tokens, std::vector<double>{0, std::nan("")}, types).error().message,
            "scores[1] is NaN");
  EXPECT_EQ(merges_from_scores(tokens, scores, std::vector<std::int32_t>{7, kNormal}).error().message,
            "types[0]: 7 is not a token type");
  EXPECT_TRUE(merges_from_scores({}, {}, {}).value().empty());
}

}  // namespace
}  // namespace quorvane::gguf

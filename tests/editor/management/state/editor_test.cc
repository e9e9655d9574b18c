#include "editor/management/state/editor.h"

#include <gtest/gtest.h>

#include "editor/management/queries/queries.h"
#include "../../test_util.h"

namespace quorvane {
namespace {

using testing::bpe_json;
using testing::tiny_bpe;

Editor from(const std::string& json) {
  auto editor = editor_from_json(json);
  if (!editor) throw std::runtime_error(editor.error().message);
  return std::move(*editor);
}

TEST(EditorFromJson, MessagesForParseAndModelType) {
  EXPECT_EQ(editor_from_json("{").error().message.substr(0, 22), "Failed to parse JSON: ");
  EXPECT_EQ(editor_from_json(R"({"version":"1","added_tokens":[],"model":{"type":"bpe","vocab":{},"merges":[]}})")
                .error()
                .message,
            "Only BPE tokenizers are supported");
}

TEST(AllocateId, StartsAboveEveryTakenIdIncludingAddedTokens) {
  Editor editor = from(bpe_json({{"a", 0}, {"b", 1}, {"c", 2}}, {}, R"({"id":10,"content":"<x>"})"));
  EXPECT_EQ(editor.next_id(), 11u);
  EXPECT_EQ(editor.allocate_id(), 11u);
  EXPECT_EQ(editor.allocate_id(), 12u);
}

TEST(AllocateId, EmptyEditorStartsAtOne) {
  Editor editor = from(bpe_json({}));
  EXPECT_EQ(editor.next_id(), 1u);
}

TEST(AllocateId, SkipsTakenIdsAndNeverReusesFreedOnesBelowTheCursor) {
  Editor editor = from(bpe_json({{"a", 0}, {"b", 1}, {"c", 2}, {"e", 4}}));
  editor.release_id(2);
  editor.release_id(4);
  editor.reset_ids();  // cursor back to 4 (largest used is 3? no: 0, 1, 2, 4 -> 5)
  EXPECT_EQ(editor.next_id(), 5u);
  Editor gap = from(bpe_json({{"a", 0}, {"b", 1}, {"c", 2}, {"e", 4}, {"f", 5}}));
  gap.release_id(5);
  EXPECT_EQ(gap.allocate_id(), 6u);  // 5 is below the cursor: not reused
}

TEST(AllocateId, AtTheTopOfTheRangeNeverHandsOutATakenId) {
  Editor editor = from(bpe_json({{"a", 0}, {"b", 4294967295LL}}));
  const TokenId first = editor.allocate_id();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(editor.allocate_id(), 2u);
}

TEST(Queries, TokenByIdTakesTheFirstInByteOrder) {
  Editor editor = from(bpe_json({{"zz", 7}, {"b", 7}, {"a", 1}}));
  EXPECT_EQ(token_by_id(editor, 7), "b");
  EXPECT_FALSE(token_by_id(editor, 12345678));
}

TEST(Queries, SingleCharTokensInVocabularyOrder) {
  Editor editor = tiny_bpe({"b", "\xC3\xA9", "ab", "a", ""});
  auto singles = single_char_tokens(editor);
  ASSERT_EQ(singles.size(), 3u);
  EXPECT_EQ(singles[0].token, "a");
  EXPECT_EQ(singles[1].token, "b");
  EXPECT_EQ(singles[2].token, "\xC3\xA9");
  EXPECT_EQ(singles[2].id, 1u);
}

TEST(Queries, SpecialTokenShape) {
  for (const char* t : {"<s>", "</s>", "[UNK]", "[]", "<>"}) EXPECT_TRUE(is_special_token(t)) << t;
  for (const char* t : {"<a", ">", "[", "<", "", "[abc>", "a<b>"}) EXPECT_FALSE(is_special_token(t)) << t;
}

TEST(Stats, CountsLengthsAndIdRange) {
  Editor editor = from(bpe_json({{"a", 5}, {"\xE6\x97\xA5\xE6\x9C\xAC", 9}, {"<s>", 2}, {"", 3}, {"ab", 7}},
                                {{"a", "b"}}));
  const TokenizerStats stats = get_stats(editor);
  EXPECT_EQ(stats.vocab_size, 5u);
  EXPECT_EQ(stats.merges_count, 1u);
  EXPECT_EQ(stats.single_char_count, 1u);
  EXPECT_EQ(stats.special_token_count, 1u);
  EXPECT_EQ(stats.min_token_id, 2u);
  EXPECT_EQ(stats.max_token_id, 9u);
  using D = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  EXPECT_EQ(stats.length_distribution, (D{{0, 1}, {1, 1}, {2, 2}, {3, 1}}));

  const TokenizerStats empty = get_stats(from(bpe_json({})));
  EXPECT_EQ(empty.vocab_size, 0u);
  EXPECT_EQ(empty.min_token_id, 0u);
  EXPECT_EQ(empty.max_token_id, 0u);
  EXPECT_TRUE(empty.length_distribution.empty());
}

TEST(Validation, ProductMustBeInTheVocabularyInputsAreNotChecked) {
  // Positions 1 and 3 invalid; position 2's left input is absent but its product exists.
  Editor editor = from(bpe_json({{"a", 0}, {"b", 1}, {"ab", 2}, {"xb", 3}},
                                {{"a", "b"}, {"b", "a"}, {"x", "b"}, {"a", "a"}}));
  const ValidationReport report = validate_merges(editor);
  EXPECT_EQ(report.valid_count, 2u);
  EXPECT_EQ(report.invalid_count, 2u);
  ASSERT_EQ(report.invalid_merges.size(), 2u);
  EXPECT_EQ(report.invalid_merges[0].position, 1u);
  EXPECT_EQ(report.invalid_merges[0].left, "b");
  EXPECT_EQ(report.invalid_merges[1].position, 3u);

  EXPECT_EQ(remove_invalid_merges(editor), 2u);
  EXPECT_EQ(editor.merges(), (std::vector<Merge>{{"a", "b"}, {"x", "b"}}));
  EXPECT_EQ(remove_invalid_merges(editor), 0u);
  EXPECT_EQ(editor.vocab().size(), 4u);
}

}  // namespace
}  // namespace quorvane

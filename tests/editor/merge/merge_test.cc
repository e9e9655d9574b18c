#include "editor/merge/merge.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "documents.h"
#include "editor/management/document/json_writer.h"
#include "editor/management/queries/queries.h"

namespace quorvane {
namespace {

using testing::DocParts;
using testing::editor_of;
using testing::kByteLevelPre;
using testing::kMarkerNorm;
using testing::kNfcMarkerNorm;

std::map<std::string, TokenId> vocab_of(const Editor& editor) {
  std::map<std::string, TokenId> out;
  for (const VocabEntry& e : editor.vocab().sorted()) out.emplace(e.token, e.id);
  return out;
}

std::vector<Merge> merges_of(const Editor& editor) { return editor.merges(); }

// The "id" of each added-token entry, "-" where there is none.
std::vector<std::string> entry_ids(const Editor& editor) {
  std::vector<std::string> ids;
  for (const Value& entry : editor.document().added_tokens) {
    const Value* id = entry.find("id");
    ids.push_back(id != nullptr && id->as_uint() != nullptr ? std::to_string(*id->as_uint()) : "-");
  }
  return ids;
}

std::string json_of(const Editor& editor) { return write_document(editor.document(), KeyOrder::kDeclared); }

// Runs a merge that must fail and checks that the target did not change.
std::string failure(Editor& target, const DocParts& source, std::uint64_t max_vocab_size) {
  const std::string before = json_of(target);
  const TokenId next_before = target.next_id();
  auto result = merge_from(target, editor_of(source), max_vocab_size);
  EXPECT_FALSE(result);
  EXPECT_EQ(json_of(target), before);
  EXPECT_EQ(target.next_id(), next_before);
  return result ? "" : result.error().message;
}

const DocParts kTinySource{.vocab = {{"x", 0}}};

TEST(MergeFrom, ChecksComeInOrderAndLeaveTheTargetAlone) {
  Editor target = editor_of({.vocab = {{"a", 0}}, .normalizer = kMarkerNorm});
  target.document().model.type = "WordPiece";
  EXPECT_EQ(failure(target, kTinySource, 0), "Only BPE tokenizers are supported");
  target.document().model.type = "BPE";
  EXPECT_EQ(failure(target, kTinySource, 0), "max_vocab_size must be between 1 and 4294967295");
  EXPECT_EQ(failure(target, kTinySource, 4294967296ull), "max_vocab_size must be between 1 and 4294967295");
  EXPECT_TRUE(merge_from(target, editor_of(kTinySource), 4294967295ull));

  Editor plain = testing::tiny_bpe({"a"});
  EXPECT_EQ(failure(plain, kTinySource, 10), "Unsupported target: no ByteLevel pre-tokenizer or space marker found");
}

TEST(MergeFrom, LimitsCountAddedTokensOutsideTheModel) {
  // Three added-only tokens; '<a>' is inside the model and does not count.
  const std::string added = R"({"id":5,"content":"<p>"},{"id":6,"content":"<q>"},{"id":7,"content":"<r>"},)"
                            R"({"id":0,"content":"<a>"})";
  Editor target = editor_of({.vocab = {{"<a>", 0}, {"b", 1}}, .normalizer = kMarkerNorm, .added = added});
  EXPECT_EQ(failure(target, kTinySource, 3), "Added tokens alone exceed max_vocab_size");
  // With limit 1, 'x' (converted), '<a>' and 'b' (protected) do not fit.
  EXPECT_EQ(failure(target, kTinySource, 4), "Required converted and protected tokens (3) exceed model limit (1)");
  EXPECT_TRUE(merge_from(target, editor_of(kTinySource), 6));
  EXPECT_EQ(vocab_of(target), (std::map<std::string, TokenId>{{"<a>", 0}, {"b", 1}, {"x", 2}}));
}

TEST(MergeFrom, TargetTokensSharingAnIdBelowTheSizeCannotBeKept) {
  Editor target = editor_of({.vocab = {{"a", 0}, {"b", 0}, {"c", 1}}, .normalizer = kMarkerNorm});
  EXPECT_EQ(failure(target, kTinySource, 10), "Failed to assign a contiguous model vocabulary");
}

// ByteLevel target; marker-text source whose editor is gone before the result
// is read (everything the target keeps must be its own).
TEST(MergeFrom, WorkedExample) {
  Editor target = editor_of({.vocab = {{"Ġ", 0}, {"a", 1}, {"b", 2}, {"ab", 3}, {"z", 4}, {"zz", 5}, {"qq", 6},
                                       {"<s>", 7}},
                             .merges = {{"a", "b"}, {"z", "z"}, {"q", "q"}},
                             .pre_tokenizer = kByteLevelPre,
                             .added = R"({"id":7,"content":"<s>","special":true},)"
                                      R"({"id":42,"content":"<pad>","special":true})"});
  Result<MergeRecord> result;
  {
    Editor source = editor_of({.vocab = {{"<unk>", 0}, {"a", 1}, {"b", 2}, {"▁a", 3}, {"é", 4}, {"ab", 5}},
                               .merges = {{"a", "b"}, {"<unk>", "a"}},
                               .added = R"({"id":0,"content":"<unk>","special":true})"});
    result = merge_from(target, source, 10);
  }
  ASSERT_TRUE(result) << result.error().message;
  const MergeRecord& r = *result;
  EXPECT_EQ(r.initial_target_vocab_size, 8u);
  EXPECT_EQ(r.source_vocab_size, 6u);
  EXPECT_EQ(r.final_model_vocab_size, 9u);  // limit 10 - '<pad>'
  EXPECT_EQ(r.final_vocab_size, 10u);
  EXPECT_EQ(r.tokens_injected, 2u);         // 'Ġa', 'Ã©'
  EXPECT_EQ(r.target_tokens_removed, 1u);   // 'qq': the top-up stops after 'zz'
  EXPECT_EQ(r.bridge_tokens_added, 2u);
  EXPECT_EQ(r.bridge_merges_added, 1u);     // ('Ã', '©') lacks 'Ã'
  EXPECT_EQ(r.source_merges_added, 1u);
  EXPECT_EQ(r.target_merges_retained, 1u);  // ('a', 'b') was taken already
  EXPECT_EQ(r.representation, "ByteLevel (Ġ)");

  // Kept ids stay; the new tokens fill the gaps in source order.
  EXPECT_EQ(vocab_of(target), (std::map<std::string, TokenId>{{"Ġ", 0}, {"a", 1}, {"b", 2}, {"ab", 3}, {"z", 4},
                                                              {"zz", 5}, {"Ġa", 6}, {"<s>", 7}, {"Ã©", 8}}));
  EXPECT_EQ(merges_of(target), (std::vector<Merge>{{"Ġ", "a"}, {"a", "b"}, {"z", "z"}}));
  EXPECT_EQ(entry_ids(target), (std::vector<std::string>{"7", "9"}));
  EXPECT_EQ(validate_merges(target).invalid_count, 0u);
  EXPECT_EQ(target.next_id(), 10u);
  EXPECT_EQ(target.allocate_id(), 10u);
}

TEST(MergeFrom, IdsConvertedFirstThenTargetTokensAboveTheSize) {
  // '<c>' (protected) had id 7 >= N: it follows the converted tokens 'x', 'y'
  // (by source id, not text order). 'bb' is both: it keeps its id and is not
  // injected.
  Editor target = editor_of({.vocab = {{"a", 0}, {"bb", 1}, {"dd", 3}, {"<c>", 7}},
                             .normalizer = kMarkerNorm,
                             .added = R"({"content":"<c>","id":7},{"content":"<p>","id":50},{"content":"<q>"},)"
                                      R"({"content":"<p>","id":51},{"id":3},"loose")"});
  auto r = merge_from(target, editor_of({.vocab = {{"y", 1}, {"x", 0}, {"bb", 2}}}), 7);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(vocab_of(target), (std::map<std::string, TokenId>{{"a", 0}, {"bb", 1}, {"x", 2}, {"y", 3}, {"<c>", 4}}));
  EXPECT_EQ(r->tokens_injected, 2u);
  EXPECT_EQ(r->target_tokens_removed, 1u);  // 'dd'
  // Added ids: model id, then 5, 6 from N upward, the same content the same id;
  // entries without a content are left as they were.
  EXPECT_EQ(entry_ids(target), (std::vector<std::string>{"4", "5", "6", "5", "3", "-"}));
  EXPECT_EQ(r->final_vocab_size, 7u);
  EXPECT_EQ(target.next_id(), 7u);
}

TEST(MergeFrom, SourceMergesMustStillConcatenateAfterConversion) {
  // Under NFC 'e' + U+0301 converts to 'é', which its parts no longer spell.
  Editor target = editor_of({.vocab = {{"e", 0}, {"\u0301", 1}, {"é", 2}, {"t", 3}, {"h", 4}, {"th", 5}},
                             .merges = {{"t", "h"}},
                             .normalizer = kNfcMarkerNorm});
  auto r = merge_from(target, editor_of({.vocab = {{"e", 0}, {"\u0301", 1}, {"e\u0301", 2}, {"t", 3}, {"h", 4},
                                                   {"th", 5}},
                                         .merges = {{"e", "\u0301"}, {"t", "h"}}}),
                      100);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->source_merges_added, 1u);
  EXPECT_EQ(r->target_merges_retained, 0u);
  EXPECT_EQ(merges_of(target), (std::vector<Merge>{{"t", "h"}}));
}

TEST(MergeFrom, ByteLevelSourceIntoMarkerTarget) {
  Editor target = editor_of({.vocab = {{"▁", 0}, {"t", 1}, {"h", 2}, {"e", 3}}, .normalizer = kMarkerNorm});
  auto r = merge_from(target,
                      editor_of({.vocab = {{"Ġ", 0}, {"t", 1}, {"h", 2}, {"e", 3}, {"Ã", 4}, {"©", 5}, {"th", 6},
                                           {"the", 7}, {"Ġthe", 8}, {"Ã©", 9}},
                                 .merges = {{"t", "h"}, {"th", "e"}, {"Ġ", "the"}, {"Ã", "©"}},
                                 .pre_tokenizer = kByteLevelPre}),
                      100);
  ASSERT_TRUE(r);
  const auto vocab = vocab_of(target);
  EXPECT_TRUE(vocab.contains("▁the"));
  EXPECT_TRUE(vocab.contains("é"));
  EXPECT_FALSE(vocab.contains("Ã"));  // a lone byte has no text form
  EXPECT_FALSE(vocab.contains("Äłthe"));
  EXPECT_EQ(merges_of(target), (std::vector<Merge>{{"t", "h"}, {"th", "e"}, {"▁", "the"}}));
  EXPECT_EQ(r->final_model_vocab_size, 8u);
}

}  // namespace
}  // namespace quorvane

#include "editor/reindex/reindex.h"

#include <gtest/gtest.h>

#include "../test_util.h"

namespace quorvane {
namespace {

using testing::bpe_json;

TEST(ReindexVocab, AddedTokenEntriesFollowTheirTokens) {
  // '<s>' moves from 5 to 2 and its entry follows; the entry for '<x>' (not in
  // the vocabulary) and the one for 'a' under another id stay as they were.
  auto editor = editor_from_json(bpe_json({{"a", 0}, {"b", 1}, {"<s>", 5}},
                                          {},
                                          R"({"id":5,"content":"<s>","special":true},)"
                                          R"({"id":100,"content":"<x>"},{"id":9,"content":"a"})"));
  ASSERT_TRUE(editor);
  const ReindexRecord r = reindex_vocab(*editor);
  EXPECT_EQ(r.ids_remapped, 1u);
  const auto& entries = editor->document().added_tokens;
  EXPECT_EQ(entry_id(entries[0]), 2u);
  EXPECT_EQ(entry_id(entries[1]), 100u);
  EXPECT_EQ(entry_id(entries[2]), 9u);
  EXPECT_TRUE(entry_special(entries[0]));
  EXPECT_EQ(editor->next_id(), 101u);
  EXPECT_TRUE(editor->used_ids().contains(9));
  EXPECT_FALSE(editor->used_ids().contains(5));
}

}  // namespace
}  // namespace quorvane

#include "editor/gguf/bpe_members.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gguf_builder.h"

namespace quorvane::gguf {
namespace {

using testing::Bytes;
using testing::kv;
using testing::kv_string;
using testing::kv_strings;
using testing::TinyGguf;

std::string kv_i32s(std::string_view key, const std::vector<std::int32_t>& items) {
  Bytes b;
  b.u32(GGUF_TYPE_INT32).u64(items.size());
  for (const std::int32_t v : items) b.put(v);
  return kv(key, GGUF_TYPE_ARRAY, b);
}

std::string kv_f32s(std::string_view key, const std::vector<float>& items) {
  Bytes b;
  b.u32(GGUF_TYPE_FLOAT32).u64(items.size());
  for (const float v : items) b.put(v);
  return kv(key, GGUF_TYPE_ARRAY, b);
}

Result<std::string> members(const std::vector<std::string>& records) {
  TinyGguf g;
  g.records = records;
  const std::string bytes = g.build();
  GgufResult<GgufFile> file = parse_gguf({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  EXPECT_TRUE(file.has_value());
  return bpe_model_members(*file);
}

std::string refusal(const std::vector<std::string>& records) {
  const Result<std::string> result = members(records);
  EXPECT_FALSE(result.has_value());
  return result ? "" : result.error().message;
}

TEST(BpeMembers, ByteLevelMergesSplitAtTheFirstSpace) {
  // A token holding a quote and a control character is escaped; a merge's
  // right part may hold spaces of its own.
  const Result<std::string> text = members({
      kv_string("tokenizer.ggml.model", "gpt2"),
      kv_strings("tokenizer.ggml.tokens", {"a", "b", "ab", "\"\n", "b c"}),
      kv_strings("tokenizer.ggml.merges", {"a b", "a b c"}),
  });
  ASSERT_TRUE(text.has_value()) << text.error().message;
  EXPECT_EQ(*text, R"("vocab":{"a":0,"b":1,"ab":2,"\"\n":3,"b c":4},"merges":[["a","b"],["a","b c"]])");
}

TEST(BpeMembers, SentencePieceMergesComeFromTheScores) {
  // "▁t" scores above "he", "▁the" last; byte and control tokens take no part.
  const Result<std::string> text = members({
      kv_string("tokenizer.ggml.model", "llama"),
      kv_strings("tokenizer.ggml.tokens", {"<s>", "<0x41>", "▁", "t", "h", "e", "▁t", "he", "▁the"}),
      kv_f32s("tokenizer.ggml.scores", {0, 0, 0, 0, 0, 0, -1, -2, -3}),
      kv_i32s("tokenizer.ggml.token_type", {3, 6, 1, 1, 1, 1, 1, 1, 1}),
  });
  ASSERT_TRUE(text.has_value()) << text.error().message;
  EXPECT_EQ(text->substr(text->find("\"merges\"")), R"("merges":[["▁","t"],["h","e"],["▁t","he"]])");
}

TEST(BpeMembers, EmptyMergeListAndNoTypes) {
  const Result<std::string> text = members({
      kv_string("tokenizer.ggml.model", "gpt2"),
      kv_strings("tokenizer.ggml.tokens", {"x"}),
  });
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, R"("vocab":{"x":0},"merges":[])");
}

TEST(BpeMembers, MalformedArraysAreRefusedByName) {
  const std::string gpt2 = kv_string("tokenizer.ggml.model", "gpt2");
  const std::string llama = kv_string("tokenizer.ggml.model", "llama");
  const std::string tokens = kv_strings("tokenizer.ggml.tokens", {"a", "b"});
  EXPECT_EQ(refusal({gpt2}), "no tokenizer.ggml.tokens array of strings");
  EXPECT_EQ(refusal({gpt2, kv_strings("tokenizer.ggml.tokens", {})}), "no tokenizer.ggml.tokens array of strings");
  EXPECT_EQ(refusal({gpt2, kv_i32s("tokenizer.ggml.tokens", {1})}), "no tokenizer.ggml.tokens array of strings");
  EXPECT_EQ(refusal({gpt2, kv_strings("tokenizer.ggml.tokens", {"a", "b", "a"})}),
            "token \"a\" appears twice in tokenizer.ggml.tokens");
  EXPECT_EQ(refusal({gpt2, tokens, kv_i32s("tokenizer.ggml.token_type", {1})}), "1 token types for 2 tokens");
  EXPECT_EQ(refusal({gpt2, tokens, kv_strings("tokenizer.ggml.token_type", {"1", "1"})}),
            "tokenizer.ggml.token_type is not an array of integers");
  EXPECT_EQ(refusal({gpt2, tokens, kv_strings("tokenizer.ggml.merges", {"a b", "ab"})}),
            "tokenizer.ggml.merges[1] \"ab\" is not 'left right'");
  EXPECT_EQ(refusal({gpt2, tokens, kv_i32s("tokenizer.ggml.merges", {1})}),
            "tokenizer.ggml.merges is not an array of strings");
  EXPECT_EQ(refusal({llama, tokens, kv_f32s("tokenizer.ggml.scores", {0})}), "1 scores for 2 tokens");
  EXPECT_EQ(refusal({llama, tokens, kv_i32s("tokenizer.ggml.scores", {0, 0})}),
            "tokenizer.ggml.scores is not an array of floats");
  EXPECT_EQ(refusal({llama, tokens, kv_i32s("tokenizer.ggml.token_type", {1, 9})}), "types[1]: 9 is not a token type");
}

}  // namespace
}  // namespace quorvane::gguf

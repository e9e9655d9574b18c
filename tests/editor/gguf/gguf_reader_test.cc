#include "editor/gguf/gguf_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include <gtest/gtest.h>

#include "gguf_builder.h"

namespace quorvane::gguf {
namespace {

using testing::Bytes;
using testing::kv;
using testing::kv_string;
using testing::kv_strings;
using testing::kv_u32;
using testing::tensor;
using testing::TinyGguf;

GgufResult<GgufFile> parse(const std::string& bytes) {
  return parse_gguf({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
}

// The message of a file that must be refused as malformed.
std::string refusal(const std::string& bytes) {
  GgufResult<GgufFile> file = parse(bytes);
  EXPECT_FALSE(file.has_value());
  if (file) return "";
  EXPECT_EQ(file.error().kind, GgufError::Kind::kFormat);
  return file.error().error.message;
}

TEST(GgufReader, ReadsEveryScalarTypeWithItsRecordRange) {
  TinyGguf g;
  g.records = {
      kv("u8", GGUF_TYPE_UINT8, Bytes().put<std::uint8_t>(200)),
      kv("i8", GGUF_TYPE_INT8, Bytes().put<std::int8_t>(-100)),
      kv("u16", GGUF_TYPE_UINT16, Bytes().put<std::uint16_t>(60000)),
      kv("i16", GGUF_TYPE_INT16, Bytes().put<std::int16_t>(-30000)),
      kv("u32", GGUF_TYPE_UINT32, Bytes().put<std::uint32_t>(4000000000u)),
      kv("i32", GGUF_TYPE_INT32, Bytes().put<std::int32_t>(-2000000000)),
      kv("f32", GGUF_TYPE_FLOAT32, Bytes().put<float>(0.1f)),
      kv("bool", GGUF_TYPE_BOOL, Bytes().put<std::uint8_t>(1)),
      kv_string("str", "h\xC3\xA9llo"),
      kv("u64", GGUF_TYPE_UINT64, Bytes().put<std::uint64_t>(std::numeric_limits<std::uint64_t>::max())),
      kv("i64", GGUF_TYPE_INT64, Bytes().put<std::int64_t>(std::numeric_limits<std::int64_t>::min())),
      kv("f64", GGUF_TYPE_FLOAT64, Bytes().put<double>(-2.5)),
  };
  const std::string bytes = g.build();
  GgufResult<GgufFile> file = parse(bytes);
  ASSERT_TRUE(file) << file.error().error.message;
  EXPECT_EQ(file->version, 3u);
  EXPECT_EQ(file->alignment, 32u);
  EXPECT_EQ(file->file_size, bytes.size());
  ASSERT_EQ(file->metadata.size(), 12u);
  const auto& m = file->metadata;
  EXPECT_EQ(m[0].value.as_unsigned(), 200u);
  EXPECT_EQ(m[1].value.as_signed(), -100);
  EXPECT_EQ(m[2].value.as_unsigned(), 60000u);
  EXPECT_EQ(m[3].value.as_signed(), -30000);
  EXPECT_EQ(m[4].value.as_unsigned(), 4000000000u);
  EXPECT_EQ(m[5].value.as_signed(), -2000000000);
  EXPECT_EQ(m[6].value.as_double(), static_cast<double>(0.1f));
  EXPECT_EQ(m[7].value.bits, 1u);
  EXPECT_EQ(m[8].value.text, "h\xC3\xA9llo");
  EXPECT_EQ(m[9].value.as_unsigned(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(m[10].value.as_signed(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(m[11].value.as_double(), -2.5);
  // The records tile the metadata section: each starts where the last ended.
  std::uint64_t at = 24;
  for (std::size_t i = 0; i < m.size(); ++i) {
    EXPECT_EQ(m[i].start, at) << m[i].key;
    EXPECT_EQ(bytes.substr(m[i].start, m[i].end - m[i].start), g.records[i]) << m[i].key;
    at = m[i].end;
  }
  EXPECT_EQ(at, bytes.size());
  EXPECT_EQ(file->find("i16"), &m[3]);
  EXPECT_EQ(file->find("absent"), nullptr);
}

TEST(GgufReader, ReadsArraysOfEveryKindAndNesting) {
  Bytes floats;
  floats.u32(GGUF_TYPE_FLOAT32).u64(3).put<float>(-0.0f).put<float>(1.5f).put<float>(-1000.0f);
  Bytes nested;  // [[1, 2], []] of INT32
  nested.u32(GGUF_TYPE_ARRAY).u64(2);
  nested.u32(GGUF_TYPE_INT32).u64(2).put<std::int32_t>(1).put<std::int32_t>(-2);
  nested.u32(GGUF_TYPE_INT32).u64(0);
  TinyGguf g;
  g.records = {kv_strings("tokens", {"<s>", "", "\xE2\x96\x81the"}), kv("scores", GGUF_TYPE_ARRAY, floats),
               kv("nested", GGUF_TYPE_ARRAY, nested), kv_strings("empty", {})};
  GgufResult<GgufFile> file = parse(g.build());
  ASSERT_TRUE(file) << file.error().error.message;
  const GgufArray& tokens = *file->metadata[0].value.array;
  ASSERT_EQ(tokens.count, 3u);
  EXPECT_EQ(tokens.string(0), "<s>");
  EXPECT_EQ(tokens.string(1), "");
  EXPECT_EQ(tokens.string(2), "\xE2\x96\x81the");
  const GgufArray& scores = *file->metadata[1].value.array;
  EXPECT_EQ(scores.element_type, GGUF_TYPE_FLOAT32);
  EXPECT_EQ(scores.scalar(1).as_double(), 1.5);
  EXPECT_EQ(scores.scalar(2).as_double(), -1000.0);
  const GgufArray& outer = *file->metadata[2].value.array;
  ASSERT_EQ(outer.items.size(), 2u);
  EXPECT_EQ(outer.items[0].array->scalar(1).as_signed(), -2);
  EXPECT_EQ(outer.items[1].array->count, 0u);
  EXPECT_EQ(file->metadata[3].value.array->count, 0u);
}

TEST(GgufReader, SizesAndPlacesTensors) {
  TinyGguf g;
  g.version = 2;
  g.alignment = 64;
  g.records = {kv_u32("general.alignment", 64)};
  // Q4_K: 256 elements in 144 bytes; F32: 4 bytes each.
  g.tensors = {tensor("token_embd.weight", {512, 3}, GGML_TYPE_Q4_K, 0),
               tensor("norm", {10}, GGML_TYPE_F32, 896), tensor("scalar", {}, GGML_TYPE_F32, 960)};
  g.data_bytes = 964;
  const std::string bytes = g.build();
  GgufResult<GgufFile> file = parse(bytes);
  ASSERT_TRUE(file) << file.error().error.message;
  EXPECT_EQ(file->alignment, 64u);
  EXPECT_EQ(file->data_offset % 64, 0u);
  EXPECT_EQ(file->data_offset + 964, bytes.size());
  ASSERT_EQ(file->tensors.size(), 3u);
  EXPECT_EQ(file->tensors[0].dims, (std::vector<std::uint64_t>{512, 3}));
  EXPECT_EQ(file->tensors[0].nbytes, 2u * 3 * 144);
  EXPECT_EQ(file->tensors[1].nbytes, 40u);
  EXPECT_EQ(file->tensors[2].nbytes, 4u);
  EXPECT_EQ(file->tensors[2].offset, 960u);
}

TEST(GgufReader, KnowsEveryTypeOfGgml) {
  int known = 0;
  for (std::uint32_t t = 0; t < GGML_TYPE_COUNT + 4; ++t) {
    if (const auto traits = ggml_type_traits(t)) {
      ++known;
      EXPECT_GT(traits->type_size, 0u) << traits->name;
      EXPECT_EQ(traits->block_size & (traits->block_size - 1), 0u) << traits->name;
    }
  }
  EXPECT_EQ(known, 34);
  for (const std::uint32_t removed : {4u, 5u, 31u, 32u, 33u, 36u, 37u, 38u}) EXPECT_FALSE(ggml_type_traits(removed));
}

// A valid file whose every prefix must be refused cleanly.
std::string valid_file() {
  TinyGguf g;
  g.records = {kv_string("general.architecture", "llama"), kv_strings("tokenizer.ggml.tokens", {"a", "b"})};
  g.tensors = {tensor("t", {32}, GGML_TYPE_Q8_0, 0)};
  g.data_bytes = 34;
  return g.build();
}

TEST(GgufReader, RefusesEveryTruncation) {
  const std::string bytes = valid_file();
  ASSERT_TRUE(parse(bytes));
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const std::string message = refusal(bytes.substr(0, n));
    EXPECT_FALSE(message.empty()) << n;
  }
}

struct Malformed {
  const char* name;
  std::string bytes;
  const char* message;  // a part of the expected message
};

std::vector<Malformed> malformed_files() {
  std::vector<Malformed> cases;
  auto add = [&](const char* name, const TinyGguf& g, const char* message) { cases.push_back({name, g.build(), message}); };
  TinyGguf g;
  std::string bad_magic = valid_file();
  bad_magic[3] = 'X';
  cases.push_back({"magic", bad_magic, "not a GGUF file"});
  g.version = 1;
  add("version 1", g, "GGUF version 1 is not supported");
  g.version = 0x03000000;
  add("big-endian", g, "big-endian");
  g = {};
  g.kv_count = std::int64_t{1} << 60;
  add("huge key count", g, "header: key-value count 1152921504606846976 at offset 16");
  g = {};
  g.tensor_count = std::int64_t{1} << 40;
  add("huge tensor count", g, "tensor count");
  g = {};
  g.records = {kv("a", GGUF_TYPE_ARRAY, Bytes().u32(GGUF_TYPE_UINT64).u64(std::uint64_t{1} << 60))};
  add("huge array", g, "key 'a': array length 1152921504606846976 at offset 41 needs at least 8 bytes each");
  g.records = {kv("s", GGUF_TYPE_STRING, Bytes().u64(std::uint64_t{1} << 60))};
  add("string longer than the file", g, "key 's': string at offset 45 needs 1152921504606846976 bytes");
  g.records = {kv_strings("tokenizer.ggml.tokens", {"a", "b\xFF", "c"})};
  add("string not UTF-8", g, "key 'tokenizer.ggml.tokens' [1]: string at offset");
  g.records = {kv_u32("k", 1), kv_u32("k", 2)};
  add("duplicate key", g, "key 'k': duplicate key");
  g.records = {kv("k", 13, Bytes().u32(0))};
  add("unknown value type", g, "key 'k': unknown value type 13");
  g.records = {kv("k", GGUF_TYPE_ARRAY, Bytes().u32(99).u64(0))};
  add("unknown element type", g, "unknown value type 99");
  g.records = {kv("k", GGUF_TYPE_BOOL, Bytes().put<std::uint8_t>(2))};
  add("bool 2", g, "bool value 2 is not 0 or 1");
  g.records = {kv("k", GGUF_TYPE_ARRAY, Bytes().u32(GGUF_TYPE_BOOL).u64(3).put<std::uint8_t>(0).put<std::uint8_t>(1).put<std::uint8_t>(7))};
  add("bool array", g, "key 'k' [2]: bool value 7");
  Bytes deep;
  for (unsigned d = 0; d < kMaxArrayDepth; ++d) deep.u32(GGUF_TYPE_ARRAY).u64(1);
  deep.u32(GGUF_TYPE_UINT8).u64(0);
  g.records = {kv("k", GGUF_TYPE_ARRAY, deep)};
  add("nesting", g, "arrays nested deeper than 8");
  g.records = {kv("general.alignment", GGUF_TYPE_UINT64, Bytes().u64(32))};
  add("alignment type", g, "key 'general.alignment': must be a UINT32, not UINT64");
  g.records = {kv_u32("general.alignment", 48)};
  add("alignment not a power of two", g, "alignment 48 is not a power of two");
  g.records = {kv_u32("general.alignment", 0)};
  add("alignment zero", g, "alignment 0 is not a power of two");
  g = {};
  g.tensors = {tensor("a", {32}, GGML_TYPE_F32, 0), tensor("a", {32}, GGML_TYPE_F32, 128)};
  g.data_bytes = 256;
  add("duplicate tensor", g, "tensor 'a': duplicate tensor name");
  g.tensors = {tensor("a", {1, 1, 1, 1, 1}, GGML_TYPE_F32, 0)};
  add("five dimensions", g, "tensor 'a': 5 dimensions (at most 4)");
  g.tensors = {tensor("a", {32}, 4, 0)};
  add("removed tensor type", g, "tensor 'a': unknown tensor type 4");
  g.tensors = {tensor("a", {100}, GGML_TYPE_Q4_0, 0)};
  add("partial block", g, "row length 100 is not a multiple of the Q4_0 block size 32");
  g.tensors = {tensor("a", {std::uint64_t{1} << 32, std::uint64_t{1} << 32}, GGML_TYPE_F32, 0)};
  add("element overflow", g, "more than 2^63 elements");
  g.tensors = {tensor("a", {std::uint64_t{1} << 63}, GGML_TYPE_F32, 0)};
  add("negative dimension", g, "more than 2^63 elements");
  g.tensors = {tensor("a", {8}, GGML_TYPE_F32, 16)};
  add("misaligned", g, "tensor 'a': data offset 16 is not a multiple of the alignment 32");
  g.tensors = {tensor("token_embd.weight", {256, 262144 * 12}, GGML_TYPE_Q4_K, 0)};
  add("data past the end", g, "tensor 'token_embd.weight': data ends at 432 MiB, file is 352 bytes");
  g.tensors = {tensor("a", {8}, GGML_TYPE_F32, 0)};
  g.data_bytes = 31;
  add("data one byte short", g, "tensor 'a': data ends at ");
  g.tensors = {tensor("a", {16}, GGML_TYPE_F32, 0), tensor("b", {8}, GGML_TYPE_F32, 32)};
  g.data_bytes = 64;
  add("overlap", g, "tensor 'b': data overlaps that of tensor 'a'");
  g.tensors = {tensor("a", {8}, GGML_TYPE_F32, std::numeric_limits<std::uint64_t>::max() - 31)};
  add("offset overflow", g, "is past any file");
  return cases;
}

TEST(GgufReader, RefusesMalformedFilesNamingTheField) {
  for (const Malformed& c : malformed_files()) {
    const std::string message = refusal(c.bytes);
    EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
  }
}

TEST(GgufReader, BoundsNestedArraysOverTheFile) {
  // 40,000 empty arrays twice: each array alone is fine, together too many.
  Bytes many;
  many.u32(GGUF_TYPE_ARRAY).u64(40000);
  for (int i = 0; i < 40000; ++i) many.u32(GGUF_TYPE_UINT8).u64(0);
  TinyGguf g;
  g.records = {kv("a", GGUF_TYPE_ARRAY, many)};
  ASSERT_TRUE(parse(g.build()));
  g.records.push_back(kv("b", GGUF_TYPE_ARRAY, many));
  const std::string message = refusal(g.build());
  EXPECT_NE(message.find("key 'b': more than 65536 arrays inside arrays"), std::string::npos) << message;
}

TEST(GgufReader, SizeText) {
  EXPECT_EQ(size_text(17), "17 bytes");
  EXPECT_EQ(size_text(3584), "3.5 KiB");
  EXPECT_EQ(size_text(std::uint64_t{412} << 20), "412 MiB");
}

class GgufFileTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }
  std::string path_ = (std::filesystem::temp_directory_path() / ("gguf_reader_test_" + std::to_string(::getpid()))).string();
};

TEST_F(GgufFileTest, ReadsAFileInWindowsAsFromMemory) {
  // Strings that straddle the 1 MiB read windows.
  std::vector<std::string> tokens;
  for (int i = 0; i < 30000; ++i) tokens.push_back(std::string(40 + i % 13, static_cast<char>('a' + i % 26)));
  TinyGguf g;
  g.records = {kv_strings("tokens", tokens), kv_string("big", std::string(3 << 20, 'x'))};
  g.tensors = {tensor("t", {64}, GGML_TYPE_F16, 0)};
  g.data_bytes = 128;
  const std::string bytes = g.build();
  std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  GgufResult<GgufFile> from_file = read_gguf(path_);
  ASSERT_TRUE(from_file) << from_file.error().error.message;
  const GgufArray& read = *from_file->metadata[0].value.array;
  ASSERT_EQ(read.count, tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) ASSERT_EQ(read.string(i), tokens[i]) << i;
  EXPECT_EQ(from_file->metadata[1].value.text.size(), std::size_t{3} << 20);
  EXPECT_EQ(from_file->data_offset, parse(bytes)->data_offset);
}

TEST_F(GgufFileTest, FileProblemsAreFileErrorsWithThePath) {
  GgufResult<GgufFile> missing = read_gguf(path_);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, GgufError::Kind::kFile);
  EXPECT_EQ(missing.error().errno_value, ENOENT);
  EXPECT_EQ(missing.error().error.message.rfind(path_ + ": ", 0), 0u);
  GgufResult<GgufFile> directory = read_gguf(std::filesystem::temp_directory_path().string());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().errno_value, EISDIR);

  const std::string truncated = valid_file().substr(0, 30);
  std::ofstream(path_, std::ios::binary).write(truncated.data(), static_cast<std::streamsize>(truncated.size()));
  GgufResult<GgufFile> malformed = read_gguf(path_);
  ASSERT_FALSE(malformed);
  EXPECT_EQ(malformed.error().kind, GgufError::Kind::kFormat);
  EXPECT_EQ(malformed.error().error.message.rfind(path_ + ": header: tensor count 1 at offset 8", 0), 0u)
      << malformed.error().error.message;
}

}  // namespace
}  // namespace quorvane::gguf

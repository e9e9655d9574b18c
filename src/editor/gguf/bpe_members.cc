#include "editor/gguf/bpe_members.h"

#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "editor/gguf/gguf_format.h"
#include "editor/gguf/score_merges.h"
#include "editor/management/document/json_writer.h"

namespace quorvane::gguf {

namespace {

constexpr std::string_view kTokens = "tokenizer.ggml.tokens";
constexpr std::string_view kTypes = "tokenizer.ggml.token_type";
constexpr std::string_view kScores = "tokenizer.ggml.scores";
constexpr std::string_view kMerges = "tokenizer.ggml.merges";

std::string quoted(std::string_view text) {
  std::string out;
  write_string(out, text);
  return out;
}

// The array under `key`, or nullptr when the key is absent or not an array.
const GgufArray* array_at(const GgufFile& file, std::string_view key) {
  const GgufKeyValue* kv = file.find(key);
  return kv != nullptr && kv->value.type == GGUF_TYPE_ARRAY ? kv->value.array.get() : nullptr;
}

bool is_integer(std::uint32_t type) {
  switch (type) {
    case GGUF_TYPE_UINT8: case GGUF_TYPE_INT8: case GGUF_TYPE_UINT16: case GGUF_TYPE_INT16:
    case GGUF_TYPE_UINT32: case GGUF_TYPE_INT32: case GGUF_TYPE_UINT64: case GGUF_TYPE_INT64:
      return true;
    default:
      return false;
  }
}

// Token types, NORMAL for every token when the file has none. Values past
// int32 become -1, which merges_from_scores names as no token type.
Result<std::vector<std::int32_t>> token_types(const GgufFile& file, std::uint64_t count) {
  const GgufArray* types = array_at(file, kTypes);
  if (types == nullptr) return std::vector<std::int32_t>(count, static_cast<std::int32_t>(TokenType::NORMAL));
  if (!is_integer(types->element_type)) return fail(std::string(kTypes) + " is not an array of integers");
  if (types->count != count) {
    return fail(std::to_string(types->count) + " token types for " + std::to_string(count) + " tokens");
  }
  std::vector<std::int32_t> out(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const GgufValue v = types->scalar(i);
    const std::int64_t type = v.type == GGUF_TYPE_UINT64 && v.as_unsigned() > INT64_MAX ? -1 : v.as_signed();
    out[i] = type < INT32_MIN || type > INT32_MAX ? -1 : static_cast<std::int32_t>(type);
  }
  return out;
}

// Scores, 0 for every token when the file has none.
Result<std::vector<double>> token_scores(const GgufFile& file, std::uint64_t count) {
  const GgufArray* scores = array_at(file, kScores);
  if (scores == nullptr) return std::vector<double>(count, 0.0);
  if (scores->element_type != GGUF_TYPE_FLOAT32 && scores->element_type != GGUF_TYPE_FLOAT64) {
    return fail(std::string(kScores) + " is not an array of floats");
  }
  if (scores->count != count) {
    return fail(std::to_string(scores->count) + " scores for " + std::to_string(count) + " tokens");
  }
  std::vector<double> out(count);
  for (std::uint64_t i = 0; i < count; ++i) out[i] = scores->scalar(i).as_double();
  return out;
}

void write_merge(std::string& out, std::string_view left, std::string_view right) {
  out += '[';
  write_string(out, left);
  out += ',';
  write_string(out, right);
  out += "],";
}

// The "left right" strings of a byte-level model, split at the first space.
Result<void> write_listed_merges(std::string& out, const GgufFile& file) {
  const GgufArray* merges = array_at(file, kMerges);
  if (merges == nullptr || merges->count == 0) return {};
  if (merges->element_type != GGUF_TYPE_STRING) return fail(std::string(kMerges) + " is not an array of strings");
  for (std::uint64_t i = 0; i < merges->count; ++i) {
    const std::string_view merge = merges->string(i);
    const std::size_t space = merge.find(' ');
    if (space == std::string_view::npos) {
      return fail(std::string(kMerges) + "[" + std::to_string(i) + "] " + quoted(merge) + " is not 'left right'");
    }
    write_merge(out, merge.substr(0, space), merge.substr(space + 1));
  }
  return {};
}

// The merges of a SentencePiece model, derived from its scores.
Result<void> write_score_merges(std::string& out, const GgufFile& file, const GgufArray& tokens) {
  Result<std::vector<std::int32_t>> types = token_types(file, tokens.count);
  if (!types) return std::unexpected(std::move(types.error()));
  Result<std::vector<double>> scores = token_scores(file, tokens.count);
  if (!scores) return std::unexpected(std::move(scores.error()));
  std::vector<std::string> texts;
  texts.reserve(tokens.count);
  for (std::uint64_t i = 0; i < tokens.count; ++i) texts.emplace_back(tokens.string(i));
  Result<std::vector<ScoreMerge>> merges = merges_from_scores(texts, *scores, *types);
  if (!merges) return std::unexpected(std::move(merges.error()));
  for (const ScoreMerge& m : *merges) write_merge(out, texts[m.left], texts[m.right]);
  return {};
}

}  // namespace

Result<std::string> bpe_model_members(const GgufFile& file) {
  const GgufArray* tokens = array_at(file, kTokens);
  if (tokens == nullptr || tokens->count == 0 || tokens->element_type != GGUF_TYPE_STRING) {
    return fail("no " + std::string(kTokens) + " array of strings");
  }
  const GgufKeyValue* model = file.find("tokenizer.ggml.model");
  const bool from_scores = model != nullptr && model->value.type == GGUF_TYPE_STRING && model->value.text == "llama";
  if (!from_scores) {
    // Only checked here: merges_from_scores checks the types it is given.
    if (Result<std::vector<std::int32_t>> types = token_types(file, tokens->count); !types) {
      return std::unexpected(std::move(types.error()));
    }
  }

  std::string out;
  out.reserve(tokens->text.size() * 4 + tokens->count * 12);
  out += "\"vocab\":{";
  boost::unordered_flat_set<std::string_view> seen;
  seen.reserve(tokens->count);
  for (std::uint64_t i = 0; i < tokens->count; ++i) {
    const std::string_view token = tokens->string(i);
    if (!seen.insert(token).second) {
      return fail("token " + quoted(token) + " appears twice in " + std::string(kTokens));
    }
    write_string(out, token);
    char digits[24];
    digits[0] = ':';
    char* end = std::to_chars(digits + 1, digits + sizeof digits - 1, i).ptr;
    *end++ = ',';
    out.append(digits, end);
  }
  out.back() = '}';
  out += ",\"merges\":[";
  const Result<void> written = from_scores ? write_score_merges(out, file, *tokens) : write_listed_merges(out, file);
  if (!written) return std::unexpected(written.error());
  if (out.back() == ',') out.pop_back();
  out += ']';
  return out;
}

}  // namespace quorvane::gguf

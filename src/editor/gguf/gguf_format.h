// The GGUF container's constants, named as the format's own documentation
// (ggml's gguf.h and ggml.h, llama.h) names them.
//
// A GGUF file is: the magic "GGUF", a uint32 version, a uint64 tensor count,
// a uint64 key-value count; the key-value records (key string, uint32 value
// type, value); the tensor directory (name string, uint32 dimension count,
// uint64 per dimension with ne0 first, uint32 ggml type, uint64 offset into
// the data section); padding to the alignment; the tensor data. Strings are a
// uint64 byte length and the bytes, without a terminator. Everything is
// little-endian here (big-endian files exist and are refused).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvane::gguf {

inline constexpr std::string_view GGUF_MAGIC = "GGUF";
inline constexpr std::uint32_t GGUF_DEFAULT_ALIGNMENT = 32;
inline constexpr std::string_view GGUF_KEY_GENERAL_ALIGNMENT = "general.alignment";
inline constexpr std::uint32_t GGML_MAX_DIMS = 4;

// The type of a metadata value (and of an array's elements).
enum gguf_type : std::uint32_t {
  GGUF_TYPE_UINT8 = 0,
  GGUF_TYPE_INT8 = 1,
  GGUF_TYPE_UINT16 = 2,
  GGUF_TYPE_INT16 = 3,
  GGUF_TYPE_UINT32 = 4,
  GGUF_TYPE_INT32 = 5,
  GGUF_TYPE_FLOAT32 = 6,
  GGUF_TYPE_BOOL = 7,
  GGUF_TYPE_STRING = 8,
  GGUF_TYPE_ARRAY = 9,
  GGUF_TYPE_UINT64 = 10,
  GGUF_TYPE_INT64 = 11,
  GGUF_TYPE_FLOAT64 = 12,
  GGUF_TYPE_COUNT,
};

// Bytes a value of a fixed-size type takes in the file; 0 for STRING and
// ARRAY (and for codes that are no type).
constexpr std::uint32_t gguf_type_size(std::uint32_t type) {
  switch (type) {
    case GGUF_TYPE_UINT8: case GGUF_TYPE_INT8: case GGUF_TYPE_BOOL: return 1;
    case GGUF_TYPE_UINT16: case GGUF_TYPE_INT16: return 2;
    case GGUF_TYPE_UINT32: case GGUF_TYPE_INT32: case GGUF_TYPE_FLOAT32: return 4;
    case GGUF_TYPE_UINT64: case GGUF_TYPE_INT64: case GGUF_TYPE_FLOAT64: return 8;
    default: return 0;
  }
}

std::string_view gguf_type_name(std::uint32_t type);

// The element type of a tensor. Codes 4, 5, 31-33 and 36-38 belonged to types
// ggml has removed; files that use them are refused.
enum ggml_type : std::uint32_t {
  GGML_TYPE_F32 = 0,
  GGML_TYPE_F16 = 1,
  GGML_TYPE_Q4_0 = 2,
  GGML_TYPE_Q4_1 = 3,
  GGML_TYPE_Q5_0 = 6,
  GGML_TYPE_Q5_1 = 7,
  GGML_TYPE_Q8_0 = 8,
  GGML_TYPE_Q8_1 = 9,
  GGML_TYPE_Q2_K = 10,
  GGML_TYPE_Q3_K = 11,
  GGML_TYPE_Q4_K = 12,
  GGML_TYPE_Q5_K = 13,
  GGML_TYPE_Q6_K = 14,
  GGML_TYPE_Q8_K = 15,
  GGML_TYPE_IQ2_XXS = 16,
  GGML_TYPE_IQ2_XS = 17,
  GGML_TYPE_IQ3_XXS = 18,
  GGML_TYPE_IQ1_S = 19,
  GGML_TYPE_IQ4_NL = 20,
  GGML_TYPE_IQ3_S = 21,
  GGML_TYPE_IQ2_S = 22,
  GGML_TYPE_IQ4_XS = 23,
  GGML_TYPE_I8 = 24,
  GGML_TYPE_I16 = 25,
  GGML_TYPE_I32 = 26,
  GGML_TYPE_I64 = 27,
  GGML_TYPE_F64 = 28,
  GGML_TYPE_IQ1_M = 29,
  GGML_TYPE_BF16 = 30,
  GGML_TYPE_TQ1_0 = 34,
  GGML_TYPE_TQ2_0 = 35,
  GGML_TYPE_MXFP4 = 39,
  GGML_TYPE_NVFP4 = 40,
  GGML_TYPE_Q1_0 = 41,
  GGML_TYPE_COUNT = 42,
};

// A tensor type's storage: rows are cut into blocks of `block_size` elements,
// each stored in `type_size` bytes.
struct GgmlTypeTraits {
  std::string_view name;
  std::uint32_t block_size;
  std::uint32_t type_size;
};

// The traits of a type ggml knows, or nothing for any other code.
std::optional<GgmlTypeTraits> ggml_type_traits(std::uint32_t type);

// tokenizer.ggml.token_type values (llama.h's LLAMA_TOKEN_TYPE_*).
enum class TokenType : std::int32_t {
  UNDEFINED = 0,
  NORMAL = 1,
  UNKNOWN = 2,
  CONTROL = 3,
  USER_DEFINED = 4,
  UNUSED = 5,
  BYTE = 6,
};

}  // namespace quorvane::gguf

// Reading a GGUF file's header, metadata and tensor directory (never the
// tensor data).
//
// The file is read through one bounds-checked cursor, in windows (pread), so
// reading the metadata of a large model touches only its first megabytes.
// Every size and count the file declares is compared with the bytes that
// remain before anything is allocated or read; an error names the field and
// its offset. Also refused: a magic other than "GGUF", versions other than 2
// and 3 (and big-endian files), unknown value and tensor types, duplicate
// keys and tensor names, strings that are not UTF-8 (keys, values, names),
// arrays nested deeper than kMaxArrayDepth, more than kMaxKeyValues keys or
// kMaxTensors tensors, a general.alignment that is not a
// uint32 power of two, tensors whose data is misaligned, overlaps another's
// or ends past the file.
//
// The result owns all its data and refers to nothing in the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "editor/base/error.h"
#include "editor/gguf/gguf_format.h"

namespace quorvane::gguf {

inline constexpr unsigned kMaxArrayDepth = 8;
// Each record costs ~10 times its smallest size in the file; real files have
// tens of keys and thousands of tensors.
inline constexpr std::uint64_t kMaxKeyValues = 1u << 20;
inline constexpr std::uint64_t kMaxTensors = 1u << 20;
// Arrays held inside other arrays, over the whole file: each costs far more
// memory than its 12 bytes in the file, and real files have none.
inline constexpr std::uint64_t kMaxNestedArrays = 1u << 16;

struct GgufArray;

// One metadata value. Fixed-size scalars keep their little-endian bits in
// `bits` (zero-extended); a STRING its bytes in `text`; an ARRAY its `array`.
struct GgufValue {
  std::uint32_t type = GGUF_TYPE_UINT8;
  std::uint64_t bits = 0;
  std::string text;
  std::unique_ptr<GgufArray> array;

  std::uint64_t as_unsigned() const noexcept { return bits; }
  std::int64_t as_signed() const noexcept;  // sign-extended from the type's width
  double as_double() const noexcept;        // FLOAT32 or FLOAT64
};

// An array's elements. Fixed-size ones are stored packed as in the file, in
// `raw` (count * gguf_type_size bytes); strings end to end in `text`, the
// i-th ending at ends[i]; nested arrays in `items`.
struct GgufArray {
  std::uint32_t element_type = GGUF_TYPE_UINT8;
  std::uint64_t count = 0;
  std::vector<unsigned char> raw;
  std::string text;
  std::vector<std::uint64_t> ends;
  std::vector<GgufValue> items;

  // The i-th fixed-size element as a scalar value (type, bits).
  GgufValue scalar(std::uint64_t i) const noexcept;
  // The i-th string; valid while the array lives.
  std::string_view string(std::uint64_t i) const noexcept;
};

struct GgufKeyValue {
  std::string key;
  GgufValue value;
  std::uint64_t start = 0;  // [start, end): the whole record in the file
  std::uint64_t end = 0;
};

struct GgufTensorInfo {
  std::string name;
  std::vector<std::uint64_t> dims;  // as stored: ne0 (the row length) first
  std::uint32_t type = GGML_TYPE_F32;
  std::uint64_t offset = 0;  // from GgufFile::data_offset
  std::uint64_t nbytes = 0;
};

struct GgufFile {
  std::uint32_t version = 0;
  std::uint32_t alignment = GGUF_DEFAULT_ALIGNMENT;
  std::uint64_t data_offset = 0;  // the aligned start of the tensor data
  std::uint64_t file_size = 0;
  std::vector<GgufKeyValue> metadata;  // in file order
  std::vector<GgufTensorInfo> tensors;  // in file order

  // The record with this key, or nullptr.
  const GgufKeyValue* find(std::string_view key) const noexcept;
};

// Why reading failed: the file could not be read (errno, 0 when there is
// none, e.g. the file shrank while read), or its content is malformed.
struct GgufError {
  enum class Kind { kFile, kFormat };
  Kind kind = Kind::kFormat;
  int errno_value = 0;
  Error error;
};

template <typename T>
using GgufResult = std::expected<T, GgufError>;

// Reads the file at `path`. Messages start with "{path}: ".
GgufResult<GgufFile> read_gguf(const std::string& path);

// Reads a whole file held in memory (tests and fuzzing). Messages have no
// path prefix.
GgufResult<GgufFile> parse_gguf(std::span<const unsigned char> bytes);

// "412 MiB", "3.5 KiB" or "17 bytes", for messages.
std::string size_text(std::uint64_t bytes);

}  // namespace quorvane::gguf

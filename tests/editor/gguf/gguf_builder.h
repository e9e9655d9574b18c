// Small GGUF files built byte by byte, for the reader's tests and the fuzz
// target's replay. Every field is written as the format lays it out, so a
// test can break exactly one.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "editor/gguf/gguf_format.h"

namespace quorvane::testing {

// Little-endian bytes, appended field by field.
struct Bytes {
  std::string data;

  template <typename T>
  Bytes& put(T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    data.append(raw, sizeof(T));
    return *this;
  }
  Bytes& u32(std::uint32_t v) { return put(v); }
  Bytes& u64(std::uint64_t v) { return put(v); }
  Bytes& str(std::string_view s) {
    u64(s.size());
    data.append(s);
    return *this;
  }
};

// One key-value record: key, value type, then `value` (already encoded).
inline std::string kv(std::string_view key, std::uint32_t type, const Bytes& value) {
  Bytes b;
  b.str(key).u32(type);
  b.data += value.data;
  return b.data;
}

inline std::string kv_u32(std::string_view key, std::uint32_t v) {
  return kv(key, gguf::GGUF_TYPE_UINT32, Bytes().u32(v));
}

inline std::string kv_string(std::string_view key, std::string_view v) {
  return kv(key, gguf::GGUF_TYPE_STRING, Bytes().str(v));
}

inline std::string kv_strings(std::string_view key, const std::vector<std::string>& items) {
  Bytes b;
  b.u32(gguf::GGUF_TYPE_STRING).u64(items.size());
  for (const std::string& s : items) b.str(s);
  return kv(key, gguf::GGUF_TYPE_ARRAY, b);
}

// One tensor directory entry.
inline std::string tensor(std::string_view name, const std::vector<std::uint64_t>& dims, std::uint32_t type,
                          std::uint64_t offset) {
  Bytes b;
  b.str(name).u32(static_cast<std::uint32_t>(dims.size()));
  for (const std::uint64_t d : dims) b.u64(d);
  b.u32(type).u64(offset);
  return b.data;
}

// A whole file: header, the records, the tensor entries, padding to
// `alignment`, then `data_bytes` zero bytes of tensor data. The counts in the
// header are the lists' sizes unless set.
struct TinyGguf {
  std::uint32_t version = 3;
  std::vector<std::string> records;
  std::vector<std::string> tensors;
  std::uint64_t data_bytes = 0;
  std::uint32_t alignment = gguf::GGUF_DEFAULT_ALIGNMENT;
  std::int64_t kv_count = -1;
  std::int64_t tensor_count = -1;

  std::string build() const {
    Bytes b;
    b.data = "GGUF";
    b.u32(version);
    b.u64(tensor_count >= 0 ? static_cast<std::uint64_t>(tensor_count) : tensors.size());
    b.u64(kv_count >= 0 ? static_cast<std::uint64_t>(kv_count) : records.size());
    for (const std::string& r : records) b.data += r;
    for (const std::string& t : tensors) b.data += t;
    if (!tensors.empty()) {
      while (b.data.size() % alignment != 0) b.data += '\0';
      b.data.append(data_bytes, '\0');
    }
    return b.data;
  }
};

}  // namespace quorvane::testing

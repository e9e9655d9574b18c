// Fuzz target: reading a GGUF file's header, metadata and tensor directory
// from arbitrary bytes.
//
// A file that is refused must be refused as malformed, with a message. A file
// that is read must be consistent with its bytes: every record, encoded again
// from what was read, gives exactly the bytes of its [start, end) range, and
// the records tile the metadata; every tensor's data lies, aligned, inside the
// data section, without overlap. Its tokenizer arrays, written as JSON
// members, are refused with a message or read back as a BPE document.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "editor/gguf/bpe_members.h"
#include "editor/gguf/gguf_reader.h"
#include "editor/management/document/json_reader.h"
#include "fuzz_util.h"

namespace quorvane::fuzz {

namespace gguf_check {

using namespace quorvane::gguf;

template <typename T>
void put(std::string& out, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  out.append(raw, sizeof(T));
}

void put_string(std::string& out, std::string_view s) {
  put<std::uint64_t>(out, s.size());
  out.append(s);
}

void encode_array(std::string& out, const GgufArray& array);

// The value's bytes as the file lays them out (without its type).
void encode_value(std::string& out, const GgufValue& value) {
  if (value.type == GGUF_TYPE_STRING) {
    put_string(out, value.text);
  } else if (value.type == GGUF_TYPE_ARRAY) {
    encode_array(out, *value.array);
  } else {
    const std::uint32_t size = gguf_type_size(value.type);
    FUZZ_CHECK(size > 0);
    FUZZ_CHECK(size == 8 || value.bits >> (8 * size) == 0);
    out.append(reinterpret_cast<const char*>(&value.bits), size);
  }
}

void encode_array(std::string& out, const GgufArray& array) {
  put<std::uint32_t>(out, array.element_type);
  put<std::uint64_t>(out, array.count);
  if (array.element_type == GGUF_TYPE_STRING) {
    FUZZ_CHECK(array.ends.size() == array.count);
    for (std::uint64_t i = 0; i < array.count; ++i) put_string(out, array.string(i));
  } else if (array.element_type == GGUF_TYPE_ARRAY) {
    FUZZ_CHECK(array.items.size() == array.count);
    for (const GgufValue& item : array.items) {
      FUZZ_CHECK(item.type == GGUF_TYPE_ARRAY);
      encode_value(out, item);
    }
  } else {
    FUZZ_CHECK(array.raw.size() == array.count * gguf_type_size(array.element_type));
    for (std::uint64_t i = 0; i < array.count; ++i) encode_value(out, array.scalar(i));
  }
}

}  // namespace gguf_check

inline int read_gguf_one(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane::gguf;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_context() = "reading";
  GgufResult<GgufFile> file = parse_gguf({data, size});
  if (!file) {
    FUZZ_CHECK(file.error().kind == GgufError::Kind::kFormat);
    FUZZ_CHECK(!file.error().error.message.empty());
    return 0;
  }
  check_context() = "records";
  FUZZ_CHECK(file->file_size == size);
  FUZZ_CHECK(file->version == 2 || file->version == 3);
  std::uint64_t at = 24;
  for (const GgufKeyValue& kv : file->metadata) {
    FUZZ_CHECK(kv.start == at && kv.end > kv.start && kv.end <= size);
    std::string encoded;
    gguf_check::put_string(encoded, kv.key);
    gguf_check::put<std::uint32_t>(encoded, kv.value.type);
    gguf_check::encode_value(encoded, kv.value);
    FUZZ_CHECK(encoded == bytes.substr(kv.start, kv.end - kv.start));
    FUZZ_CHECK(file->find(kv.key) == &kv);
    at = kv.end;
  }
  check_context() = "tensors";
  FUZZ_CHECK(file->alignment != 0 && (file->alignment & (file->alignment - 1)) == 0);
  FUZZ_CHECK(file->data_offset % file->alignment == 0 && file->data_offset >= at);
  std::uint64_t data_end = file->data_offset;
  for (const GgufTensorInfo& t : file->tensors) {
    FUZZ_CHECK(t.dims.size() <= GGML_MAX_DIMS);
    FUZZ_CHECK(ggml_type_traits(t.type).has_value());
    FUZZ_CHECK(t.offset % file->alignment == 0);
    FUZZ_CHECK(file->data_offset + t.offset + t.nbytes <= size);
    data_end = std::max(data_end, file->data_offset + t.offset + t.nbytes);
  }
  FUZZ_CHECK(file->tensors.empty() || data_end <= size);
  // No two tensors share a byte.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (const GgufTensorInfo& t : file->tensors) {
    if (t.nbytes != 0) spans.emplace_back(t.offset, t.offset + t.nbytes);
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) FUZZ_CHECK(spans[i - 1].second <= spans[i].first);
  // The tokenizer arrays as tokenizer.json members: refused with a message,
  // or text that reads as the model of a BPE document, whatever the tokens hold.
  check_context() = "bpe members";
  Result<std::string> members = bpe_model_members(*file);
  if (!members) {
    FUZZ_CHECK(!members.error().message.empty());
    return 0;
  }
  Result<Document> document =
      parse_document(R"({"version":"1.0","added_tokens":[],"model":{"type":"BPE",)" + *members + "}}");
  FUZZ_CHECK(document.has_value());
  FUZZ_CHECK(require_bpe(*document).has_value());
  return 0;
}

}  // namespace quorvane::fuzz

#ifndef QUORVANE_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvane::fuzz::read_gguf_one(data, size);
}
#endif

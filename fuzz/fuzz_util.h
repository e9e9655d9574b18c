// Shared by the fuzz targets and by the test that replays their regression
// inputs (tests/editor/fuzz_regressions_test.cc).
//
// A failed check aborts, which libFuzzer records as a crash with its input.
// Built with QUORVANE_FUZZ_THROW (the replay test), it throws instead, so that
// GoogleTest reports the input and goes on with the next.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "editor/management/document/json_reader.h"
#include "editor/management/document/json_writer.h"

namespace quorvane::fuzz {

[[noreturn]] inline void check_failed(const char* expr, const char* file, int line, const std::string& context) {
  std::string message = std::string(file) + ":" + std::to_string(line) + ": check failed: " + expr;
  if (!context.empty()) message += " [" + context + "]";
#ifdef QUORVANE_FUZZ_THROW
  throw std::logic_error(message);
#else
  std::fprintf(stderr, "%s\n", message.c_str());
  std::abort();
#endif
}

// Say what is being checked; shown when a check fails.
inline std::string& check_context() {
  static std::string context;
  return context;
}

}  // namespace quorvane::fuzz

#define FUZZ_CHECK(cond)                                                                        \
  do {                                                                                          \
    if (!(cond)) ::quorvane::fuzz::check_failed(#cond, __FILE__, __LINE__, ::quorvane::fuzz::check_context()); \
  } while (0)

namespace quorvane::fuzz {

// Writing `document` and reading the text back gives a document that writes
// the same bytes, in both key orders, and the two orders describe the same
// document.
inline void check_write_read_stable(const Document& document) {
  const std::string declared = write_document(document, KeyOrder::kDeclared);
  const std::string sorted = write_document(document, KeyOrder::kSorted);
  auto from_declared = parse_document(declared);
  FUZZ_CHECK(from_declared.has_value());
  auto from_sorted = parse_document(sorted);
  FUZZ_CHECK(from_sorted.has_value());
  FUZZ_CHECK(write_document(*from_declared, KeyOrder::kDeclared) == declared);
  FUZZ_CHECK(write_document(*from_sorted, KeyOrder::kSorted) == sorted);
  FUZZ_CHECK(write_document(*from_declared, KeyOrder::kSorted) == sorted);
}

// The fuzzer's bytes, read front to back; zeros once they run out.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() {
    const unsigned low = byte();
    return static_cast<std::uint16_t>(low | (unsigned{byte()} << 8));
  }
  std::string text(std::size_t n) {
    n = std::min(n, size_ - pos_);
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// `s` as a JSON string.
inline std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace quorvane::fuzz

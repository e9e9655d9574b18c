// Shared by the fuzz targets and by the test that replays their regression
// inputs (tests/editor/fuzz_regressions_test.cc).
//
// A failed check aborts, which libFuzzer records as a crash with its input.
// Built with QUORVANE_FUZZ_THROW (the replay test), it throws instead, so that
// GoogleTest reports the input and goes on with the next.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "editor/management/json_reader.h"
#include "editor/management/json_writer.h"

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

}  // namespace quorvane::fuzz

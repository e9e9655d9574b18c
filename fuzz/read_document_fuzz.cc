// Fuzz target: reading a tokenizer document from arbitrary text.
//
// Whatever parses must write back stably in both key orders (fuzz_util.h); a
// BPE document must then answer the read-only queries consistently. The UTF-8
// check the file loader relies on is compared with a plain decoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "editor/management/queries/queries.h"
#include "editor/management/state/editor.h"
#include "editor/reindex/reindex.h"
#include "editor/shrink/shrink.h"
#include "fuzz_util.h"

namespace quorvane::fuzz {

// Well-formed UTF-8, decoded one scalar value at a time: no overlong forms,
// no surrogates, nothing above U+10FFFF.
inline bool plain_valid_utf8(std::string_view s) {
  static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t more;
    std::uint32_t cp;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      more = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      more = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      more = 3;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < kSmallest[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

inline int read_document_one(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_context() = "reading";
  FUZZ_CHECK(is_valid_utf8(text) == plain_valid_utf8(text));
  auto document = parse_document(text);
  if (!document) {
    FUZZ_CHECK(document.error().message.find(" at line ") != std::string::npos);
    return 0;
  }
  check_context() = "writing and reading back";
  check_write_read_stable(*document);
  if (!require_bpe(*document)) return 0;

  check_context() = "queries";
  const Editor editor(std::move(*document));
  const Vocabulary& vocab = editor.vocab();
  const TokenizerStats stats = get_stats(editor);
  FUZZ_CHECK(stats.vocab_size == vocab.size());
  FUZZ_CHECK(stats.merges_count == editor.merges().size());
  const ValidationReport report = validate_merges(editor);
  FUZZ_CHECK(report.valid_count + report.invalid_count == editor.merges().size());
  FUZZ_CHECK(report.invalid_merges.size() == report.invalid_count);
  std::uint64_t listed = 0;
  for (const VocabEntry& e : vocab.sorted()) {
    ++listed;
    FUZZ_CHECK(vocab.find(e.token) == e.id);
    const auto first = token_by_id(editor, e.id);
    FUZZ_CHECK(first.has_value() && *first <= e.token);
  }
  FUZZ_CHECK(listed == vocab.size());
  const GapReport gaps = check_vocab_gaps(editor);
  FUZZ_CHECK(vocab.empty() || (gaps.min_id == stats.min_token_id && gaps.max_id == stats.max_token_id));
  FUZZ_CHECK(single_char_tokens(editor).size() == stats.single_char_count);
  const auto candidates = select_shrink_candidates(editor, 4, 0);
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    FUZZ_CHECK(candidates[i - 1].char_length >= candidates[i].char_length);
  }
  return 0;
}

}  // namespace quorvane::fuzz

#ifndef QUORVANE_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvane::fuzz::read_document_one(data, size);
}
#endif

#include "editor/split/word_count.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "editor/parallel/parallel.h"

namespace quorvane {

namespace {

constexpr std::string_view kMarker = "\xE2\x96\x81";  // U+2581

// Below this many bytes a second thread costs more than it saves.
constexpr std::size_t kBytesPerThread = 1 << 16;

// Pieces of `text` that start at each marker, the first at the start.
void marker_pieces(std::string_view text, std::vector<std::string_view>& out) {
  out.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t next = text.find(kMarker, start + 1);
    if (next == std::string_view::npos) next = text.size();
    out.emplace_back(text.substr(start, next - start));
    start = next;
  }
}

// Unassigned in PCRE2's tables, whose Unicode version is older than
// utf8proc's, so this covers both; U+180E is a space to the client's engine
// only. Checked on whole lines before normalization: composing and
// decomposing known characters gives known characters.
constexpr std::string_view kUnsure = R"([\p{Cn}\x{180E}])";

bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

Result<TextSplitter> TextSplitter::compile(const Document& document) {
  TextSplitter out;
  auto normalizer = Normalizer::compile(document.normalizer);
  if (!normalizer) return std::unexpected(normalizer.error());
  auto pre_tokenizer = PreTokenizer::compile(document.pre_tokenizer);
  if (!pre_tokenizer) return std::unexpected(pre_tokenizer.error());
  out.normalizer_ = std::move(*normalizer);
  out.pre_tokenizer_ = std::move(*pre_tokenizer);
  out.marker_pieces_ = document.pre_tokenizer.is_null();
  if (out.normalizer_.uses_unicode_tables() || (!out.marker_pieces_ && out.pre_tokenizer_.uses_unicode_tables())) {
    auto unsure = Regex::compile_trusted(kUnsure);
    if (!unsure) return std::unexpected(unsure.error());
    out.unsure_ = std::move(*unsure);
  }
  return out;
}

bool TextSplitter::split(std::string_view line, PreTokenizer::Scratch& scratch, std::string& normalized,
                         std::vector<std::string_view>& out, std::string& error) const {
  std::string_view text = line;
  if (!normalizer_.empty()) {
    normalized.assign(line);
    normalizer_.apply(normalized);
    text = normalized;
  }
  if (marker_pieces_) {
    marker_pieces(text, out);
    return true;
  }
  return pre_tokenizer_.split(text, scratch, out, error);
}

bool TextSplitter::unsure(std::string_view line, Regex::Matcher* matcher) const {
  if (matcher == nullptr || is_ascii(line)) return false;
  std::size_t start = 0, end = 0;
  std::string error;
  // A check that gives up counts as unsure: the caller splits the line.
  return matcher->find(line, 0, start, end, error) || !error.empty();
}

std::optional<std::vector<std::string>> TextSplitter::words(std::string_view line) const {
  if (unsure_ != nullptr) {
    Regex::Matcher matcher(*unsure_);
    if (unsure(line, &matcher)) return std::nullopt;
  }
  PreTokenizer::Scratch scratch(pre_tokenizer_);
  std::string normalized, error;
  std::vector<std::string_view> out;
  if (!split(line, scratch, normalized, out, error)) return std::nullopt;  // the engine gave up
  return std::vector<std::string>(out.begin(), out.end());
}

Result<void> TextSplitter::count(std::span<const std::string_view> lines, unsigned threads, WordCountMap& counts,
                                 std::vector<std::size_t>& unsure_lines) const {
  std::size_t bytes = 0;
  for (const std::string_view line : lines) bytes += line.size();
  const std::size_t parts =
      std::clamp<std::size_t>(std::min<std::size_t>(threads, bytes / kBytesPerThread), 1, std::max(1u, threads));

  struct Part {
    WordCountMap counts;
    std::vector<std::size_t> unsure;
  };
  std::vector<Part> results(parts);
  parallel_ranges(lines.size(), parts, [&](std::size_t p, std::size_t begin, std::size_t end) {
    Part& part = results[p];
    PreTokenizer::Scratch scratch(pre_tokenizer_);
    std::optional<Regex::Matcher> matcher;
    if (unsure_ != nullptr) matcher.emplace(*unsure_);
    std::string normalized, error;
    std::vector<std::string_view> words;
    for (std::size_t i = begin; i < end; ++i) {
      // A line the tables here may get wrong, or one the engine gives up on
      // (a line of megabytes), is the caller's to split.
      if (unsure(lines[i], matcher ? &*matcher : nullptr) ||
          !split(lines[i], scratch, normalized, words, error)) {
        part.unsure.push_back(i);
        continue;
      }
      for (const std::string_view word : words) {
        auto it = part.counts.find(word);
        if (it != part.counts.end()) {
          ++it->second;
        } else {
          part.counts.emplace(std::string(word), 1);
        }
      }
    }
  });
  for (Part& part : results) {
    unsure_lines.insert(unsure_lines.end(), part.unsure.begin(), part.unsure.end());
    if (counts.empty()) {
      counts = std::move(part.counts);
      continue;
    }
    for (auto& [word, n] : part.counts) counts[word] += n;
  }
  return {};
}

}  // namespace quorvane

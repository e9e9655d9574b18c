#include "editor/split/word_count.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "editor/base/parallel.h"
#include "editor/management/document/json_reader.h"
#include "editor/merge/representation.h"
#include "editor/split/text_lines.h"

namespace quorvane {

namespace {

constexpr std::string_view kMarker = "\xE2\x96\x81";  // U+2581

// How many times longer than a line its words may get (NFKC and a ByteLevel
// step with prefix spaces: 44). Each step multiplies, so a list of a few dozen steps would
// otherwise make a line of kilobytes need terabytes.
constexpr double kMaxGrowth = 1024;

// Below this many bytes a second thread costs more than it saves.
constexpr std::size_t kBytesPerThread = 1 << 16;
// Lines a thread takes at a time.
constexpr std::size_t kLinesPerTake = 64;

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

// The characters below U+10000 that kUnsure matches, found once by running it
// over a text of all of them; null when that fails (every line is then
// checked with the expression itself).
using BmpSet = std::bitset<0x10000>;

std::unique_ptr<BmpSet> find_unsure_bmp(const Regex& unsure) {
  std::string all;
  std::vector<char32_t> at;  // the character starting at each byte of `all`
  all.reserve(3 * 0x10000);
  at.reserve(3 * 0x10000);
  for (char32_t c = 0x80; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    append_utf8(all, c);
    at.resize(all.size(), c);
  }
  auto out = std::make_unique<BmpSet>();
  Regex::Matcher matcher(unsure);
  std::size_t from = 0, start = 0, end = 0;
  std::string error;
  while (from < all.size() && matcher.find(all, from, start, end, error)) {
    if (end <= start) return nullptr;  // never for a class of one character
    out->set(at[start]);
    from = end;
  }
  if (!error.empty()) return nullptr;
  return out;
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
  if (out.normalizer_.growth() * out.pre_tokenizer_.growth() > kMaxGrowth) {
    return fail("a normalizer and pre-tokenizer that can make text more than " +
                std::to_string(static_cast<int>(kMaxGrowth)) + " times longer");
  }
  out.marker_pieces_ = document.pre_tokenizer.is_null();
  if (out.normalizer_.uses_unicode_tables() || (!out.marker_pieces_ && out.pre_tokenizer_.uses_unicode_tables())) {
    auto unsure = Regex::compile_trusted(kUnsure);
    if (!unsure) return std::unexpected(unsure.error());
    out.unsure_ = std::move(*unsure);
    static const std::shared_ptr<const BmpSet> bmp = find_unsure_bmp(*out.unsure_);
    out.unsure_bmp_ = bmp;
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
  if (matcher == nullptr) return false;
  if (unsure_bmp_ == nullptr) {
    if (is_ascii(line)) return false;
  } else {
    // Most lines hold characters below U+10000 only: a table lookup each.
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const auto* stop = p + line.size();
    bool beyond = false;
    while (p < stop) {
      const unsigned char b = *p;
      if (b < 0x80) {
        ++p;
      } else if (b < 0xE0) {
        if (unsure_bmp_->test(((b & 0x1Fu) << 6) | (p[1] & 0x3Fu))) return true;
        p += 2;
      } else if (b < 0xF0) {
        if (unsure_bmp_->test(((b & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu))) return true;
        p += 3;
      } else {
        beyond = true;
        p += 4;
      }
    }
    if (!beyond) return false;
  }
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
  WordCounter counter(*this, threads);
  counter.add(lines, unsure_lines);
  if (counts.empty()) {
    counts = counter.take();
  } else {
    for (auto& [word, n] : counter.take()) counts[word] += n;
  }
  return {};
}

WordCounter::WordCounter(const TextSplitter& splitter, unsigned threads)
    : splitter_(splitter), parts_(std::max(1u, threads)) {}

bool WordCounter::add(std::span<const std::string_view> lines, std::vector<std::size_t>& unsure_lines, bool text) {
  std::size_t bytes = 0;
  for (const std::string_view line : lines) bytes += line.size();
  const std::size_t threads = std::clamp<std::size_t>(bytes / kBytesPerThread, 1, parts_.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> valid{true};
  parallel_ranges(threads, threads, [&](std::size_t p, std::size_t, std::size_t) {
    Part& part = parts_[p];
    PreTokenizer::Scratch scratch(splitter_.pre_tokenizer_);
    std::optional<Regex::Matcher> matcher;
    if (splitter_.unsure_ != nullptr) matcher.emplace(*splitter_.unsure_);
    std::string normalized, error;
    std::vector<std::string_view> words;
    for (;;) {
      const std::size_t begin = next.fetch_add(kLinesPerTake, std::memory_order_relaxed);
      if (begin >= lines.size()) break;
      const std::size_t end = std::min(lines.size(), begin + kLinesPerTake);
      for (std::size_t i = begin; i < end; ++i) {
        if (text) {
          if (!is_valid_utf8(lines[i])) {
            valid.store(false, std::memory_order_relaxed);
            continue;
          }
          if (is_blank(lines[i])) continue;
        }
        // A line the tables here may get wrong, or one the engine gives up on
        // (a line of megabytes), is the caller's to split.
        if (splitter_.unsure(lines[i], matcher ? &*matcher : nullptr) ||
            !splitter_.split(lines[i], scratch, normalized, words, error)) {
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
    }
  });
  const std::size_t first = unsure_lines.size();
  for (Part& part : parts_) {
    unsure_lines.insert(unsure_lines.end(), part.unsure.begin(), part.unsure.end());
    part.unsure.clear();
  }
  std::sort(unsure_lines.begin() + static_cast<std::ptrdiff_t>(first), unsure_lines.end());
  return valid.load();
}

WordCountMap WordCounter::take() {
  WordCountMap out = std::move(parts_.front().counts);
  for (std::size_t p = 1; p < parts_.size(); ++p) {
    for (auto& [word, n] : parts_[p].counts) out[word] += n;
    parts_[p].counts.clear();
  }
  parts_.front().counts.clear();
  return out;
}

}  // namespace quorvane

#include "editor/split/pre_tokenizer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "editor/merge/representation.h"

namespace quorvane {

namespace {

// The expression a ByteLevel pre-tokenizer splits with when use_regex is set.
constexpr std::string_view kByteLevelPattern =
    R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

const std::string* string_member(const Value& spec, std::string_view key) {
  const Value* v = spec.find(key);
  return v == nullptr ? nullptr : v->as_string();
}

// A boolean member; `fallback` when absent, none when of another class.
std::optional<bool> bool_member(const Value& spec, std::string_view key, bool fallback) {
  const Value* v = spec.find(key);
  if (v == nullptr || v->is_null()) return fallback;
  const bool* b = v->as_bool();
  if (b == nullptr) return std::nullopt;
  return *b;
}

// The UTF-8 of the ByteLevel character of each byte: one or two bytes,
// written as two (the second unused for one) so that mapping a run of bytes
// needs no branch.
struct ByteLevelUtf8 {
  std::array<std::array<char, 2>, 256> bytes;
  std::array<std::uint8_t, 256> size;
};

const ByteLevelUtf8& byte_level_utf8() {
  static const ByteLevelUtf8 table = [] {
    ByteLevelUtf8 out{};
    const auto& chars = byte_level_table();
    for (std::size_t b = 0; b < 256; ++b) {
      const char32_t c = chars[b];  // below U+0800: one or two bytes
      if (c < 0x80) {
        out.bytes[b] = {static_cast<char>(c), 0};
        out.size[b] = 1;
      } else {
        out.bytes[b] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        out.size[b] = 2;
      }
    }
    return out;
  }();
  return table;
}

}  // namespace

Result<void> PreTokenizer::add(const Value& spec, std::vector<Step>& steps) {
  if (spec.is_null()) return {};
  const std::string* type = string_member(spec, "type");
  if (type == nullptr) return fail("a pre-tokenizer without a type");
  if (*type == "Sequence") {
    const Value* list = spec.find("pretokenizers");
    if (list == nullptr || list->as_array() == nullptr) return fail("a Sequence pre-tokenizer without pretokenizers");
    for (const Value& item : *list->as_array()) {
      if (auto added = add(item, steps); !added) return added;
    }
    return {};
  }
  Step step;
  if (*type == "ByteLevel") {
    const auto prefix = bool_member(spec, "add_prefix_space", true);
    const auto use_regex = bool_member(spec, "use_regex", true);
    if (!prefix || !use_regex) return fail("a ByteLevel pre-tokenizer with a setting that is not a boolean");
    step.byte_level = true;
    step.add_prefix_space = *prefix;
    if (*use_regex) {
      auto regex = Regex::compile(kByteLevelPattern);
      if (!regex) return std::unexpected(regex.error());
      step.regex = std::move(*regex);
    }
    steps.push_back(std::move(step));
    return {};
  }
  if (*type != "Split") return fail("the " + *type + " pre-tokenizer");
  const Value* pattern = spec.find("pattern");
  const std::string* behavior = string_member(spec, "behavior");
  const auto invert = bool_member(spec, "invert", false);
  if (pattern == nullptr || behavior == nullptr || !invert) return fail("a Split pre-tokenizer without its settings");
  if (const std::string* literal = string_member(*pattern, "String")) {
    if (literal->empty()) return fail("a Split pre-tokenizer on an empty string");
    step.literal = *literal;
  } else if (const std::string* expression = string_member(*pattern, "Regex")) {
    auto regex = Regex::compile(*expression);
    if (!regex) return std::unexpected(regex.error());
    step.regex = std::move(*regex);
  } else {
    return fail("a Split pre-tokenizer without a String or Regex pattern");
  }
  static constexpr std::pair<std::string_view, Behavior> kBehaviors[] = {
      {"Removed", Behavior::kRemoved},
      {"Isolated", Behavior::kIsolated},
      {"MergedWithPrevious", Behavior::kMergedWithPrevious},
      {"MergedWithNext", Behavior::kMergedWithNext},
      {"Contiguous", Behavior::kContiguous}};
  const auto* known = std::find_if(std::begin(kBehaviors), std::end(kBehaviors),
                                   [&](const auto& b) { return b.first == *behavior; });
  if (known == std::end(kBehaviors)) return fail("a Split pre-tokenizer with the behavior " + *behavior);
  step.behavior = known->second;
  step.invert = *invert;
  steps.push_back(std::move(step));
  return {};
}

Result<PreTokenizer> PreTokenizer::compile(const Value& spec) {
  PreTokenizer out;
  if (auto added = add(spec, out.steps_); !added) return std::unexpected(added.error());
  return out;
}

double PreTokenizer::growth() const {
  double out = 1;
  for (const Step& step : steps_) {
    if (step.byte_level) out *= step.add_prefix_space ? 4 : 2;
  }
  return out;
}

bool PreTokenizer::uses_unicode_tables() const {
  return std::any_of(steps_.begin(), steps_.end(), [](const Step& step) { return step.regex != nullptr; });
}

PreTokenizer::Scratch::Scratch(const PreTokenizer& pre_tokenizer) {
  for (const Step& step : pre_tokenizer.steps_) {
    matchers_.push_back(step.regex ? std::make_unique<Regex::Matcher>(*step.regex) : nullptr);
  }
}

// Cuts a piece at the step's pattern as the client does: the matches and the
// text between them, flagged, then joined or dropped by the behaviour. Empty
// pieces are left out.
bool PreTokenizer::split_piece(const Step& step, Regex::Matcher* matcher, std::string_view text, std::size_t begin,
                               std::size_t end, Scratch& scratch, std::string& error) {
  using Span = Scratch::Span;
  const std::string_view piece = text.substr(begin, end - begin);
  std::vector<Span>& spans = scratch.spans_;
  spans.clear();
  std::size_t prev = 0, start = 0, stop = 0;
  while (prev < piece.size()) {
    if (matcher != nullptr) {
      if (!matcher->find(piece, prev, start, stop, error)) {
        if (!error.empty()) return false;
        break;
      }
    } else {
      start = piece.find(step.literal, prev);
      if (start == std::string_view::npos) break;
      stop = start + step.literal.size();
    }
    if (start != prev) spans.push_back({prev, start, false});
    spans.push_back({start, stop, true});
    prev = stop;
  }
  if (prev != piece.size()) spans.push_back({prev, piece.size(), false});
  if (step.invert) {
    for (Span& span : spans) span.match = !span.match;
  }

  // What stays: spans whose `match` is false (Removed drops the matches).
  std::vector<Span>& kept = scratch.kept_;
  kept.clear();
  bool previous = false;
  switch (step.behavior) {
    case Behavior::kIsolated:
      for (const Span& span : spans) kept.push_back({span.begin, span.end, false});
      break;
    case Behavior::kRemoved: kept = spans; break;
    case Behavior::kContiguous:
      for (const Span& span : spans) {
        if (span.match == previous && !kept.empty()) {
          kept.back().end = span.end;
        } else {
          kept.push_back({span.begin, span.end, false});
        }
        previous = span.match;
      }
      break;
    case Behavior::kMergedWithPrevious:
      for (const Span& span : spans) {
        if (span.match && !previous && !kept.empty()) {
          kept.back().end = span.end;
        } else {
          kept.push_back({span.begin, span.end, false});
        }
        previous = span.match;
      }
      break;
    case Behavior::kMergedWithNext:
      for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
        if (it->match && !previous && !kept.empty()) {
          kept.back().begin = it->begin;
        } else {
          kept.push_back({it->begin, it->end, false});
        }
        previous = it->match;
      }
      std::reverse(kept.begin(), kept.end());
      break;
  }
  for (const Span& span : kept) {
    if (!span.match && span.end > span.begin) scratch.next_.emplace_back(begin + span.begin, begin + span.end);
  }
  return true;
}

bool PreTokenizer::split(std::string_view text, Scratch& scratch, std::vector<std::string_view>& words,
                         std::string& error) const {
  auto& pieces = scratch.pieces_;
  pieces.clear();
  if (!text.empty()) pieces.emplace_back(0, text.size());
  std::string_view current = text;
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    const Step& step = steps_[i];
    Regex::Matcher* matcher = scratch.matchers_[i].get();
    if (step.byte_level && step.add_prefix_space) {
      // Each piece gets a leading space unless it has one.
      std::string& out = scratch.spare_;
      out.clear();
      for (auto& [begin, end] : pieces) {
        const std::size_t at = out.size();
        if (current[begin] != ' ') out += ' ';
        out.append(current.substr(begin, end - begin));
        begin = at;
        end = out.size();
      }
      scratch.buffer_.swap(out);
      current = scratch.buffer_;
    }
    if (matcher != nullptr || !step.byte_level) {
      scratch.next_.clear();
      for (const auto& [begin, end] : pieces) {
        if (!split_piece(step, matcher, current, begin, end, scratch, error)) return false;
      }
      pieces.swap(scratch.next_);
    }
    if (step.byte_level) {
      const ByteLevelUtf8& table = byte_level_utf8();
      std::size_t size = 0;
      for (const auto& [begin, end] : pieces) {
        for (std::size_t k = begin; k < end; ++k) size += table.size[static_cast<unsigned char>(current[k])];
      }
      std::string& out = scratch.spare_;
      out.resize(size + 1);  // room for the last character's second byte
      char* p = out.data();
      for (auto& [begin, end] : pieces) {
        const std::size_t at = static_cast<std::size_t>(p - out.data());
        for (std::size_t k = begin; k < end; ++k) {
          const auto b = static_cast<unsigned char>(current[k]);
          std::memcpy(p, table.bytes[b].data(), 2);
          p += table.size[b];
        }
        begin = at;
        end = static_cast<std::size_t>(p - out.data());
      }
      out.resize(size);
      scratch.buffer_.swap(out);
      current = scratch.buffer_;
    }
  }
  words.clear();
  for (const auto& [begin, end] : pieces) words.push_back(current.substr(begin, end - begin));
  return true;
}

}  // namespace quorvane

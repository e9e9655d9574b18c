// Fuzz target: cutting text into words as a tokenizer's normalizer and
// pre-tokenizer do (editor/split/), what count_text and split_words run.
//
// The input is read front to back, as zeros once it runs out:
//   flags byte   bit 0: the settings are given as JSON text: a u16 length,
//                then the members of a document that hold them
//                ("normalizer":...,"pre_tokenizer":...); otherwise they are
//                generated from the bytes (gen_settings)
//   settings     as bit 0 says
//   text         the rest, any bytes
//
// Generated settings know whether they hold a step the core cannot reproduce,
// or can make text more than 1024 times longer: those must be refused, with
// a message, and the rest accepted unless a regular expression is refused. Accepted settings must cut the text as
// `Reference` below does: the same rules written plainly (no fast paths,
// whole strings for pieces, PCRE2's interpreter for its JIT, the delimiter
// behaviours as rules on the boundaries between spans). The whole text is
// cut as one line (split_words on a str holding line breaks), then line by
// line, and counting the lines in one batch (WordCounter::add_text, as
// count_text does) must give the counts of those lines split one by one and
// leave the same lines to the caller.
#include <utf8proc.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "editor/merge/representation.h"
#include "editor/split/text_lines.h"
#include "editor/split/word_count.h"
#include "fuzz_util.h"

namespace quorvane::fuzz::split {

// ---- settings generated from the bytes

// Text for literals, prepends and replacements: the markers, a combining mark
// (composes under NFC), letters that case folding and the compatibility
// forms change, spaces the engines disagree on, a character newer than the
// tables here, bytes the JSON writer escapes.
constexpr std::string_view kPieces[] = {
    " ", "a", "b", "ab", "'s", "-", "\n", "\r", "\t", "\"", "\\",
    "\xE2\x96\x81",          // ▁, the space marker
    "\xC4\xA0",              // Ġ, the ByteLevel space
    "\xC3\xA9",              // é
    "e\xCC\x81",             // e + combining acute
    "\xC5\xBF",              // ſ, folds to s
    "\xEF\xAC\x81",          // ﬁ, two letters under NFKC
    "\xEF\xB7\xBA",          // U+FDFA, eighteen characters under NFKD
    "\xE3\x80\x80",          // ideographic space
    "\xC2\x85",              // next line
    "\xE1\xA0\x8E",          // U+180E, a space to one engine only
    "\xE6\xBC\xA2",          // 漢
    "\xF0\x9F\x98\x80",      // an emoji
    "\xE1\xB2\x89",          // U+1C89, unassigned in the tables here
};

// Regular expression material: what the real tokenizers use, every group and
// quantifier the core accepts, and constructs it must refuse.
constexpr std::string_view kAtoms[] = {
    R"(\p{L}+)", R"(\p{N}{1,3})", R"( ?)", R"([^\s\p{L}\p{N}]+)", R"(\s+(?!\S))", R"(\s+)", R"(\s*[\r\n]+)",
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d))", R"([^\r\n\p{L}\p{N}]?)", R"([\r\n]*)", R"(\p{N})", R"('s)",
    "|", "(", ")", "(?:", "(?=", "(?!", "(?<=", "(?<!", "(?>", "(?i)", "(?i:", "*", "+", "?", "{2}", "{1,3}",
    "{,2}", "*?", "++", ".", "a", "b", " ", "-", "'", "\xE2\x96\x81", "\xC3\xA9", "[", "]", "[^", "\\", "^", "$",
    R"(\d)", R"(\w)", R"(\b)", R"(\S)", R"(\P{L})", R"(\p{Lu})", R"(\p{Han})", R"(\p{Greek})", R"(\p{Cn})",
    R"(\p{Xan})", R"(\p{L&})", R"(\x{41})", R"(\.)", R"(\-)", R"([[:alpha:]])", "(*", "(*FAIL)", "(?<n>",
};

struct Settings {
  std::string normalizer = "null";
  std::string pre_tokenizer = "null";
  bool refused = false;     // a step the core cannot reproduce, whatever its patterns
  bool has_regex = false;   // a Split on a regular expression, which may be refused
  double growth = 1;        // how many times longer the steps can make a text
};

std::string gen_piece(Input& in) {
  std::string s;
  for (std::size_t n = 1 + in.byte() % 3; n > 0; --n) s += kPieces[in.byte() % std::size(kPieces)];
  return s;
}

std::string gen_regex(Input& in) {
  std::string s;
  const std::uint8_t shape = in.byte();
  if (shape % 8 == 7) {
    // Raw printable ASCII: PCRE2's and the checker's own parsing on anything.
    for (std::size_t n = 1 + in.byte() % 24; n > 0; --n) s += static_cast<char>(0x20 + in.byte() % 0x5F);
    return s;
  }
  for (std::size_t n = 1 + shape % 7; n > 0; --n) s += kAtoms[in.byte() % std::size(kAtoms)];
  return s;
}

// A boolean setting: true, false, absent, null (both `fallback`), or a number (refused).
std::string gen_flag(Input& in, const char* name, bool fallback, bool& value, bool& refused) {
  value = fallback;
  switch (in.byte() % 8) {
    case 0: return "";
    case 1: return std::string(",\"") + name + "\":null";
    case 2:
      refused = true;
      return std::string(",\"") + name + "\":1";
    case 3:
    case 4: value = true; return std::string(",\"") + name + "\":true";
    default: value = false; return std::string(",\"") + name + "\":false";
  }
}

std::string sequence(const char* type, const char* list, const std::vector<std::string>& steps) {
  std::string out = std::string(R"({"type":")") + type + R"(",")" + list + R"(":[)";
  for (std::size_t i = 0; i < steps.size(); ++i) out += (i ? "," : "") + steps[i];
  return out + "]}";
}

std::string gen_normalizer_step(Input& in, Settings& s, int depth) {
  const std::uint8_t kind = in.byte();
  switch (kind % 10) {
    case 0: s.growth *= 3; return R"({"type":"NFC"})";
    case 1: s.growth *= 3; return R"({"type":"NFD"})";
    case 2: s.growth *= 11; return R"({"type":"NFKC"})";
    case 3: s.growth *= 11; return R"({"type":"NFKD"})";
    case 4: return R"({"type":"Prepend","prepend":)" + quoted(gen_piece(in)) + "}";
    case 5:
    case 6: {
      std::string pattern = gen_piece(in);
      std::string content = (kind & 0x80) ? std::string() : gen_piece(in);
      s.growth *= std::max(1.0, static_cast<double>(content.size()) / static_cast<double>(pattern.size()));
      return R"({"type":"Replace","pattern":{"String":)" + quoted(pattern) + R"(},"content":)" + quoted(content) +
             "}";
    }
    case 7:
      if (depth < 2) {
        std::vector<std::string> inner;
        for (std::size_t n = in.byte() % 3; n > 0; --n) inner.push_back(gen_normalizer_step(in, s, depth + 1));
        return sequence("Sequence", "normalizers", inner);
      }
      s.growth *= 3;
      return R"({"type":"NFC"})";
    default:
      s.refused = true;
      switch (in.byte() % 5) {
        case 0: return R"({"type":"Lowercase"})";
        case 1: return R"({"type":"Replace","pattern":{"Regex":" +"},"content":"_"})";
        case 2: return R"({"type":"Replace","pattern":{"String":""},"content":"_"})";
        case 3: return R"({"type":"Prepend","prepend":5})";
        default: return R"({"type":"Sequence"})";
      }
  }
}

std::string gen_pre_tokenizer_step(Input& in, Settings& s, int depth) {
  const std::uint8_t kind = in.byte();
  switch (kind % 8) {
    case 0:
    case 1:
    case 2: {
      static constexpr const char* kBehaviors[] = {"Removed", "Isolated", "MergedWithPrevious", "MergedWithNext",
                                                   "Contiguous", "Isolated", "Isolated", "Split"};
      const std::uint8_t how = in.byte();
      const char* behavior = kBehaviors[how % 8];
      if (how % 8 == 7) s.refused = true;
      std::string pattern;
      if (kind % 8 == 0) {
        pattern = R"({"String":)" + quoted(gen_piece(in)) + "}";
      } else {
        s.has_regex = true;
        pattern = R"({"Regex":)" + quoted(gen_regex(in)) + "}";
      }
      bool invert = false;
      return R"({"type":"Split","pattern":)" + pattern + R"(,"behavior":")" + behavior + "\"" +
             gen_flag(in, "invert", false, invert, s.refused) + "}";
    }
    case 3:
    case 4: {
      bool prefix = true, use_regex = true;
      std::string out = R"({"type":"ByteLevel")";
      out += gen_flag(in, "add_prefix_space", true, prefix, s.refused);
      out += gen_flag(in, "use_regex", true, use_regex, s.refused);
      s.growth *= prefix ? 4 : 2;
      return out + R"(,"trim_offsets":false})";
    }
    case 5:
      if (depth < 2) {
        std::vector<std::string> inner;
        for (std::size_t n = in.byte() % 3; n > 0; --n) inner.push_back(gen_pre_tokenizer_step(in, s, depth + 1));
        return sequence("Sequence", "pretokenizers", inner);
      }
      s.growth *= 2;
      return R"({"type":"ByteLevel","add_prefix_space":false,"use_regex":false})";
    default:
      s.refused = true;
      switch (in.byte() % 4) {
        case 0: return R"({"type":"Metaspace","replacement":"▁","prepend_scheme":"always","split":true})";
        case 1: return R"({"type":"Split","pattern":{"String":""},"behavior":"Isolated","invert":false})";
        case 2: return R"({"type":"Split","pattern":{"Regex":"a"},"invert":false})";
        default: return R"({"type":"Whitespace"})";
      }
  }
}

Settings gen_settings(Input& in) {
  Settings s;
  const std::uint8_t shape = in.byte();
  const std::size_t normalizers = shape % 4, pre_tokenizers = (shape >> 2) % 4;
  std::vector<std::string> steps;
  for (std::size_t i = 0; i < normalizers; ++i) steps.push_back(gen_normalizer_step(in, s, 0));
  if (steps.size() == 1 && !(shape & 0x40)) {
    s.normalizer = steps[0];
  } else if (!steps.empty() || (shape & 0x40)) {
    s.normalizer = sequence("Sequence", "normalizers", steps);
  }
  steps.clear();
  for (std::size_t i = 0; i < pre_tokenizers; ++i) steps.push_back(gen_pre_tokenizer_step(in, s, 0));
  if (steps.size() == 1 && !(shape & 0x80)) {
    s.pre_tokenizer = steps[0];
  } else if (!steps.empty() || (shape & 0x80)) {
    s.pre_tokenizer = sequence("Sequence", "pretokenizers", steps);
  }
  return s;
}

std::string document_json(std::string_view members) {
  return R"({"version":"1.0","added_tokens":[],)" + std::string(members) +
         R"(,"model":{"type":"BPE","vocab":{},"merges":[]}})";
}

// ---- the reference

// The code points of valid UTF-8.
std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < s.size()) {
    utf8proc_int32_t c = 0;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + i),
                                    static_cast<utf8proc_ssize_t>(s.size() - i), &c);
    FUZZ_CHECK(n > 0);
    out.push_back(static_cast<char32_t>(c));
    i += static_cast<std::size_t>(n);
  }
  return out;
}

// What Python's str.isspace says of every character: bidirectional class WS,
// B or S, or category Zs.
bool reference_blank(std::string_view line) {
  for (const char32_t c : decode(line)) {
    const utf8proc_property_t* p = utf8proc_get_property(static_cast<utf8proc_int32_t>(c));
    const bool space = p->bidi_class == UTF8PROC_BIDI_CLASS_WS || p->bidi_class == UTF8PROC_BIDI_CLASS_B ||
                       p->bidi_class == UTF8PROC_BIDI_CLASS_S || p->category == UTF8PROC_CATEGORY_ZS;
    if (!space) return false;
  }
  return true;
}

// A pattern on PCRE2's interpreter.
class Pattern {
 public:
  static std::unique_ptr<Pattern> compile(std::string_view pattern) {
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                         PCRE2_UTF | PCRE2_UCP, &code, &offset, nullptr);
    if (compiled == nullptr) return nullptr;
    return std::unique_ptr<Pattern>(new Pattern(compiled));
  }
  ~Pattern() {
    pcre2_match_data_free(data_);
    pcre2_code_free(code_);
  }

  enum class Found { kMatch, kNone, kGaveUp };
  Found find(std::string_view text, std::size_t from, std::size_t& start, std::size_t& end) const {
    const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from, 0, data_,
                               nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) return Found::kNone;
    if (rc < 0) return Found::kGaveUp;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data_);
    start = ovector[0];
    end = ovector[1];
    return Found::kMatch;
  }

 private:
  explicit Pattern(pcre2_code* code) : code_(code), data_(pcre2_match_data_create_from_pattern(code, nullptr)) {}
  pcre2_code* code_;
  pcre2_match_data* data_;
};

enum class Outcome { kWords, kUnsure, kGaveUp };

class Reference {
 public:
  // The reference for settings the core accepted; a step it does not know
  // fails the check: the core accepted what it cannot reproduce.
  explicit Reference(const Document& document) {
    add_normalizer(document.normalizer);
    pre_tokenizer_null_ = document.pre_tokenizer.is_null();
    add_pre_tokenizer(document.pre_tokenizer);
    bool tables = false;
    for (const Norm& n : normalizer_) tables = tables || n.form != 0;
    for (const Pre& p : pre_tokenizer_) tables = tables || (!pre_tokenizer_null_ && p.regex != nullptr);
    if (tables) unsure_ = Pattern::compile(R"([\p{Cn}\x{180E}])");
  }

  Outcome split(std::string_view line, std::vector<std::string>& words) const {
    words.clear();
    if (unsure_ != nullptr) {
      std::size_t start = 0, end = 0;
      const Pattern::Found found = unsure_->find(line, 0, start, end);
      if (found != Pattern::Found::kNone) return Outcome::kUnsure;
      // The normal forms are utf8proc's; it must know every character the
      // check let through.
      for (const char32_t c : decode(line)) {
        FUZZ_CHECK(utf8proc_category(static_cast<utf8proc_int32_t>(c)) != UTF8PROC_CATEGORY_CN);
      }
    }
    std::string text(line);
    for (const Norm& n : normalizer_) normalize(n, text);
    if (pre_tokenizer_null_) {
      // Pieces that start at each marker.
      constexpr std::string_view kMarker = "\xE2\x96\x81";
      std::string piece;
      for (const char32_t c : decode(text)) {
        std::string ch;
        append_utf8(ch, c);
        if (ch == kMarker && !piece.empty()) words.push_back(std::exchange(piece, {}));
        piece += ch;
      }
      if (!piece.empty()) words.push_back(piece);
      return Outcome::kWords;
    }
    std::vector<std::string> pieces;
    if (!text.empty()) pieces.push_back(text);
    for (const Pre& step : pre_tokenizer_) {
      std::vector<std::string> next;
      for (std::string& piece : pieces) {
        if (step.byte_level && step.add_prefix_space && piece[0] != ' ') piece.insert(0, " ");
        if (step.byte_level && step.regex == nullptr) {
          next.push_back(piece);
        } else if (!cut(step, piece, next)) {
          return Outcome::kGaveUp;
        }
      }
      if (step.byte_level) {
        for (std::string& piece : next) {
          std::string mapped;
          for (const char b : piece) append_utf8(mapped, byte_level_table()[static_cast<unsigned char>(b)]);
          piece = std::move(mapped);
        }
      }
      pieces = std::move(next);
    }
    words = std::move(pieces);
    return Outcome::kWords;
  }

 private:
  struct Norm {
    int form = 0;  // utf8proc options of a normal form, 0 for the others
    std::string pattern, content;
    bool prepend = false;
  };
  enum class Behavior { kRemoved, kIsolated, kMergedWithPrevious, kMergedWithNext, kContiguous };
  struct Pre {
    bool byte_level = false, add_prefix_space = true, invert = false;
    std::shared_ptr<Pattern> regex;
    std::string literal;
    Behavior behavior = Behavior::kIsolated;
  };

  static const std::string& string_at(const Value& v, std::string_view key) {
    const Value* member = v.find(key);
    FUZZ_CHECK(member != nullptr && member->as_string() != nullptr);
    return *member->as_string();
  }
  static bool flag(const Value& v, std::string_view key, bool fallback) {
    const Value* member = v.find(key);
    if (member == nullptr || member->is_null()) return fallback;
    FUZZ_CHECK(member->as_bool() != nullptr);
    return *member->as_bool();
  }

  void add_normalizer(const Value& v) {
    if (v.is_null()) return;
    const std::string& type = string_at(v, "type");
    if (type == "Sequence") {
      for (const Value& item : *v.find("normalizers")->as_array()) add_normalizer(item);
      return;
    }
    Norm n;
    if (type == "NFC") n.form = UTF8PROC_COMPOSE;
    else if (type == "NFD") n.form = UTF8PROC_DECOMPOSE;
    else if (type == "NFKC") n.form = UTF8PROC_COMPOSE | UTF8PROC_COMPAT;
    else if (type == "NFKD") n.form = UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT;
    else if (type == "Prepend") n.prepend = true, n.content = string_at(v, "prepend");
    else if (type == "Replace") n.pattern = string_at(*v.find("pattern"), "String"), n.content = string_at(v, "content");
    else FUZZ_CHECK(!"a normalizer the reference does not know");
    FUZZ_CHECK(n.form != 0 || n.prepend || !n.pattern.empty());
    normalizer_.push_back(std::move(n));
  }

  void add_pre_tokenizer(const Value& v) {
    if (v.is_null()) return;
    const std::string& type = string_at(v, "type");
    if (type == "Sequence") {
      for (const Value& item : *v.find("pretokenizers")->as_array()) add_pre_tokenizer(item);
      return;
    }
    Pre p;
    if (type == "ByteLevel") {
      p.byte_level = true;
      p.add_prefix_space = flag(v, "add_prefix_space", true);
      if (flag(v, "use_regex", true)) {
        p.regex = Pattern::compile(
            R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)");
      }
    } else {
      FUZZ_CHECK(type == "Split");
      const Value& pattern = *v.find("pattern");
      if (const Value* literal = pattern.find("String"); literal != nullptr && literal->as_string() != nullptr) {
        p.literal = *literal->as_string();
        FUZZ_CHECK(!p.literal.empty());
      } else {
        p.regex = Pattern::compile(string_at(pattern, "Regex"));
        FUZZ_CHECK(p.regex != nullptr);  // PCRE2 compiles what the core accepted
      }
      static const std::map<std::string, Behavior, std::less<>> kBehaviors = {
          {"Removed", Behavior::kRemoved},
          {"Isolated", Behavior::kIsolated},
          {"MergedWithPrevious", Behavior::kMergedWithPrevious},
          {"MergedWithNext", Behavior::kMergedWithNext},
          {"Contiguous", Behavior::kContiguous}};
      const auto known = kBehaviors.find(string_at(v, "behavior"));
      FUZZ_CHECK(known != kBehaviors.end());
      p.behavior = known->second;
      p.invert = flag(v, "invert", false);
    }
    pre_tokenizer_.push_back(std::move(p));
  }

  static void normalize(const Norm& n, std::string& text) {
    if (n.form != 0) {
      utf8proc_uint8_t* out = nullptr;
      const auto size = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                     static_cast<utf8proc_ssize_t>(text.size()), &out,
                                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | n.form));
      FUZZ_CHECK(size >= 0);
      text.assign(reinterpret_cast<const char*>(out), static_cast<std::size_t>(size));
      std::free(out);
    } else if (n.prepend) {
      if (!text.empty()) text = n.content + text;
    } else {
      std::string out;
      std::size_t i = 0;
      while (i < text.size()) {
        if (text.compare(i, n.pattern.size(), n.pattern) == 0) {
          out += n.content;
          i += n.pattern.size();
        } else {
          out += text[i++];
        }
      }
      text = std::move(out);
    }
  }

  // Appends the pieces `step` cuts `piece` into; false when the engine gave up.
  static bool cut(const Pre& step, const std::string& piece, std::vector<std::string>& out) {
    // The spans: matches and the text between them, each flagged.
    std::vector<std::pair<std::string, bool>> spans;
    std::size_t at = 0;
    while (at < piece.size()) {
      std::size_t start = 0, end = 0;
      if (step.regex != nullptr) {
        const Pattern::Found found = step.regex->find(piece, at, start, end);
        if (found == Pattern::Found::kGaveUp) return false;
        if (found == Pattern::Found::kNone) break;
        FUZZ_CHECK(end > start);  // the core refuses patterns that can match nothing
      } else {
        start = piece.find(step.literal, at);
        if (start == std::string::npos) break;
        end = start + step.literal.size();
      }
      if (start > at) spans.emplace_back(piece.substr(at, start - at), step.invert);
      spans.emplace_back(piece.substr(start, end - start), !step.invert);
      at = end;
    }
    if (at < piece.size()) spans.emplace_back(piece.substr(at), step.invert);
    // Which boundaries between neighbouring spans stay.
    for (std::size_t i = 0; i < spans.size(); ++i) {
      const bool flagged = spans[i].second;
      if (step.behavior == Behavior::kRemoved && flagged) continue;
      bool joins = false;  // span i joins the piece before it
      if (i > 0) {
        const bool before = spans[i - 1].second;
        switch (step.behavior) {
          case Behavior::kRemoved:
          case Behavior::kIsolated: break;
          case Behavior::kMergedWithPrevious: joins = flagged && !before; break;
          case Behavior::kMergedWithNext: joins = before && !flagged; break;
          case Behavior::kContiguous: joins = flagged == before; break;
        }
      }
      if (joins) {
        out.back() += spans[i].first;
      } else {
        out.push_back(spans[i].first);
      }
    }
    return true;
  }

  std::vector<Norm> normalizer_;
  std::vector<Pre> pre_tokenizer_;
  bool pre_tokenizer_null_ = true;
  std::unique_ptr<Pattern> unsure_;
};

std::string listed(const std::vector<std::string>& words) {
  std::string out = "[";
  for (const std::string& w : words) out += (out.size() > 1 ? ", " : "") + quoted(w);
  return out + "]";
}

// The core's words of one line, checked against the reference's; none when
// the core left the line to the caller.
std::optional<std::vector<std::string>> check_line(const TextSplitter& splitter, const Reference& reference,
                                                   std::string_view line) {
  check_context() = "the line " + quoted(line);
  std::optional<std::vector<std::string>> words = splitter.words(line);
  std::vector<std::string> expected;
  const Outcome outcome = reference.split(line, expected);
  if (outcome == Outcome::kUnsure) {
    FUZZ_CHECK(!words.has_value());
    return std::nullopt;
  }
  if (!words) {
    // Only the engine may give up, and on short text only where the
    // interpreter does too.
    FUZZ_CHECK(outcome == Outcome::kGaveUp);
    return std::nullopt;
  }
  if (outcome == Outcome::kWords) {
    check_context() += ": " + listed(*words) + " where the reference has " + listed(expected);
    FUZZ_CHECK(*words == expected);
  }
  for (const std::string& w : *words) FUZZ_CHECK(!w.empty());
  return words;
}

inline int split_text_one(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t flags = in.byte();
  Settings settings;
  std::string json;
  if (flags & 1) {
    json = document_json(in.text(in.u16()));
  } else {
    settings = gen_settings(in);
    json = document_json(R"("normalizer":)" + settings.normalizer + R"(,"pre_tokenizer":)" + settings.pre_tokenizer);
  }
  const std::string text = in.text(size);

  check_context() = "settings " + json;
  // The loaders hand the reader UTF-8 only (a Python str, or a file checked first).
  if (!is_valid_utf8(json)) return 0;
  auto document = parse_document(json);
  if (!document) {
    FUZZ_CHECK(flags & 1);  // generated settings are JSON
    return 0;
  }
  Result<TextSplitter> splitter = TextSplitter::compile(*document);
  if (!splitter) {
    const std::string& message = splitter.error().message;
    FUZZ_CHECK(message.starts_with("a ") || message.starts_with("an ") || message.starts_with("the "));
    if (!(flags & 1)) FUZZ_CHECK(settings.refused || settings.has_regex || settings.growth > 1024);
    return 0;
  }
  if (!(flags & 1)) FUZZ_CHECK(!settings.refused && settings.growth <= 1024);
  const Reference reference(*document);

  const bool valid = is_valid_utf8(text);
  if (valid) check_line(*splitter, reference, text);  // split_words on a str with line breaks

  // count_text: the lines of the text counted in one batch.
  std::vector<std::string_view> lines;
  cut_lines(text, lines);
  WordCounter counter(*splitter, 2);
  std::vector<std::size_t> unsure;
  check_context() = "counting the text";
  FUZZ_CHECK(counter.add_text(lines, unsure) == valid);
  if (!valid) return 0;
  WordCountMap counts = counter.take();

  std::map<std::string, std::uint64_t> expected;
  std::vector<std::size_t> expected_unsure;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    check_context() = "the line " + quoted(lines[i]);
    FUZZ_CHECK(is_blank(lines[i]) == reference_blank(lines[i]));
    if (is_blank(lines[i])) continue;
    std::optional<std::vector<std::string>> words = check_line(*splitter, reference, lines[i]);
    if (!words) {
      expected_unsure.push_back(i);
      continue;
    }
    for (std::string& w : *words) ++expected[std::move(w)];
  }
  check_context() = "counting the text";
  FUZZ_CHECK(unsure == expected_unsure);
  FUZZ_CHECK(counts.size() == expected.size());
  for (const auto& [word, n] : expected) {
    const auto it = counts.find(word);
    FUZZ_CHECK(it != counts.end() && it->second == n);
  }
  return 0;
}

}  // namespace quorvane::fuzz::split

#ifndef QUORVANE_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvane::fuzz::split::split_text_one(data, size);
}
#endif

// The handler that turns Boost.JSON's parse events into a Document.
//
// Typed fields are checked as they arrive: a value of the wrong JSON type
// stops the parse with "invalid type: {what}, expected {x}", kept in
// message(). Token and merge strings are views into the input where they need
// no unescaping and copies in the document's Arena otherwise, so the input
// must be held by that Arena. Values of unknown keys are parsed and dropped;
// sections the editor does not interpret are built as generic Values.
//
// Only json_reader.cc runs a parser over it; json_reader.h is the interface.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/error.hpp>
#include <boost/json/string_view.hpp>

#include "editor/base/error.h"
#include "editor/management/document/document.h"
#include "editor/management/document/value.h"

namespace quorvane::json_reading {

namespace json = boost::json;

// Fields of the two typed records, in declared order.
enum class TopField { kVersion, kTruncation, kPadding, kAddedTokens, kNormalizer, kPreTokenizer,
                      kPostProcessor, kDecoder, kModel, kCount };
enum class ModelField { kType, kDropout, kUnkToken, kContinuingSubwordPrefix, kEndOfWordSuffix,
                        kFuseUnk, kByteFallback, kIgnoreMerges, kVocab, kMerges, kCount };

constexpr std::string_view kTopNames[] = {"version", "truncation", "padding", "added_tokens",
                                          "normalizer", "pre_tokenizer", "post_processor",
                                          "decoder", "model"};
constexpr std::string_view kModelNames[] = {"type", "dropout", "unk_token",
                                            "continuing_subword_prefix", "end_of_word_suffix",
                                            "fuse_unk", "byte_fallback", "ignore_merges",
                                            "vocab", "merges"};
static_assert(std::size(kTopNames) == static_cast<std::size_t>(TopField::kCount));
static_assert(std::size(kModelNames) == static_cast<std::size_t>(ModelField::kCount));

template <std::size_t N>
int field_index(const std::string_view (&names)[N], std::string_view key) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == key) return static_cast<int>(i);
  }
  return -1;
}

// What the next value event is read as.
enum class Slot {
  kDocument,     // the Tokenizer object itself
  kTopField,     // a member of the Tokenizer object (field in `field_`)
  kModelField,   // a member of the Model object
  kAddedEntry,   // an element of added_tokens
  kVocabId,      // a value in the vocab object
  kMergeElement, // an element of merges (must be an array of two strings)
  kMergeString,  // a string inside one merge
  kGeneric,      // a value inside a generic section
  kSkip,         // a value of an unknown key: parsed and dropped
};

// Containers open on the handler's stack.
enum class Frame { kTokenizer, kModel, kAddedTokens, kVocab, kMerges, kMerge, kGeneric, kSkip };

// Describes a value for a type error, in the style "invalid type: {what}, expected {x}".
inline std::string describe_string(std::string_view s) {
  std::string out = "string \"";
  out.append(s.substr(0, std::min<std::size_t>(s.size(), 64)));
  out += '"';
  return out;
}

class Handler {
 public:
  constexpr static std::size_t max_object_size = std::size_t(-1);
  constexpr static std::size_t max_array_size = std::size_t(-1);
  constexpr static std::size_t max_key_size = std::size_t(-1);
  constexpr static std::size_t max_string_size = std::size_t(-1);

  Handler(Document& doc, std::string_view input) : doc_(doc), input_(input) {}

  const std::string& message() const { return message_; }

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }

  bool on_object_begin(json::error_code& ec) {
    switch (slot_) {
      case Slot::kDocument:
        return open(Frame::kTokenizer, Slot::kTopField);
      case Slot::kTopField:
        if (field_ == static_cast<int>(TopField::kModel)) return open(Frame::kModel, Slot::kModelField);
        if (field_ == static_cast<int>(TopField::kVersion)) return type_error(ec, "map", "a string");
        if (field_ == static_cast<int>(TopField::kAddedTokens)) return type_error(ec, "map", "a sequence");
        return begin_generic(/*object=*/true);
      case Slot::kModelField:
        switch (static_cast<ModelField>(field_)) {
          case ModelField::kVocab:
            return open(Frame::kVocab, Slot::kVocabId);
          case ModelField::kType: case ModelField::kUnkToken:
          case ModelField::kContinuingSubwordPrefix: case ModelField::kEndOfWordSuffix:
            return type_error(ec, "map", "a string");
          case ModelField::kDropout:
            return type_error(ec, "map", "f64");
          case ModelField::kMerges:
            return type_error(ec, "map", "a sequence");
          default:
            return type_error(ec, "map", "a boolean");
        }
      case Slot::kAddedEntry:
      case Slot::kGeneric:
        return begin_generic(/*object=*/true);
      case Slot::kVocabId:
        return type_error(ec, "map", "u32");
      case Slot::kMergeElement:
        return type_error(ec, "map", "a sequence");
      case Slot::kMergeString:
        return type_error(ec, "map", "a string");
      case Slot::kSkip:
        return open(Frame::kSkip, Slot::kSkip);
    }
    return true;
  }

  bool on_object_end(std::size_t, json::error_code& ec) {
    const Frame frame = frames_.back();
    frames_.pop_back();
    switch (frame) {
      case Frame::kTokenizer:
        for (int i = 0; i < static_cast<int>(TopField::kCount); ++i) {
          const bool required = i == static_cast<int>(TopField::kVersion) ||
                                i == static_cast<int>(TopField::kAddedTokens) ||
                                i == static_cast<int>(TopField::kModel);
          if (required && !(top_seen_ & (1u << i))) {
            return error(ec, "missing field `" + std::string(kTopNames[i]) + "`");
          }
        }
        slot_ = Slot::kDocument;
        return true;
      case Frame::kModel:
        for (int i : {static_cast<int>(ModelField::kType), static_cast<int>(ModelField::kVocab),
                      static_cast<int>(ModelField::kMerges)}) {
          if (!(model_seen_ & (1u << i))) {
            return error(ec, "missing field `" + std::string(kModelNames[i]) + "`");
          }
        }
        slot_ = Slot::kTopField;
        return true;
      case Frame::kVocab:
        slot_ = Slot::kModelField;
        return true;
      case Frame::kGeneric:
        return end_generic();
      case Frame::kSkip:
        return close_skip();
      default:
        return true;
    }
  }

  bool on_array_begin(json::error_code& ec) {
    switch (slot_) {
      case Slot::kDocument:
        return type_error(ec, "sequence", "struct Tokenizer");
      case Slot::kTopField:
        if (field_ == static_cast<int>(TopField::kAddedTokens)) {
          return open(Frame::kAddedTokens, Slot::kAddedEntry);
        }
        if (field_ == static_cast<int>(TopField::kModel)) return type_error(ec, "sequence", "struct Model");
        if (field_ == static_cast<int>(TopField::kVersion)) return type_error(ec, "sequence", "a string");
        return begin_generic(/*object=*/false);
      case Slot::kModelField:
        switch (static_cast<ModelField>(field_)) {
          case ModelField::kMerges:
            doc_.model.merges.reserve(input_.size() / 64);
            return open(Frame::kMerges, Slot::kMergeElement);
          case ModelField::kVocab:
            return type_error(ec, "sequence", "a map");
          case ModelField::kType: case ModelField::kUnkToken:
          case ModelField::kContinuingSubwordPrefix: case ModelField::kEndOfWordSuffix:
            return type_error(ec, "sequence", "a string");
          case ModelField::kDropout:
            return type_error(ec, "sequence", "f64");
          default:
            return type_error(ec, "sequence", "a boolean");
        }
      case Slot::kAddedEntry:
      case Slot::kGeneric:
        return begin_generic(/*object=*/false);
      case Slot::kVocabId:
        return type_error(ec, "sequence", "u32");
      case Slot::kMergeElement:
        merge_strings_ = 0;
        return open(Frame::kMerge, Slot::kMergeString);
      case Slot::kMergeString:
        return type_error(ec, "sequence", "a string");
      case Slot::kSkip:
        return open(Frame::kSkip, Slot::kSkip);
    }
    return true;
  }

  bool on_array_end(std::size_t, json::error_code& ec) {
    const Frame frame = frames_.back();
    frames_.pop_back();
    switch (frame) {
      case Frame::kAddedTokens:
        slot_ = Slot::kTopField;
        return true;
      case Frame::kMerges:
        slot_ = Slot::kModelField;
        return true;
      case Frame::kMerge:
        if (merge_strings_ != 2) return error(ec, "Merge must have exactly 2 elements");
        doc_.model.merges.push_back({merge_left_, merge_right_});
        slot_ = Slot::kMergeElement;
        return true;
      case Frame::kGeneric:
        return end_generic();
      case Frame::kSkip:
        return close_skip();
      default:
        return true;
    }
  }

  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    if (skipping()) return true;
    scratch_.append(s.data(), s.size());
    return true;
  }

  bool on_key(json::string_view part, std::size_t, json::error_code& ec) {
    if (skipping()) {
      scratch_.clear();
      return true;
    }
    const std::string_view key = finish_text(part);
    switch (frames_.back()) {
      case Frame::kTokenizer: {
        field_ = field_index(kTopNames, key);
        if (field_ < 0) return skip_next();
        if (top_seen_ & (1u << field_)) return error(ec, "duplicate field `" + std::string(key) + "`");
        top_seen_ |= 1u << field_;
        slot_ = Slot::kTopField;
        break;
      }
      case Frame::kModel: {
        field_ = field_index(kModelNames, key);
        if (field_ < 0) return skip_next();
        if (model_seen_ & (1u << field_)) return error(ec, "duplicate field `" + std::string(key) + "`");
        model_seen_ |= 1u << field_;
        slot_ = Slot::kModelField;
        break;
      }
      case Frame::kVocab:
        vocab_key_ = keep(key);
        slot_ = Slot::kVocabId;
        break;
      case Frame::kGeneric:
        generic_.back().key.assign(key);
        slot_ = Slot::kGeneric;
        break;
      default:
        break;
    }
    scratch_.clear();
    return true;
  }

  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    if (slot_ == Slot::kSkip) return true;
    scratch_.append(s.data(), s.size());
    return true;
  }

  bool on_string(json::string_view part, std::size_t, json::error_code& ec) {
    if (slot_ == Slot::kSkip) return skipped_scalar();
    const std::string_view s = finish_text(part);
    bool ok = true;
    switch (slot_) {
      case Slot::kMergeString:
        if (merge_strings_ == 0) merge_left_ = keep(s);
        else if (merge_strings_ == 1) merge_right_ = keep(s);
        ++merge_strings_;
        break;
      case Slot::kTopField:
        if (field_ == static_cast<int>(TopField::kVersion)) {
          doc_.version.assign(s);
        } else if (field_ == static_cast<int>(TopField::kModel)) {
          ok = type_error(ec, describe_string(s), "struct Model");
        } else if (field_ == static_cast<int>(TopField::kAddedTokens)) {
          ok = type_error(ec, describe_string(s), "a sequence");
        } else {
          *top_value() = Value::string(std::string(s));
        }
        break;
      case Slot::kModelField:
        switch (static_cast<ModelField>(field_)) {
          case ModelField::kType: doc_.model.type.assign(s); break;
          case ModelField::kUnkToken: doc_.model.unk_token.emplace(s); break;
          case ModelField::kContinuingSubwordPrefix: doc_.model.continuing_subword_prefix.emplace(s); break;
          case ModelField::kEndOfWordSuffix: doc_.model.end_of_word_suffix.emplace(s); break;
          case ModelField::kDropout: ok = type_error(ec, describe_string(s), "f64"); break;
          case ModelField::kVocab: ok = type_error(ec, describe_string(s), "a map"); break;
          case ModelField::kMerges: ok = type_error(ec, describe_string(s), "a sequence"); break;
          default: ok = type_error(ec, describe_string(s), "a boolean"); break;
        }
        break;
      case Slot::kDocument:
        ok = type_error(ec, describe_string(s), "struct Tokenizer");
        break;
      case Slot::kVocabId:
        ok = type_error(ec, describe_string(s), "u32");
        break;
      case Slot::kMergeElement:
        ok = type_error(ec, describe_string(s), "a sequence");
        break;
      case Slot::kAddedEntry:
      case Slot::kGeneric:
        ok = put_generic(Value::string(std::string(s)));
        break;
      case Slot::kSkip:
        break;
    }
    scratch_.clear();
    return ok;
  }

  bool on_number_part(json::string_view part, json::error_code&) {
    number_text_.append(part.data(), part.size());
    return true;
  }

  bool on_int64(std::int64_t v, json::string_view text, json::error_code& ec) {
    number_text_.clear();
    if (v >= 0) {
      // "-0" reads as the float -0.0: it is not a negative integer.
      if (v == 0 && !text.empty() && text.front() == '-') return number(Value::number(-0.0), ec);
      return number(Value::uint(static_cast<std::uint64_t>(v)), ec);
    }
    return number(Value::neg_int(v), ec);
  }
  bool on_uint64(std::uint64_t v, json::string_view, json::error_code& ec) {
    number_text_.clear();
    return number(Value::uint(v), ec);
  }
  bool on_double(double parsed, json::string_view part, json::error_code& ec) {
    // The parser's own conversion is not always correctly rounded; read the
    // literal again so that every double survives a round trip.
    number_text_.append(part.data(), part.size());
    double v = 0;
    const char* begin = number_text_.data();
    const char* end = begin + number_text_.size();
    auto [ptr, err] = std::from_chars(begin, end, v);
    number_text_.clear();
    // A literal below the smallest double (1e-400) rounds to zero, as every
    // JSON reader has it; the parser's zero carries the literal's sign.
    if (err == std::errc::result_out_of_range && ptr == end && parsed == 0) {
      v = parsed;
      err = std::errc();
    }
    // Literals such as 1e400 would become infinity and be written as null:
    // refuse them instead of changing the data.
    if (err != std::errc() || ptr != end || !std::isfinite(v)) return error(ec, "number out of range");
    return number(Value::number(v), ec);
  }

  bool on_bool(bool b, json::error_code& ec) {
    switch (slot_) {
      case Slot::kModelField:
        switch (static_cast<ModelField>(field_)) {
          case ModelField::kFuseUnk: doc_.model.fuse_unk = b; return true;
          case ModelField::kByteFallback: doc_.model.byte_fallback = b; return true;
          case ModelField::kIgnoreMerges: doc_.model.ignore_merges = b; return true;
          default: break;
        }
        break;
      case Slot::kTopField:
        if (!typed_top_field()) {
          *top_value() = Value::boolean(b);
          return true;
        }
        break;
      case Slot::kAddedEntry:
      case Slot::kGeneric:
        return put_generic(Value::boolean(b));
      case Slot::kSkip:
        return skipped_scalar();
      default:
        break;
    }
    return type_error(ec, b ? "boolean `true`" : "boolean `false`", expected_here());
  }

  bool on_null(json::error_code& ec) {
    switch (slot_) {
      case Slot::kModelField:
        switch (static_cast<ModelField>(field_)) {
          case ModelField::kDropout: doc_.model.dropout.reset(); return true;
          case ModelField::kUnkToken: doc_.model.unk_token.reset(); return true;
          case ModelField::kContinuingSubwordPrefix: doc_.model.continuing_subword_prefix.reset(); return true;
          case ModelField::kEndOfWordSuffix: doc_.model.end_of_word_suffix.reset(); return true;
          default: break;
        }
        break;
      case Slot::kTopField:
        if (!typed_top_field()) {
          *top_value() = Value::null();
          return true;
        }
        break;
      case Slot::kAddedEntry:
      case Slot::kGeneric:
        return put_generic(Value::null());
      case Slot::kSkip:
        return skipped_scalar();
      default:
        break;
    }
    return type_error(ec, "null", expected_here());
  }

  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  struct GenericFrame {
    bool is_object;
    Array array;
    Object object;
    std::string key;
  };

  bool skipping() const { return !frames_.empty() && frames_.back() == Frame::kSkip; }

  bool open(Frame frame, Slot slot) {
    frames_.push_back(frame);
    slot_ = slot;
    return true;
  }

  bool skip_next() {
    slot_ = Slot::kSkip;
    scratch_.clear();
    return true;
  }

  // A scalar value of an unknown key (or inside one) has been read.
  bool skipped_scalar() {
    scratch_.clear();
    if (!skipping()) slot_ = parent_slot();
    return true;
  }

  bool close_skip() {
    slot_ = skipping() ? Slot::kSkip : parent_slot();
    return true;
  }

  // The slot for the next member/element of the innermost open container.
  Slot parent_slot() const {
    switch (frames_.back()) {
      case Frame::kTokenizer: return Slot::kTopField;
      case Frame::kModel: return Slot::kModelField;
      case Frame::kAddedTokens: return Slot::kAddedEntry;
      case Frame::kVocab: return Slot::kVocabId;
      case Frame::kMerges: return Slot::kMergeElement;
      case Frame::kMerge: return Slot::kMergeString;
      case Frame::kGeneric: return Slot::kGeneric;
      case Frame::kSkip: return Slot::kSkip;
    }
    return Slot::kSkip;
  }

  bool typed_top_field() const {
    return field_ == static_cast<int>(TopField::kVersion) ||
           field_ == static_cast<int>(TopField::kAddedTokens) ||
           field_ == static_cast<int>(TopField::kModel);
  }

  const char* expected_here() const {
    switch (slot_) {
      case Slot::kDocument: return "struct Tokenizer";
      case Slot::kTopField:
        if (field_ == static_cast<int>(TopField::kModel)) return "struct Model";
        if (field_ == static_cast<int>(TopField::kAddedTokens)) return "a sequence";
        return "a string";
      case Slot::kModelField:
        switch (static_cast<ModelField>(field_)) {
          case ModelField::kDropout: return "f64";
          case ModelField::kVocab: return "a map";
          case ModelField::kMerges: return "a sequence";
          case ModelField::kFuseUnk: case ModelField::kByteFallback: case ModelField::kIgnoreMerges:
            return "a boolean";
          default: return "a string";
        }
      case Slot::kVocabId: return "u32";
      case Slot::kMergeElement: return "a sequence";
      case Slot::kMergeString: return "a string";
      default: return "a value";
    }
  }

  Value* top_value() {
    switch (static_cast<TopField>(field_)) {
      case TopField::kTruncation: return &doc_.truncation;
      case TopField::kPadding: return &doc_.padding;
      case TopField::kNormalizer: return &doc_.normalizer;
      case TopField::kPreTokenizer: return &doc_.pre_tokenizer;
      case TopField::kPostProcessor: return &doc_.post_processor;
      case TopField::kDecoder: return &doc_.decoder;
      default: return nullptr;
    }
  }

  bool number(Value v, json::error_code& ec) {
    switch (slot_) {
      case Slot::kVocabId: {
        if (const std::uint64_t* u = v.as_uint(); u && *u <= std::numeric_limits<TokenId>::max()) {
          doc_.model.vocab.load_append(vocab_key_, static_cast<TokenId>(*u));
          return true;
        }
        if (const std::uint64_t* u = v.as_uint()) {
          return error(ec, "invalid value: integer `" + std::to_string(*u) + "`, expected u32");
        }
        if (const Value::NegInt* i = v.as_neg_int()) {
          return error(ec, "invalid value: integer `" + std::to_string(i->value) + "`, expected u32");
        }
        return type_error(ec, "floating point `" + format_double(*v.as_double()) + "`", "u32");
      }
      case Slot::kModelField:
        if (field_ == static_cast<int>(ModelField::kDropout)) {
          if (const std::uint64_t* u = v.as_uint()) doc_.model.dropout = static_cast<double>(*u);
          else if (const Value::NegInt* i = v.as_neg_int()) doc_.model.dropout = static_cast<double>(i->value);
          else doc_.model.dropout = *v.as_double();
          return true;
        }
        break;
      case Slot::kTopField:
        if (!typed_top_field()) {
          *top_value() = std::move(v);
          return true;
        }
        break;
      case Slot::kAddedEntry:
      case Slot::kGeneric:
        return put_generic(std::move(v));
      case Slot::kSkip:
        return skipped_scalar();
      default:
        break;
    }
    return type_error(ec, describe_number(v), expected_here());
  }

  static std::string format_double(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", d);
    return buf;
  }

  static std::string describe_number(const Value& v) {
    if (const std::uint64_t* u = v.as_uint()) return "integer `" + std::to_string(*u) + "`";
    if (const Value::NegInt* i = v.as_neg_int()) return "integer `" + std::to_string(i->value) + "`";
    return "floating point `" + format_double(*v.as_double()) + "`";
  }

  bool begin_generic(bool object) {
    generic_.push_back(GenericFrame{object, {}, {}, {}});
    return open(Frame::kGeneric, Slot::kGeneric);
  }

  bool end_generic() {
    GenericFrame done = std::move(generic_.back());
    generic_.pop_back();
    Value v;
    if (done.is_object) {
      // Key order, a repeated key keeping its last value.
      std::stable_sort(done.object.begin(), done.object.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      Object unique;
      unique.reserve(done.object.size());
      for (auto& member : done.object) {
        if (!unique.empty() && unique.back().first == member.first) {
          unique.back().second = std::move(member.second);
        } else {
          unique.push_back(std::move(member));
        }
      }
      v = Value::object(std::move(unique));
    } else {
      v = Value::array(std::move(done.array));
    }
    slot_ = parent_slot();
    if (frames_.back() == Frame::kGeneric || frames_.back() == Frame::kAddedTokens) {
      return put_generic(std::move(v));
    }
    // A whole generic section of the Tokenizer object.
    *top_value() = std::move(v);
    return true;
  }

  bool put_generic(Value v) {
    if (frames_.back() == Frame::kAddedTokens) {
      doc_.added_tokens.push_back(std::move(v));
      return true;
    }
    if (frames_.back() == Frame::kGeneric) {
      GenericFrame& top = generic_.back();
      if (top.is_object) {
        top.object.emplace_back(std::move(top.key), std::move(v));
        top.key.clear();
      } else {
        top.array.push_back(std::move(v));
      }
      return true;
    }
    // A scalar generic section directly in the Tokenizer object.
    *top_value() = std::move(v);
    return true;
  }

  // The complete text of a key or string whose last piece is `part`.
  std::string_view finish_text(json::string_view part) {
    if (scratch_.empty()) return {part.data(), part.size()};
    scratch_.append(part.data(), part.size());
    return scratch_;
  }

  // A token string that must outlive the parse: views into the input stay (the
  // arena holds the input), anything else (unescaped text) is copied.
  std::string_view keep(std::string_view s) {
    if (s.data() >= input_.data() && s.data() + s.size() <= input_.data() + input_.size()) return s;
    return doc_.arena->store(s);
  }

  bool error(json::error_code& ec, std::string message) {
    message_ = std::move(message);
    ec = json::error::syntax;
    return false;
  }

  bool type_error(json::error_code& ec, std::string what, std::string_view expected) {
    return error(ec, "invalid type: " + what + ", expected " + std::string(expected));
  }

  Document& doc_;
  std::string_view input_;
  std::vector<Frame> frames_;
  std::vector<GenericFrame> generic_;
  Slot slot_ = Slot::kDocument;
  int field_ = -1;
  std::uint32_t top_seen_ = 0;
  std::uint32_t model_seen_ = 0;
  std::string scratch_;
  std::string number_text_;
  std::string_view vocab_key_;
  std::string_view merge_left_;
  std::string_view merge_right_;
  int merge_strings_ = 0;
  std::string message_;
};

}  // namespace quorvane::json_reading

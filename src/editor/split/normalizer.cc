#include "editor/split/normalizer.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "editor/split/text_lines.h"

namespace quorvane {

namespace {

const std::string* string_member(const Value& spec, std::string_view key) {
  const Value* v = spec.find(key);
  return v == nullptr ? nullptr : v->as_string();
}

// One of the Unicode normal forms; ASCII text is in all of them already.
void normal_form(std::string& text, int options) {
  if (is_ascii(text)) return;
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t n =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                   &out, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | options));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  if (n < 0) {
    // Only invalid UTF-8 or allocation failure get here; the caller's text is
    // valid UTF-8, so the latter.
    throw std::bad_alloc();
  }
  text.assign(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

void replace_all(std::string& text, std::string_view pattern, std::string_view content) {
  std::size_t at = text.find(pattern);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  std::size_t from = 0;
  while (at != std::string::npos) {
    out.append(text, from, at - from);
    out.append(content);
    from = at + pattern.size();
    at = text.find(pattern, from);
  }
  out.append(text, from);
  text = std::move(out);
}

// Whether `text` is surely in NFC already: every character below U+0300. No
// character there decomposes to anything else, none is a combining mark, and
// every canonical composition's second character lies above. UTF-8 encodes
// U+0000..U+02FF with lead bytes below 0xCC.
bool surely_nfc(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xCC) return false;  // a lead byte of U+0300 or above
  }
  return true;
}

}  // namespace

Result<void> Normalizer::add(const Value& spec, std::vector<Step>& steps) {
  if (spec.is_null()) return {};
  const std::string* type = string_member(spec, "type");
  if (type == nullptr) return fail("a normalizer without a type");
  if (*type == "Sequence") {
    const Value* list = spec.find("normalizers");
    if (list == nullptr || list->as_array() == nullptr) return fail("a Sequence normalizer without normalizers");
    for (const Value& item : *list->as_array()) {
      if (auto added = add(item, steps); !added) return added;
    }
    return {};
  }
  static constexpr std::pair<std::string_view, Kind> kForms[] = {
      {"NFC", Kind::kNfc}, {"NFD", Kind::kNfd}, {"NFKC", Kind::kNfkc}, {"NFKD", Kind::kNfkd}};
  for (const auto& [name, kind] : kForms) {
    if (*type == name) {
      steps.push_back({kind, {}, {}});
      return {};
    }
  }
  if (*type == "Prepend") {
    const std::string* prepend = string_member(spec, "prepend");
    if (prepend == nullptr) return fail("a Prepend normalizer without a string to prepend");
    steps.push_back({Kind::kPrepend, {}, *prepend});
    return {};
  }
  if (*type == "Replace") {
    const Value* pattern = spec.find("pattern");
    const std::string* literal = pattern == nullptr ? nullptr : string_member(*pattern, "String");
    const std::string* content = string_member(spec, "content");
    if (literal == nullptr) return fail("the Replace normalizer with a regular expression");
    if (content == nullptr) return fail("a Replace normalizer without content");
    if (literal->empty()) return fail("the Replace normalizer with an empty pattern");
    steps.push_back({Kind::kReplace, *literal, *content});
    return {};
  }
  return fail("the " + *type + " normalizer");
}

Result<Normalizer> Normalizer::compile(const Value& spec) {
  Normalizer out;
  if (auto added = add(spec, out.steps_); !added) return std::unexpected(added.error());
  return out;
}

double Normalizer::growth() const {
  // utf8proc's decompositions give at most 3 times a character's bytes for
  // the canonical forms (U+1D160) and 11 for the compatibility forms
  // (U+FDFA); composing after them never lengthens.
  double out = 1;
  for (const Step& step : steps_) {
    switch (step.kind) {
      case Kind::kNfc:
      case Kind::kNfd: out *= 3; break;
      case Kind::kNfkc:
      case Kind::kNfkd: out *= 11; break;
      case Kind::kPrepend: break;
      case Kind::kReplace:
        out *= std::max(1.0, static_cast<double>(step.content.size()) / static_cast<double>(step.pattern.size()));
        break;
    }
  }
  return out;
}

bool Normalizer::uses_unicode_tables() const {
  return std::any_of(steps_.begin(), steps_.end(),
                     [](const Step& step) { return step.kind != Kind::kPrepend && step.kind != Kind::kReplace; });
}

void Normalizer::apply(std::string& text) const {
  for (const Step& step : steps_) {
    switch (step.kind) {
      case Kind::kNfc:
        if (!surely_nfc(text)) normal_form(text, UTF8PROC_COMPOSE);
        break;
      case Kind::kNfd: normal_form(text, UTF8PROC_DECOMPOSE); break;
      case Kind::kNfkc: normal_form(text, UTF8PROC_COMPOSE | UTF8PROC_COMPAT); break;
      case Kind::kNfkd: normal_form(text, UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT); break;
      case Kind::kPrepend:
        if (!text.empty()) text.insert(0, step.content);
        break;
      case Kind::kReplace: replace_all(text, step.pattern, step.content); break;
    }
  }
}

}  // namespace quorvane

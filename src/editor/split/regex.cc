#include "editor/split/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstring>
#include <new>

namespace quorvane {

namespace {

pcre2_code* as_code(void* code) { return static_cast<pcre2_code*>(code); }

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buffer);
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_alnum(char c) { return is_letter(c) || (c >= '0' && c <= '9'); }

// The general categories, which both engines take from the same tables.
// Scripts are not among them: PCRE2 matches a script's extensions too (a
// combining mark shared by Greek and Latin is \p{Greek}), the client does not.
bool is_general_category(std::string_view name) {
  static constexpr std::string_view kCategories[] = {
      "L",  "Lu", "Ll", "Lt", "Lm", "Lo", "M",  "Mn", "Mc", "Me", "N",  "Nd", "Nl", "No", "P",  "Pc", "Pd", "Ps",
      "Pe", "Pi", "Pf", "Po", "S",  "Sm", "Sc", "Sk", "So", "Z",  "Zs", "Zl", "Zp", "C",  "Cc", "Cf", "Co", "Cn"};
  for (const std::string_view c : kCategories) {
    if (name == c) return true;
  }
  return false;
}

// Whether a case-insensitive pattern may match differently: the client's
// engine folds one character to several ("ß" matches "ss", "ﬁ" matches "fi"),
// PCRE2 does not. Those folds all reach letters beyond ASCII or one of these
// pairs of ASCII letters.
bool multi_character_fold(std::string_view p) {
  std::string lower(p);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  for (const std::string_view pair : {"ss", "st", "ff", "fi", "fl"}) {
    if (lower.find(pair) != std::string::npos) return true;
  }
  return false;
}

// The first construct of `p` whose meaning may differ between the client's
// engine and PCRE2, or empty when there is none. Accepted: literals, escaped
// punctuation, \s \S \r \n \t \f, \p{Name} \P{Name}, classes without nesting,
// POSIX names or intersections, groups (?: (?i: (?i) (?= (?! (?<= (?<! (?>,
// alternation and every quantifier. Refused among others: \d \w \b \v \h \x \u
// (ASCII-only or another meaning in one of the engines), ^ and $ (line anchors
// in one, subject anchors in the other), back-references and named groups,
// properties other than general categories, {,n} (a quantifier in one, text
// in the other), PCRE2's verbs (*...), and a case-insensitive pattern that
// holds what one character can fold to several of.
std::string unsupported_construct(std::string_view p) {
  if (p.find("(?i") != std::string_view::npos && multi_character_fold(p)) {
    return "case-insensitive matching of characters that fold to several";
  }
  if (p.find("{,") != std::string_view::npos) return "the quantifier {,n}";
  bool in_class = false;
  std::size_t class_start = 0;  // where the class's members begin
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '\\') {
      if (i + 1 == p.size()) return "a trailing backslash";
      const char e = p[++i];
      if (!is_alnum(e)) continue;
      if (std::strchr("sSrntf", e) != nullptr) continue;
      if (e == 'p' || e == 'P') {
        if (i + 1 == p.size() || p[i + 1] != '{') return std::string("the escape \\") + e + " without braces";
        std::size_t close = i + 2;
        while (close < p.size() && (is_letter(p[close]) || p[close] == '_')) ++close;
        if (close == i + 2 || close == p.size() || p[close] != '}') return "a property name other than letters";
        if (!is_general_category(p.substr(i + 2, close - i - 2))) {
          return "the property " + std::string(p.substr(i + 2, close - i - 2));
        }
        i = close;
        continue;
      }
      return std::string("the escape \\") + e;
    }
    if (in_class) {
      if (c == '[') return "a nested character class";
      if (c == '&' && i + 1 < p.size() && p[i + 1] == '&') return "a class intersection";
      if (c == ']' && i > class_start) in_class = false;
      if (c == ']' && i == class_start) return "an empty character class";
      continue;
    }
    switch (c) {
      case '[':
        in_class = true;
        class_start = i + 1;
        if (class_start < p.size() && p[class_start] == '^') ++class_start;
        break;
      case '^':
      case '$': return std::string("the anchor ") + c;
      case '(': {
        if (i + 1 < p.size() && p[i + 1] == '*') return "the verb (*";
        if (i + 1 == p.size() || p[i + 1] != '?') break;
        const std::string_view rest = p.substr(i + 2);
        static constexpr std::string_view kGroups[] = {":", "i:", "i)", "=", "!", "<=", "<!", ">"};
        bool known = false;
        for (const std::string_view g : kGroups) known = known || rest.starts_with(g);
        if (!known) return "the group (?" + std::string(rest.substr(0, 2));
        break;
      }
      default: break;
    }
  }
  if (in_class) return "an unclosed character class";
  return {};
}

}  // namespace

struct Regex::Matcher::State {
  pcre2_match_data* data = nullptr;
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* stack = nullptr;
};

Result<std::shared_ptr<const Regex>> Regex::compile(std::string_view pattern) {
  if (std::string construct = unsupported_construct(pattern); !construct.empty()) {
    return fail("the regular expression " + std::string(pattern) + " (" + construct + ")");
  }
  return compile_trusted(pattern);
}

Result<std::shared_ptr<const Regex>> Regex::compile_trusted(std::string_view pattern) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                       PCRE2_UTF | PCRE2_UCP, &code, &offset, nullptr);
  if (compiled == nullptr) {
    return fail("the regular expression " + std::string(pattern) + " (" + pcre2_message(code) + " at offset " +
                std::to_string(offset) + ")");
  }
  std::shared_ptr<Regex> regex(new Regex());
  regex->code_ = compiled;
  std::uint32_t min_length = 0;
  pcre2_pattern_info(compiled, PCRE2_INFO_MINLENGTH, &min_length);
  if (min_length == 0) return fail("the regular expression " + std::string(pattern) + " (it can match nothing)");
  // Without JIT (a platform that lacks it) matching is slower but the same.
  pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE);
  return std::shared_ptr<const Regex>(std::move(regex));
}

Regex::~Regex() { pcre2_code_free(as_code(code_)); }

Regex::Matcher::Matcher(const Regex& regex) : regex_(regex), state_(std::make_unique<State>()) {
  state_->data = pcre2_match_data_create_from_pattern(as_code(regex.code_), nullptr);
  state_->context = pcre2_match_context_create(nullptr);
  // Long runs of spaces or letters recurse deeply in the JIT; its default
  // 32 KiB stack would give up on a long line.
  state_->stack = pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr);
  if (state_->data == nullptr || state_->context == nullptr || state_->stack == nullptr) {
    pcre2_jit_stack_free(state_->stack);
    pcre2_match_context_free(state_->context);
    pcre2_match_data_free(state_->data);
    throw std::bad_alloc();
  }
  pcre2_jit_stack_assign(state_->context, nullptr, state_->stack);
}

Regex::Matcher::~Matcher() {
  pcre2_jit_stack_free(state_->stack);
  pcre2_match_context_free(state_->context);
  pcre2_match_data_free(state_->data);
}

bool Regex::Matcher::find(std::string_view text, std::size_t from, std::size_t& start, std::size_t& end,
                          std::string& error) {
  // The text is valid UTF-8 (it came from a Python str), checked once by the caller's source.
  const int rc = pcre2_match(as_code(regex_.code_), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                             PCRE2_NO_UTF_CHECK, state_->data, state_->context);
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc < 0) {
    error = pcre2_message(rc);
    return false;
  }
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(state_->data);
  start = ovector[0];
  end = ovector[1];
  return true;
}

}  // namespace quorvane

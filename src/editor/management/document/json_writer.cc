#include "editor/management/document/json_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

void newline(std::string& out, int indent) {
  out += '\n';
  out.append(static_cast<std::size_t>(indent) * 2, ' ');
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

}  // namespace

void write_string(std::string& out, std::string_view s) {
  out += '"';
  std::size_t run = 0;  // start of the pending unescaped run
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (!needs_escape(c)) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char esc[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, sizeof esc);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

namespace {

template <typename Int>
void write_integer(std::string& out, Int v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

void write_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  char buf[40];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  out += text;
  // Shortest form reads back as the same double; keep it visibly a float.
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

// A member of a record object: its key and how to write its value.
struct Member {
  std::string_view key;
  std::function<void(int)> write;
};

void write_members(std::string& out, std::vector<Member>& members, int indent, KeyOrder order) {
  if (order == KeyOrder::kSorted) {
    std::sort(members.begin(), members.end(),
              [](const Member& a, const Member& b) { return a.key < b.key; });
  }
  out += '{';
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i > 0) out += ',';
    newline(out, indent + 1);
    write_string(out, members[i].key);
    out += ": ";
    members[i].write(indent + 1);
  }
  newline(out, indent);
  out += '}';
}

// The vocabulary and the merge list are nearly all of a large document; they
// are written through raw pointers into room reserved per entry rather than
// through string appends.
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out), len_(out.size()) {}
  ~Sink() { out_.resize(len_); }

  // Room for at least `n` more bytes; pass the end of what was written to done().
  char* room(std::size_t n) {
    // Grows in steps of at most 1 MB within the reserved capacity (zero-filled
    // once), not by doubling the size, which would reallocate past the
    // estimate; a step never passes the capacity, so that a small document
    // does not fill a megabyte.
    if (out_.size() < len_ + n) {
      const std::size_t need = len_ + n;
      const std::size_t spare = out_.capacity() > need ? out_.capacity() - need : 0;
      out_.resize(need + std::min<std::size_t>(spare, 1u << 20));
    }
    return out_.data() + len_;
  }
  void done(char* end) { len_ = static_cast<std::size_t>(end - out_.data()); }

 private:
  std::string& out_;
  std::size_t len_;
};

// At most this many bytes for a string of n bytes, quotes included.
constexpr std::size_t max_quoted(std::size_t n) { return 6 * n + 2; }

// True when one of the eight bytes of `w` must be escaped (below 0x20, '"' or
// '\\'): the usual SWAR tests for a zero byte and a byte below n, exact for
// presence.
bool any_escape(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) &
         kHighs;
}

char* put_escaped_tail(char* p, std::string_view s) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (!needs_escape(c)) continue;
    std::memcpy(p, s.data() + run, i - run);
    p += i - run;
    run = i + 1;
    std::string escaped;
    write_string(escaped, std::string_view(s.data() + i, 1));  // "\\x" with its quotes
    std::memcpy(p, escaped.data() + 1, escaped.size() - 2);
    p += escaped.size() - 2;
  }
  std::memcpy(p, s.data() + run, s.size() - run);
  return p + (s.size() - run);
}

// Writes `s` quoted and escaped; needs room for max_quoted(s.size()) bytes.
char* put_string(char* p, std::string_view s) {
  *p++ = '"';
  std::size_t i = 0;
  // Plain runs go eight bytes at a time; the rest (and any escape) bytewise.
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (any_escape(w)) break;
    std::memcpy(p, &w, 8);
    p += 8;
  }
  p = put_escaped_tail(p, s.substr(i));
  *p++ = '"';
  return p;
}

// A newline and `indent` units of two spaces.
char* put_newline(char* p, int indent) {
  static constexpr std::string_view kLine =
      "\n                                                                ";
  const std::size_t n = 1 + 2 * static_cast<std::size_t>(indent);
  if (n <= kLine.size()) {
    std::memcpy(p, kLine.data(), n);
    return p + n;
  }
  *p++ = '\n';
  std::memset(p, ' ', n - 1);
  return p + n - 1;
}

std::size_t newline_size(int indent) { return 1 + 2 * static_cast<std::size_t>(indent); }

void write_vocab(std::string& out, const Vocabulary& vocab, int indent) {
  const std::vector<VocabEntry>& entries = vocab.sorted();
  if (entries.empty()) {
    out += "{}";
    return;
  }
  out += '{';
  Sink sink(out);
  bool first = true;
  for (const VocabEntry& e : entries) {
    char* p = sink.room(max_quoted(e.token.size()) + newline_size(indent + 1) + 16);
    if (!first) *p++ = ',';
    first = false;
    p = put_newline(p, indent + 1);
    p = put_string(p, e.token);
    *p++ = ':';
    *p++ = ' ';
    p = std::to_chars(p, p + 10, e.id).ptr;
    sink.done(p);
  }
  char* p = sink.room(newline_size(indent) + 1);
  p = put_newline(p, indent);
  *p++ = '}';
  sink.done(p);
}

// Merges [begin, end) as members of the merges array, each but the list's
// first preceded by a comma.
void write_merge_entries(std::string& out, const std::vector<Merge>& merges, std::size_t begin,
                         std::size_t end, int indent) {
  Sink sink(out);
  for (std::size_t i = begin; i < end; ++i) {
    const Merge& m = merges[i];
    char* p = sink.room(max_quoted(m.left.size()) + max_quoted(m.right.size()) +
                        2 * newline_size(indent + 1) + 2 * newline_size(indent + 2) + 4);
    if (i > 0) *p++ = ',';
    p = put_newline(p, indent + 1);
    *p++ = '[';
    p = put_newline(p, indent + 2);
    p = put_string(p, m.left);
    *p++ = ',';
    p = put_newline(p, indent + 2);
    p = put_string(p, m.right);
    p = put_newline(p, indent + 1);
    *p++ = ']';
    sink.done(p);
  }
}

void write_merges(std::string& out, const std::vector<Merge>& merges, int indent) {
  if (merges.empty()) {
    out += "[]";
    return;
  }
  out += '[';
  write_merge_entries(out, merges, 0, merges.size(), indent);
  newline(out, indent);
  out += ']';
}

void write_optional_string(std::string& out, const std::optional<std::string>& s) {
  if (s) write_string(out, *s);
  else out += "null";
}

void write_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

// From this many merges on, the merge list is written on a thread of its own
// while the vocabulary is written.
constexpr std::size_t kMergesOnThread = 1 << 14;

std::size_t vocab_size_estimate(const Vocabulary& vocab) {
  std::size_t n = 64;
  vocab.for_each([&](const VocabEntry& e) { n += e.token.size() + 24; });
  return n;
}

std::size_t merges_size_estimate(const std::vector<Merge>& merges) {
  std::size_t n = 64;
  for (const Merge& m : merges) n += m.left.size() + m.right.size() + 40;
  return n;
}

// The document's text so far and the pieces before it: a large vocabulary and
// merge list are written into texts of their own, side by side, and taken
// over as pieces rather than copied in.
struct Pieces {
  std::vector<std::string> done;
  std::string& out;

  void take(std::string text) {
    done.push_back(std::move(out));
    done.push_back(std::move(text));
    out = std::string();
  }
};

void write_model(Pieces& pieces, const Model& m, int indent, KeyOrder order) {
  std::string& out = pieces.out;
  // Only reads the merge list, which nothing changes while the document is
  // written; a failure to start the thread writes everything here instead.
  std::string merges_text;
  std::exception_ptr merges_failed;
  std::jthread merges_writer;
  if (m.merges.size() >= kMergesOnThread) {
    try {
      merges_writer = std::jthread([&]() noexcept {
        try {
          merges_text.reserve(merges_size_estimate(m.merges));
          write_merges(merges_text, m.merges, indent + 1);
        } catch (...) {
          merges_failed = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
    }
  }
  // Meanwhile, whichever key comes first.
  std::string vocab_text;
  if (merges_writer.joinable()) {
    vocab_text.reserve(vocab_size_estimate(m.vocab));
    write_vocab(vocab_text, m.vocab, indent + 1);
  }
  auto vocab = [&](int level) {
    if (!merges_writer.joinable()) return write_vocab(out, m.vocab, level);
    pieces.take(std::move(vocab_text));
  };
  auto merges = [&](int level) {
    if (!merges_writer.joinable()) return write_merges(out, m.merges, level);
    merges_writer.join();
    if (merges_failed) std::rethrow_exception(merges_failed);
    pieces.take(std::move(merges_text));
  };
  std::vector<Member> members = {
      {"type", [&](int) { write_string(out, m.type); }},
      {"dropout", [&](int) { if (m.dropout) write_double(out, *m.dropout); else out += "null"; }},
      {"unk_token", [&](int) { write_optional_string(out, m.unk_token); }},
      {"continuing_subword_prefix", [&](int) { write_optional_string(out, m.continuing_subword_prefix); }},
      {"end_of_word_suffix", [&](int) { write_optional_string(out, m.end_of_word_suffix); }},
      {"fuse_unk", [&](int) { write_bool(out, m.fuse_unk); }},
      {"byte_fallback", [&](int) { write_bool(out, m.byte_fallback); }},
      {"ignore_merges", [&](int) { write_bool(out, m.ignore_merges); }},
      {"vocab", vocab},
      {"merges", merges},
  };
  write_members(out, members, indent, order);
}

// A rough size of the output, so the buffer grows once or not at all; the
// vocabulary and the merge list only when written in place.
std::size_t estimate_size(const Document& d) {
  std::size_t n = 4096 + d.added_tokens.size() * 200;
  if (d.model.merges.size() < kMergesOnThread) n += vocab_size_estimate(d.model.vocab) + merges_size_estimate(d.model.merges);
  return n;
}

}  // namespace

void write_value(std::string& out, const Value& value, int indent) {
  if (value.is_null()) {
    out += "null";
  } else if (const bool* b = value.as_bool()) {
    write_bool(out, *b);
  } else if (const std::uint64_t* u = value.as_uint()) {
    write_integer(out, *u);
  } else if (const Value::NegInt* i = value.as_neg_int()) {
    write_integer(out, i->value);
  } else if (const double* d = value.as_double()) {
    write_double(out, *d);
  } else if (const std::string* s = value.as_string()) {
    write_string(out, *s);
  } else if (const Array* a = value.as_array()) {
    if (a->empty()) {
      out += "[]";
      return;
    }
    out += '[';
    for (std::size_t i = 0; i < a->size(); ++i) {
      if (i > 0) out += ',';
      newline(out, indent + 1);
      write_value(out, (*a)[i], indent + 1);
    }
    newline(out, indent);
    out += ']';
  } else if (const Object* o = value.as_object()) {
    if (o->empty()) {
      out += "{}";
      return;
    }
    out += '{';
    for (std::size_t i = 0; i < o->size(); ++i) {
      if (i > 0) out += ',';
      newline(out, indent + 1);
      write_string(out, (*o)[i].first);
      out += ": ";
      write_value(out, (*o)[i].second, indent + 1);
    }
    newline(out, indent);
    out += '}';
  }
}

namespace {

std::vector<std::string> write_pieces(const Document& d, KeyOrder order) {
  std::string out;
  out.reserve(estimate_size(d));
  Pieces pieces{{}, out};
  auto generic = [&](const Value& v) { return [&out, &v](int level) { write_value(out, v, level); }; };
  std::vector<Member> members = {
      {"version", [&](int) { write_string(out, d.version); }},
      {"truncation", generic(d.truncation)},
      {"padding", generic(d.padding)},
      {"added_tokens",
       [&](int level) {
         if (d.added_tokens.empty()) {
           out += "[]";
           return;
         }
         out += '[';
         for (std::size_t i = 0; i < d.added_tokens.size(); ++i) {
           if (i > 0) out += ',';
           newline(out, level + 1);
           write_value(out, d.added_tokens[i], level + 1);
         }
         newline(out, level);
         out += ']';
       }},
      {"normalizer", generic(d.normalizer)},
      {"pre_tokenizer", generic(d.pre_tokenizer)},
      {"post_processor", generic(d.post_processor)},
      {"decoder", generic(d.decoder)},
      {"model", [&](int level) { write_model(pieces, d.model, level, order); }},
  };
  write_members(out, members, 0, order);
  pieces.done.push_back(std::move(out));
  return std::move(pieces.done);
}

}  // namespace

std::string write_document(const Document& d, KeyOrder order) {
  std::vector<std::string> pieces = write_pieces(d, order);
  if (pieces.size() == 1) return std::move(pieces.front());
  std::size_t size = 0;
  for (const std::string& piece : pieces) size += piece.size();
  std::string out;
  out.reserve(size);
  for (const std::string& piece : pieces) out += piece;
  return out;
}

namespace {

// Follows symbolic links so that saving through a link replaces the file it
// points to, not the link. Returns the final path (which may not exist yet).
bool resolve_link_target(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n < 0) return false;
    link.resize(static_cast<std::size_t>(n));
    if (!link.empty() && link.front() == '/') {
      target = link;
    } else {
      const std::size_t slash = target.rfind('/');
      target = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + link;
    }
  }
  return false;  // a loop of links
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

Result<void> save_document(const Document& document, const std::string& path) {
  auto failure = [&](std::string cause) { return fail("Failed to write: " + path, std::move(cause)); };
  // A path with a NUL would be cut short by the system calls: never touch the
  // shorter path instead.
  if (path.empty() || path.find('\0') != std::string::npos) return failure("invalid path");

  const std::vector<std::string> pieces = write_pieces(document, KeyOrder::kSorted);
  auto write_pieces_to = [&pieces](int fd) {
    return std::all_of(pieces.begin(), pieces.end(), [fd](const std::string& piece) { return write_all(fd, piece); });
  };

  std::string target;
  if (!resolve_link_target(path, target)) return failure("cannot resolve symbolic link");
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return failure("is a directory");
  if (exists && !S_ISREG(existing.st_mode)) {
    // A device or a pipe (/dev/null, /dev/stdout) has no old content to
    // protect and cannot be replaced by a rename: write to it directly.
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return failure(std::strerror(errno));
    const bool written = write_pieces_to(fd);
    const int saved_errno = errno;
    if (::close(fd) != 0 || !written) return failure(std::strerror(written ? errno : saved_errno));
    return {};
  }

  const std::size_t slash = target.rfind('/');
  std::string tmp = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                    ".quorvane-save-XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return failure(std::strerror(errno));

  const bool written = write_pieces_to(fd) &&
                       ::fchmod(fd, exists ? (existing.st_mode & 07777) : new_file_mode()) == 0;
  const int saved_errno = errno;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(tmp.c_str(), target.c_str()) != 0) {
    const int err = written && closed ? errno : saved_errno;
    ::unlink(tmp.c_str());
    return failure(std::strerror(err));
  }
  return {};
}

}  // namespace quorvane

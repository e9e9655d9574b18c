#include "python/split_methods.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "editor/base/parallel.h"
#include "editor/split/text_lines.h"
#include "editor/split/word_count.h"
#include "python/call.h"
#include "python/convert.h"

namespace quorvane::py {

namespace {

// Calls f(item, text) for each item of the iterable `obj`, which must be a
// str; otherwise TypeError "{what}, not {type}". False with the exception set.
template <typename F>
bool each_str(PyObject* obj, const char* name, const char* what, F&& f) {
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    std::string_view text;
    if (!PyUnicode_Check(item.get())) {
      if (PyRef type = type_name(item.get())) PyErr_Format(PyExc_TypeError, "%s, not %U", what, type.get());
      return false;
    }
    if (!to_text(item.get(), name, text)) return false;
    f(std::move(item), text);
  }
  return !PyErr_Occurred();
}

// The lines of `obj` (an iterable of str, not a str itself) as views into the
// str objects, which `owners` keeps alive.
bool to_lines(PyObject* obj, std::vector<PyRef>& owners, std::vector<std::string_view>& lines) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'lines': expected an iterable of str, not a single str");
    return false;
  }
  return each_str(obj, "lines", "argument 'lines': each line must be str", [&](PyRef item, std::string_view line) {
    lines.push_back(line);
    owners.push_back(std::move(item));
  });
}

// counts[word] += n for every word; counts' values must support + with int.
bool add_counts(PyObject* counts, const WordCountMap& words) {
  for (const auto& [word, n] : words) {
    PyRef key = to_py(word);
    PyRef add = PyRef::steal(PyLong_FromUnsignedLongLong(n));
    if (!key || !add) return false;
    PyObject* old = PyDict_GetItemWithError(counts, key.get());  // borrowed
    if (old == nullptr && PyErr_Occurred()) return false;
    PyRef total = old == nullptr ? std::move(add) : PyRef::steal(PyNumber_Add(old, add.get()));
    if (!total || PyDict_SetItem(counts, key.get(), total.get()) < 0) return false;
  }
  return true;
}

// The first character of `line` at or above U+0080, as "U+XXXX", for a message.
std::string first_non_ascii(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto b = static_cast<unsigned char>(line[i]);
    if (b < 0x80) continue;
    const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    char32_t cp = b & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < line.size(); ++k) cp = (cp << 6) | (line[i + k] & 0x3F);
    char out[16];
    std::snprintf(out, sizeof out, "U+%04X", static_cast<unsigned>(cp));
    return out;
  }
  return "?";
}

PyObject* unsure_failure(std::string_view line, std::size_t number) {
  std::string where = number == 0 ? "the text" : "line " + std::to_string(number);
  const std::string why = line.size() > (1u << 20) ? "is too long for the regular expression engine"
                                                   : "holds a character this build's Unicode tables may not know (near " +
                                                         first_non_ascii(line) + ")";
  return raise_failure(Failure::kSplit, Error::make(where + " " + why + "; pass fallback to split such text"));
}

// The words `fallback(line)` gives: an iterable of str, appended to `out`.
bool fallback_words(PyObject* fallback, std::string_view line, std::vector<std::string>& out) {
  PyRef text = to_py(line);
  if (!text) return false;
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(fallback, text.get(), nullptr));
  if (!result) return false;
  return each_str(result.get(), "fallback", "fallback must give words as str",
                  [&](PyRef, std::string_view word) { out.emplace_back(word); });
}

bool check_callable(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None || PyCallable_Check(obj)) return true;
  if (PyRef type = type_name(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a callable or None, not %U", name, type.get());
  }
  return false;
}

// What count_words and count_text share: the threads, the dict to add to and
// the fallback, checked.
struct CountOptions {
  unsigned threads = 1;
  PyObject* counts = nullptr;    // borrowed; null for a new dict
  PyObject* fallback = nullptr;  // borrowed; null for none
};

bool to_count_options(PyObject* threads, PyObject* counts, PyObject* fallback, CountOptions& out) {
  std::uint64_t wanted = 0;
  if (!to_count(threads, "threads", wanted)) return false;
  out.threads = wanted == 0 ? usable_cores() : static_cast<unsigned>(std::min<std::uint64_t>(wanted, 64));
  out.fallback = fallback == Py_None ? nullptr : fallback;
  if (!check_callable(out.fallback, "fallback")) return false;
  if (counts != nullptr && counts != Py_None && !PyDict_Check(counts)) {
    if (PyRef type = type_name(counts)) {
      PyErr_Format(PyExc_TypeError, "argument 'counts': expected a dict or None, not %U", type.get());
    }
    return false;
  }
  out.counts = counts == Py_None ? nullptr : counts;
  return true;
}

// Counts the lines the core left to the caller (positions in `lines`, which
// follow `lines_before` lines of the same text) with the fallback, or fails
// naming the first by its line number.
bool count_unsure(const CountOptions& options, std::span<const std::string_view> lines,
                  const std::vector<std::size_t>& unsure, std::size_t lines_before, WordCounter& counter) {
  std::vector<std::string> extra;
  for (const std::size_t i : unsure) {
    if (options.fallback == nullptr) {
      unsure_failure(lines[i], lines_before + i + 1);
      return false;
    }
    extra.clear();
    if (!fallback_words(options.fallback, lines[i], extra)) return false;
    for (std::string& word : extra) counter.add_word(std::move(word));
  }
  return true;
}

// The counts as a dict: options.counts with them added, or a new one.
PyObject* counts_dict(const CountOptions& options, const WordCountMap& words) {
  PyRef out = options.counts == nullptr ? PyRef::steal(PyDict_New()) : PyRef::borrow(options.counts);
  if (!out || !add_counts(out.get(), words)) return nullptr;
  return out.release();
}

}  // namespace

constexpr Parameters<4> kCountWords{"Quorvane.count_words()", {"lines", "counts", "threads", "fallback"}, 1};

PyObject* count_words(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    CountOptions options;
    if (!to_count_options(argv[2], argv[1], argv[3], options)) return nullptr;
    std::vector<PyRef> owners;
    std::vector<std::string_view> lines;
    if (!to_lines(argv[0], owners, lines)) return nullptr;
    Result<TextSplitter> splitter = TextSplitter::compile(access.editor().document());
    if (!splitter) return raise_failure(Failure::kSplitter, splitter.error());

    WordCounter counter(*splitter, options.threads);
    std::vector<std::size_t> unsure;
    {
      // The splitter is the call's own and the lines are held: nothing here
      // touches the editor or Python.
      const WithoutGil unlocked;
      counter.add(lines, unsure);
    }
    if (!count_unsure(options, lines, unsure, 0, counter)) return nullptr;
    return counts_dict(options, counter.take());
  };
  return call<ReadAccess>(self, kCountWords, args, nargs, kwnames, body);
}

constexpr Parameters<4> kCountText{"Quorvane.count_text()", {"blocks", "counts", "threads", "fallback"}, 1};

PyObject* count_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    CountOptions options;
    if (!to_count_options(argv[2], argv[1], argv[3], options)) return nullptr;
    PyObject* blocks = argv[0];
    if (PyUnicode_Check(blocks)) {
      PyErr_SetString(PyExc_TypeError, "argument 'blocks': expected bytes or an iterable of bytes, not str");
      return nullptr;
    }
    Result<TextSplitter> splitter = TextSplitter::compile(access.editor().document());
    if (!splitter) return raise_failure(Failure::kSplitter, splitter.error());

    WordCounter counter(*splitter, options.threads);
    std::vector<std::string_view> lines;
    std::vector<std::size_t> unsure;
    std::size_t lines_before = 0;
    // One block: its lines are cut, checked and split without the
    // interpreter lock (the bytes object is held and cannot change), then the
    // few lines the core leaves go to the fallback.
    auto count_block = [&](PyObject* block) -> bool {
      if (!PyBytes_Check(block)) {
        if (PyRef type = type_name(block)) {
          PyErr_Format(PyExc_TypeError, "argument 'blocks': each block must be bytes, not %U", type.get());
        }
        return false;
      }
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return false;
      bool valid = true;
      lines.clear();
      unsure.clear();
      {
        const WithoutGil unlocked;
        cut_lines(std::string_view(data, static_cast<std::size_t>(size)), lines);
        valid = counter.add_text(lines, unsure);
      }
      if (!valid) {
        // Python's own decoder says where and why, as reading the text as
        // str would have.
        if (PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(data, size, "strict"))) {
          PyErr_SetString(PyExc_ValueError, "argument 'blocks': a block is not UTF-8");
        }
        return false;
      }
      const std::size_t before = lines_before;
      lines_before += lines.size();
      return count_unsure(options, lines, unsure, before, counter);
    };
    if (PyBytes_Check(blocks)) {
      if (!count_block(blocks)) return nullptr;
    } else {
      PyRef iter = PyRef::steal(PyObject_GetIter(blocks));
      if (!iter) return nullptr;
      while (PyRef block = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!count_block(block.get())) return nullptr;
      }
      if (PyErr_Occurred()) return nullptr;
    }
    return counts_dict(options, counter.take());
  };
  return call<ReadAccess>(self, kCountText, args, nargs, kwnames, body);
}

constexpr Parameters<2> kSplitWords{"Quorvane.split_words()", {"text", "fallback"}, 1};

PyObject* split_words(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::string_view text;
    PyObject* fallback = argv[1] == Py_None ? nullptr : argv[1];
    if (!to_text(argv[0], "text", text) || !check_callable(fallback, "fallback")) return nullptr;
    Result<TextSplitter> splitter = TextSplitter::compile(access.editor().document());
    if (!splitter) return raise_failure(Failure::kSplitter, splitter.error());
    std::optional<std::vector<std::string>> words = splitter->words(text);
    if (!words) {
      if (fallback == nullptr) return unsure_failure(text, 0);
      words.emplace();
      if (!fallback_words(fallback, text, *words)) return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const std::string& word : *words) {
      PyRef item = to_py(word);
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  };
  return call<ReadAccess>(self, kSplitWords, args, nargs, kwnames, body);
}

const char kCountWordsDoc[] =
    "count_words($self, lines, counts=None, threads=0, fallback=None)\n--\n\n"
    "Count the words of lines of text as the tokenizer itself cuts them\n\n"
    "Each line goes through the tokenizer's normalizer and pre-tokenizer, and\n"
    "each pre-token is a word in the model's alphabet, as tokenize and\n"
    "extend_vocabulary take words. Without a pre-tokenizer the words are the\n"
    "pieces that start at each \"\\u2581\" marker. The work is shared by threads\n"
    "that run without the interpreter lock. A line holding a character that\n"
    "this build's Unicode tables may not know as the tokenizers package does\n"
    "(one assigned in a later Unicode version), or one so long that the\n"
    "regular expression engine gives up, is split by fallback instead.\n\n"
    "Args:\n    lines: The lines of text (an iterable of str)\n"
    "    counts: A dict to add the counts to (a new one when None)\n"
    "    threads: How many threads to split on (0: one per usable core)\n"
    "    fallback: A callable giving the words of one such line (a list of\n"
    "        str), or None\n\n"
    "Returns:\n    dict[str, int]: counts, word to occurrences\n\n"
    "Raises:\n    NotImplementedError: the tokenizer's normalizer or pre-tokenizer is\n"
    "        one whose result cannot be reproduced exactly (the message names it);\n"
    "        split the text with the tokenizers package instead\n"
    "    ValueError: a line needs fallback and none was given (counts is\n"
    "        unchanged)";

const char kCountTextDoc[] =
    "count_text($self, blocks, counts=None, threads=0, fallback=None)\n--\n\n"
    "Count the words of UTF-8 text given in blocks of whole lines\n\n"
    "As count_words, for text still in bytes, as read from a file: lines end\n"
    "at \"\\n\" (a \"\\r\" before it is dropped), and a line that is empty or holds\n"
    "only white space (as str.isspace) is skipped. Blocks are taken one after\n"
    "the other while the counts of all of them are kept in the core, so that\n"
    "the blocks can come from a reader that decompresses the next one\n"
    "meanwhile. A block must end at a line break, except the text's last.\n\n"
    "Args:\n    blocks: The text (bytes), or an iterable of bytes blocks\n"
    "    counts: A dict to add the counts to (a new one when None)\n"
    "    threads: How many threads to split on (0: one per usable core)\n"
    "    fallback: As for count_words\n\n"
    "Returns:\n    dict[str, int]: counts, word to occurrences\n\n"
    "Raises:\n    UnicodeDecodeError: a block is not UTF-8 (positions within that\n"
    "        block; counts is unchanged)\n"
    "    NotImplementedError: as for count_words\n"
    "    ValueError: as for count_words (line numbers count every line of\n"
    "        the blocks so far, blank ones included)";

const char kSplitWordsDoc[] =
    "split_words($self, text, fallback=None)\n--\n\n"
    "The words of one text, in order, as count_words cuts them\n\n"
    "Args:\n    text: The text\n"
    "    fallback: As for count_words\n\n"
    "Returns:\n    list[str]\n\n"
    "Raises:\n    NotImplementedError: as for count_words\n"
    "    ValueError: as for count_words";

}  // namespace quorvane::py

#include "python/learn_methods.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "editor/learn/extend.h"
#include "editor/learn/prune.h"
#include "python/call.h"
#include "python/convert.h"

namespace quorvane::py {

namespace {

// One (word, count) item: the word a str, the count an int >= 0.
bool add_word(PyObject* word, PyObject* count, const char* name, WordCounts& out) {
  std::string_view text;
  std::uint64_t n = 0;
  if (!PyUnicode_Check(word)) return wrong(word, name, "each word must be str");
  if (!to_text(word, name, text) || !to_count(count, name, n)) return false;
  out.emplace_back(std::string(text), n);
  return true;
}

// Word counts: a mapping of str to int (a dict or collections.Counter), or an
// iterable of (word, count) pairs; None (where allowed) means no words.
bool to_word_counts(PyObject* obj, const char* name, std::optional<WordCounts>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  WordCounts words;
  if (PyDict_Check(obj)) {
    words.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!add_word(key, value, name, words)) return false;
    }
    out = std::move(words);
    return true;
  }
  constexpr const char* kExpected = "expected word counts (a dict of str to int, or (word, count) pairs)";
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return wrong(obj, name, kExpected);
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) {
    PyErr_Clear();
    return wrong(obj, name, kExpected);
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) {
      return wrong(item.get(), name, "each item must be a (word, count) tuple");
    }
    if (!add_word(PyTuple_GetItem(item.get(), 0), PyTuple_GetItem(item.get(), 1), name, words)) return false;
  }
  if (PyErr_Occurred()) return false;
  out = std::move(words);
  return true;
}

}  // namespace

constexpr Parameters<6> kExtendVocabulary{
    "Quorvane.extend_vocabulary()",
    {"words", "count", "max_token_length", "min_frequency", "reuse_freed_ids", "unchanged_words"},
    2};

PyObject* extend_vocabulary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::optional<WordCounts> words;
    std::optional<WordCounts> unchanged;
    ExtendOptions options;
    int reuse = 0;
    if (!to_word_counts(argv[0], "words", words) || !to_count(argv[1], "count", options.count) ||
        !to_count(argv[2], "max_token_length", options.max_token_length) ||
        !to_count(argv[3], "min_frequency", options.min_frequency) ||
        !to_word_counts(argv[5], "unchanged_words", unchanged)) {
      return nullptr;
    }
    if (!words) {
      PyErr_SetString(PyExc_TypeError, "argument 'words': expected word counts (a dict of str to int), not None");
      return nullptr;
    }
    if (argv[4] != nullptr && (reuse = PyObject_IsTrue(argv[4])) < 0) return nullptr;
    options.reuse_freed_ids = reuse == 1;
    if (unchanged) options.unchanged_words = &*unchanged;
    Result<ExtendRecord> record = quorvane::extend_vocabulary(access.editor(), *words, options);
    if (!record) return raise_failure(Failure::kLearn, record.error());
    return new_result(state_of(self), std::move(*record));
  };
  return call<WriteAccess>(self, kExtendVocabulary, args, nargs, kwnames, body);
}

constexpr Parameters<4> kPruneLeaves{"Quorvane.prune_leaves()", {"count", "words", "keep", "close_gaps"}, 1};

PyObject* prune_leaves(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    PruneOptions options;
    std::optional<WordCounts> words;
    std::optional<std::vector<std::string>> keep;
    if (!to_count(argv[0], "count", options.count) || !to_word_counts(argv[1], "words", words) ||
        !to_optional_token_list(argv[2], "keep", keep)) {
      return nullptr;
    }
    int close = 0;
    if (argv[3] != nullptr && (close = PyObject_IsTrue(argv[3])) < 0) return nullptr;
    options.close_gaps = close == 1;
    if (keep) options.keep = std::move(*keep);
    if (words) options.words = &*words;
    Result<PruneRecord> record = quorvane::prune_leaves(access.editor(), options);
    if (!record) return raise_failure(Failure::kLearn, record.error());
    return new_result(state_of(self), std::move(*record));
  };
  return call<WriteAccess>(self, kPruneLeaves, args, nargs, kwnames, body);
}

const char kExtendVocabularyDoc[] =
    "extend_vocabulary($self, words, count, max_token_length=0, min_frequency=2, reuse_freed_ids=False, "
    "unchanged_words=None)\n--\n\n"
    "Learn new tokens from counted words by continuing BPE training\n\n"
    "Every word (pre-tokenized, in the model's alphabet, as tokenize takes it)\n"
    "starts from its current segmentation. Each step merges the adjacent pair\n"
    "with the highest count over all words (each word counting as often as it\n"
    "occurs; ties to the pair whose left, then right, token is smaller in UTF-8\n"
    "bytes), appends the merge at the end of the merge list and adds its\n"
    "product with a new id. A product that is already a token is skipped, and\n"
    "so are products longer than max_token_length characters and, for a\n"
    "\"\\u2581\"-marker model, products with the marker inside. Byte-fallback\n"
    "tokens, the unknown token, special-shaped tokens and added tokens are never\n"
    "merged. Every new token is produced by the tokenizer. The words of\n"
    "unchanged_words are split afterwards exactly as before: no pair adjacent\n"
    "in their current segmentation is learned, nor a product spelled like one.\n\n"
    "Args:\n    words: Word counts: a dict of word to count, or (word, count) pairs\n"
    "    count: How many new tokens to learn\n"
    "    max_token_length: Longest new token in characters (0: no limit)\n"
    "    min_frequency: Pairs seen fewer times are not merged\n"
    "    reuse_freed_ids: Give new tokens the lowest free ids first\n"
    "    unchanged_words: Word counts (the counts unused) whose segmentation\n"
    "        stays as it is, or None\n\n"
    "Returns:\n    ExtendResult\n\n"
    "Raises:\n    ValueError: fewer than count tokens can be learned (nothing is changed)";

const char kPruneLeavesDoc[] =
    "prune_leaves($self, count, words=None, keep=None, close_gaps=False)\n--\n\n"
    "Remove leaf tokens, the ones the words need least first\n\n"
    "A leaf is a token that no other token's own encoding builds on, so removing\n"
    "it leaves every other token buildable. With words (counted as for\n"
    "extend_vocabulary), the leaves used least in encoding them go first, a\n"
    "removed token's use passing to the two tokens it was built from; without,\n"
    "the highest ids first. Single characters, byte-fallback tokens, the unknown\n"
    "token, special-shaped tokens, added tokens and the keep list stay. Each\n"
    "leaf goes alone, with the merges that name it. With close_gaps the model\n"
    "then gets the ids 0..n-1 in their old order, and added tokens outside it\n"
    "the ids right after it, where the tokenizer itself numbers them.\n\n"
    "Args:\n    count: How many tokens to remove\n"
    "    words: Word counts (a dict of word to count, or pairs), or None\n"
    "    keep: Tokens never to remove\n"
    "    close_gaps: Close the id gaps afterwards\n\n"
    "Returns:\n    PruneResult\n\n"
    "Raises:\n    ValueError: fewer than count tokens can be pruned (nothing is changed)";

}  // namespace quorvane::py

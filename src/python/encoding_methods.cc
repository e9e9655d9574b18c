#include "python/encoding_methods.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "editor/encode/encoder.h"
#include "editor/encode/unreachable.h"
#include "editor/reachable/reachable.h"
#include "python/call.h"
#include "python/convert.h"

namespace quorvane::py {

namespace {

// Keeps the cycle collector off for its scope, if it was on.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// The pieces of `word` as a new list of str, or nullptr with the exception set.
PyObject* pieces_of(const Encoder& encoder, std::string_view word, std::vector<TokenId>& ids) {
  if (!encoder.tokenize(word, ids)) {
    return raise_failure(Failure::kTokenize,
                         Error::make("the unknown token '" + *encoder.unk_token() + "' is not in the vocabulary"));
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyRef piece = to_py(encoder.token(ids[i]));
    if (!piece) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), piece.release());  // steals
  }
  return list.release();
}

}  // namespace

PyObject* prepare_encoder(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) -> PyObject* {
    const Editor& editor = access.editor();
    if (!editor.has_encoder()) {
      std::unique_ptr<Encoder> built;
      {
        const WithoutGil unlocked;
        built = std::make_unique<Encoder>(editor.document());
      }
      // A reader that needed it meanwhile may have built one already.
      editor.install_encoder(std::move(built));
    }
    Py_RETURN_NONE;
  });
}

constexpr Parameters<1> kTokenize{"Quorvane.tokenize()", {"word"}};

PyObject* tokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::string_view word;
    if (!to_text(argv[0], "word", word)) return nullptr;
    std::vector<TokenId> ids;
    return pieces_of(access.editor().encoder(), word, ids);
  };
  return call<ReadAccess>(self, kTokenize, args, nargs, kwnames, body);
}

constexpr Parameters<1> kTokenizeBatch{"Quorvane.tokenize_batch()", {"words"}};

PyObject* tokenize_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::vector<std::string> words;
    if (!to_token_list(argv[0], "words", words)) return nullptr;
    const Encoder& encoder = access.editor().encoder();
    // Hundreds of thousands of new lists, none of them in a cycle, would set
    // off the cycle collector again and again.
    const GcPause pause;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return nullptr;
    std::vector<TokenId> ids;
    for (std::size_t i = 0; i < words.size(); ++i) {
      PyObject* pieces = pieces_of(encoder, words[i], ids);
      if (pieces == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pieces);  // steals
    }
    return list.release();
  };
  return call<ReadAccess>(self, kTokenizeBatch, args, nargs, kwnames, body);
}

PyObject* unreachable_tokens(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) -> PyObject* {
    const GcPause pause;
    return to_py(quorvane::unreachable_tokens(access.editor())).release();
  });
}

constexpr Parameters<1> kAddTokensReachable{"Quorvane.add_tokens_reachable()", {"tokens"}};

PyObject* add_tokens_reachable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::vector<std::string> tokens;
    if (!to_token_list(argv[0], "tokens", tokens)) return nullptr;
    return result_list(state_of(self), quorvane::add_tokens_reachable(access.editor(), tokens));
  };
  return call<WriteAccess>(self, kAddTokensReachable, args, nargs, kwnames, body);
}

const char kTokenizeDoc[] =
    "tokenize($self, word)\n--\n\n"
    "Encode one pre-tokenized word with the current vocabulary and merges\n\n"
    "The word is in the model's own alphabet (ByteLevel characters, or text\n"
    "with the \"\\u2581\" space marker), as the tokenizer's normalizer and\n"
    "pre-tokenizer leave it. The result is what the tokenizers package's\n"
    "model.tokenize(word) gives: merges by rank, ignore_merges, byte_fallback,\n"
    "unk_token with fuse_unk, continuing_subword_prefix and end_of_word_suffix\n"
    "(dropout is ignored). It reflects every edit made so far.\n\n"
    "Args:\n    word: The word to encode\n\n"
    "Returns:\n    List of the token strings it encodes to ([] for \"\")\n\n"
    "Raises:\n    ValueError: the word needs the unknown token and the vocabulary lacks it";

const char kTokenizeBatchDoc[] =
    "tokenize_batch($self, words)\n--\n\n"
    "Encode many pre-tokenized words, as tokenize does each\n\n"
    "Args:\n    words: List of words\n\n"
    "Returns:\n    List of token-string lists, one per word";

const char kUnreachableTokensDoc[] =
    "unreachable_tokens($self)\n--\n\n"
    "Find vocabulary tokens that the tokenizer never produces from their own string\n\n"
    "A token is unreachable when encoding its own string (see tokenize) does not\n"
    "give exactly that token. Tokens that are the content of an added_tokens\n"
    "entry, and the <0x00>..<0xFF> byte tokens of a byte-fallback model, are\n"
    "matched whole by the tokenizer and are not reported.\n\n"
    "Returns:\n    List of (token, id, pieces) tuples in vocabulary order, pieces being\n"
    "    what the token's string encodes to";

const char kAddTokensReachableDoc[] =
    "add_tokens_reachable($self, tokens)\n--\n\n"
    "Add tokens so that the tokenizer actually produces them\n\n"
    "Each token (in the model's alphabet, e.g. \"\\u0120word\" or \"\\u2581word\")\n"
    "is built from its current segmentation by merges appended at the end of\n"
    "the merge list, chosen so that they fire: afterwards tokenize(token)\n"
    "gives exactly the token, and so does running text containing it. Existing\n"
    "tokens are reused as intermediates where possible, so few new tokens are\n"
    "needed; characters the vocabulary lacks are added first. No token that\n"
    "was reachable before becomes unreachable. Tokens are added in order, each\n"
    "seeing the ones before it.\n\n"
    "Args:\n    tokens: List of tokens to add\n\n"
    "Returns:\n    List of ReachableAdditionResult, one per token";

const char kPrepareEncoderDoc[] =
    "prepare_encoder($self)\n--\n\n"
    "Build now what encoding needs, letting other threads run meanwhile\n\n"
    "The first call that encodes (tokenize, unreachable_tokens, the learning\n"
    "methods, ...) builds the encoder of the current vocabulary and merges,\n"
    "which takes a tenth of a second on a large tokenizer. This builds it\n"
    "without holding the interpreter lock, so that a thread can do it while\n"
    "another reads text (count_words may run on the same editor meanwhile;\n"
    "an edit started meanwhile raises RuntimeError). Does nothing when the\n"
    "encoder is built already; an edit drops it again.\n\n"
    "Returns:\n    None";

}  // namespace quorvane::py

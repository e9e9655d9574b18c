// The Quorvane class: one Editor per object, reached only through methods that
// match their arguments, take access, convert arguments, call one core
// operation and convert its result, in that order.
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "editor/addition/addition.h"
#include "editor/management/document/json_writer.h"
#include "editor/management/fixed_size/fixed_size.h"
#include "editor/management/queries/queries.h"
#include "editor/merge/merge.h"
#include "editor/reindex/reindex.h"
#include "editor/removal/removal.h"
#include "editor/shrink/shrink.h"
#include "python/access.h"
#include "python/args.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/encoding_methods.h"
#include "python/errors.h"
#include "python/idmap_methods.h"
#include "python/learn_methods.h"
#include "python/objects.h"
#include "python/results.h"
#include "python/split_methods.h"

namespace quorvane::py {

namespace {

// A new Quorvane object of `type` owning `editor`.
PyObject* wrap_editor(PyTypeObject* type, Editor&& editor) {
  auto owned = std::make_unique<Editor>(std::move(editor));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_editor(self)->editor = owned.release();
  as_editor(self)->access = 0;
  return self;
}

// ---- creation

constexpr Parameters<1> kNew{"Quorvane.__new__()", {"path"}};

PyObject* editor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Parameters<1>::Values argv;
    if (!kNew.match(args, kwargs, argv)) return nullptr;
    std::string_view path;
    if (!to_text(argv[0], "path", path)) return nullptr;
    std::string owned(path);
    std::optional<Result<Editor>> editor;
    {
      // The new editor is nobody else's yet: other threads may run meanwhile.
      const WithoutGil unlocked;
      editor.emplace(open_editor(owned));
    }
    if (!*editor) return raise_failure(Failure::kLoad, editor->error());
    return wrap_editor(type, std::move(**editor));
  });
}

void editor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_editor(self)->editor;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

constexpr Parameters<1> kFromJson{"Quorvane.from_json()", {"json_str"}};

// `cls` is the Quorvane class: install_from_json binds it as the function's self.
PyObject* from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Parameters<1>::Values argv;
    if (!kFromJson.match(args, nargs, kwnames, argv)) return nullptr;
    if (cls == nullptr || !PyType_Check(cls)) {
      PyErr_SetString(PyExc_SystemError, "Quorvane.from_json() is not bound to its class");
      return nullptr;
    }
    std::string_view text;
    if (!to_text(argv[0], "json_str", text)) return nullptr;
    Result<Editor> editor = editor_from_json(std::string(text));
    if (!editor) return raise_failure(Failure::kFromJson, editor.error());
    return wrap_editor(reinterpret_cast<PyTypeObject*>(cls), std::move(*editor));
  });
}

// ---- writing

constexpr Parameters<1> kSave{"Quorvane.save()", {"path"}};

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::string_view path;
    if (!to_text(argv[0], "path", path)) return nullptr;
    if (Result<void> saved = save_document(access.editor().document(), std::string(path)); !saved) {
      return raise_failure(Failure::kSave, saved.error());
    }
    Py_RETURN_NONE;
  };
  return call<ReadAccess>(self, kSave, args, nargs, kwnames, body);
}

PyObject* to_json(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) -> PyObject* {
    // Writing a document cannot fail; a failure would go through
    // raise_failure(Failure::kSerialize, ...).
    const std::string text = write_document(access.editor().document(), KeyOrder::kDeclared);
    return to_py(std::string_view(text)).release();
  });
}

// ---- queries

PyObject* get_vocab_size(PyObject* self, void*) {
  return call<ReadAccess>(self, [](ReadAccess& access) {
    return to_py(static_cast<std::uint64_t>(access.editor().vocab().size())).release();
  });
}

PyObject* get_merges_count(PyObject* self, void*) {
  return call<ReadAccess>(self, [](ReadAccess& access) {
    return to_py(static_cast<std::uint64_t>(access.editor().merges().size())).release();
  });
}

constexpr Parameters<1> kHasToken{"Quorvane.has_token()", {"token"}};

PyObject* has_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::string_view token;
    if (!to_text(argv[0], "token", token)) return nullptr;
    return to_py(access.editor().vocab().contains(token)).release();
  };
  return call<ReadAccess>(self, kHasToken, args, nargs, kwnames, body);
}

constexpr Parameters<1> kGetTokenId{"Quorvane.get_token_id()", {"token"}};

PyObject* get_token_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::string_view token;
    if (!to_text(argv[0], "token", token)) return nullptr;
    const std::optional<TokenId> id = access.editor().vocab().find(token);
    if (!id) Py_RETURN_NONE;
    return to_py(*id).release();
  };
  return call<ReadAccess>(self, kGetTokenId, args, nargs, kwnames, body);
}

constexpr Parameters<1> kGetTokenById{"Quorvane.get_token_by_id()", {"id"}};

PyObject* get_token_by_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    TokenId id = 0;
    if (!to_id(argv[0], "id", id)) return nullptr;
    const std::optional<std::string_view> token = token_by_id(access.editor(), id);
    if (!token) Py_RETURN_NONE;
    return to_py(*token).release();
  };
  return call<ReadAccess>(self, kGetTokenById, args, nargs, kwnames, body);
}

PyObject* get_vocab(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) -> PyObject* {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    // Inserted in Vocabulary order, which the dict keeps as its iteration order.
    for (const VocabEntry& entry : access.editor().vocab().sorted()) {
      PyRef token = to_py(entry.token);
      PyRef id = to_py(entry.id);
      if (!token || !id || PyDict_SetItem(dict.get(), token.get(), id.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* get_merges(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) {
    return to_py(access.editor().merges()).release();
  });
}

PyObject* get_stats(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [self](ReadAccess& access) {
    return new_result(state_of(self), quorvane::get_stats(access.editor()));
  });
}

PyObject* validate_merges(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [self](ReadAccess& access) {
    return new_result(state_of(self), quorvane::validate_merges(access.editor()));
  });
}

PyObject* remove_invalid_merges(PyObject* self, PyObject*) {
  return call<WriteAccess>(self, [](WriteAccess& access) {
    return to_py(quorvane::remove_invalid_merges(access.editor())).release();
  });
}

// ---- editing

// The source of merge_from and sync_single_chars: another Quorvane, read in
// place under its own read access, or a path, opened here. The source is
// checked first, then convert_rest() converts the other arguments (false: an
// exception is set), then use(const Editor&) runs and its result is returned.
template <typename Convert, typename Use>
PyObject* with_source(PyObject* self, PyObject* source, Convert&& convert_rest, Use&& use) {
  const bool is_editor = Py_TYPE(source) == Py_TYPE(self);
  std::string_view path;
  if (!is_editor && !to_text(source, "source_path", path)) return nullptr;
  if (!convert_rest()) return nullptr;
  if (is_editor) {
    if (source == self) {
      PyErr_SetString(PyExc_ValueError, "the source must be another editor than the one edited");
      return nullptr;
    }
    const ReadAccess access(source);
    if (!access.ok()) return nullptr;
    return use(access.editor());
  }
  Result<Editor> opened = open_editor(std::string(path));
  if (!opened) return raise_failure(Failure::kLoadSource, opened.error());
  return use(std::as_const(*opened));
}

constexpr Parameters<2> kMergeFrom{"Quorvane.merge_from()", {"source_path", "max_vocab_size"}, 1};

PyObject* merge_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::uint64_t max_vocab_size = 262144;
    auto convert = [&] { return to_count(argv[1], "max_vocab_size", max_vocab_size); };
    return with_source(self, argv[0], convert, [&](const Editor& source) -> PyObject* {
      Result<MergeRecord> merged = quorvane::merge_from(access.editor(), source, max_vocab_size);
      if (!merged) return raise_failure(Failure::kMerge, merged.error());
      return new_result(state_of(self), std::move(*merged));
    });
  };
  return call<WriteAccess>(self, kMergeFrom, args, nargs, kwnames, body);
}

// add_token builds a token that shares no prefix with the Vocabulary by a
// chain that stores every prefix of it: text quadratic in its length. Past
// this much new text the call is refused up front instead of running the
// process out of memory.
constexpr std::size_t kMaxAdditionBytes = std::size_t{1} << 30;

// Sets MemoryError and returns false when adding `tokens` in turn could store
// more than kMaxAdditionBytes for one of them. Checked against the Vocabulary
// before any of them is added, which bounds every later turn too as long as
// nothing is removed in between; with `removals` (tokens evicted between
// additions may be the prefixes counted on) the bound assumes no prefix.
template <typename Tokens>
bool addition_fits(const Editor& editor, const Tokens& tokens, bool removals = false) {
  for (std::string_view token : tokens) {
    // Every chain over n bytes stores less than n * (n + 2): short tokens
    // need no look at the Vocabulary.
    if (token.size() < 32768 && token.size() * (token.size() + 2) <= kMaxAdditionBytes) continue;
    const std::size_t bytes = removals ? addition_bytes_worst(token) : addition_bytes(editor, token);
    if (bytes > kMaxAdditionBytes) {
      PyErr_Format(PyExc_MemoryError,
                   "Token too long to build with merges: %zu bytes would need %zu bytes of new tokens",
                   token.size(), bytes);
      return false;
    }
  }
  return true;
}

constexpr Parameters<1> kAddToken{"Quorvane.add_token()", {"token"}};

PyObject* add_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::string_view token;
    if (!to_text(argv[0], "token", token)) return nullptr;
    if (!addition_fits(access.editor(), std::initializer_list<std::string_view>{token})) return nullptr;
    return new_result(state_of(self), quorvane::add_token(access.editor(), token));
  };
  return call<WriteAccess>(self, kAddToken, args, nargs, kwnames, body);
}

constexpr Parameters<1> kAddTokens{"Quorvane.add_tokens()", {"tokens"}};

PyObject* add_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::vector<std::string> tokens;
    if (!to_token_list(argv[0], "tokens", tokens) || !addition_fits(access.editor(), tokens)) return nullptr;
    std::vector<AdditionRecord> records;
    records.reserve(tokens.size());
    for (const std::string& token : tokens) records.push_back(quorvane::add_token(access.editor(), token));
    return result_list(state_of(self), std::move(records));
  };
  return call<WriteAccess>(self, kAddTokens, args, nargs, kwnames, body);
}

constexpr Parameters<1> kAddTokenAtomic{"Quorvane.add_token_atomic()", {"token"}};

PyObject* add_token_atomic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](WriteAccess& access, auto& argv) -> PyObject* {
    std::string_view token;
    if (!to_text(argv[0], "token", token)) return nullptr;
    return to_py(quorvane::add_token_atomic(access.editor(), token)).release();
  };
  return call<WriteAccess>(self, kAddTokenAtomic, args, nargs, kwnames, body);
}

constexpr Parameters<1> kRemoveToken{"Quorvane.remove_token()", {"token"}};

PyObject* remove_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::string_view token;
    if (!to_text(argv[0], "token", token)) return nullptr;
    return new_result(state_of(self), quorvane::remove_token(access.editor(), token));
  };
  return call<WriteAccess>(self, kRemoveToken, args, nargs, kwnames, body);
}

constexpr Parameters<1> kRemoveTokens{"Quorvane.remove_tokens()", {"tokens"}};

PyObject* remove_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::vector<std::string> tokens;
    if (!to_token_list(argv[0], "tokens", tokens)) return nullptr;
    return result_list(state_of(self), quorvane::remove_tokens(access.editor(), tokens));
  };
  return call<WriteAccess>(self, kRemoveTokens, args, nargs, kwnames, body);
}

constexpr Parameters<2> kShrink{"Quorvane.shrink()", {"count", "min_id"}, 1};

PyObject* shrink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    std::uint64_t count = 0;
    TokenId min_id = 0;
    if (!to_count(argv[0], "count", count) || !to_id(argv[1], "min_id", min_id)) return nullptr;
    return new_result(state_of(self), quorvane::shrink(access.editor(), count, min_id));
  };
  return call<WriteAccess>(self, kShrink, args, nargs, kwnames, body);
}

constexpr Parameters<2> kFindTokensToShrink{"Quorvane.find_tokens_to_shrink()", {"count", "min_id"}, 1};

PyObject* find_tokens_to_shrink(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  auto body = [](ReadAccess& access, auto& argv) -> PyObject* {
    std::uint64_t count = 0;
    TokenId min_id = 0;
    if (!to_count(argv[0], "count", count) || !to_id(argv[1], "min_id", min_id)) return nullptr;
    const std::vector<ShrinkCandidate> candidates = select_shrink_candidates(access.editor(), count, min_id);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const ShrinkCandidate& c = candidates[i];
      PyRef item = make_tuple(to_py(std::string_view(c.token)), to_py(c.id), to_py(c.char_length));
      if (!item) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  };
  return call<ReadAccess>(self, kFindTokensToShrink, args, nargs, kwnames, body);
}

// A new dict of counts, keys inserted in the order given.
PyObject* count_dict(std::initializer_list<std::pair<const char*, std::uint64_t>> items) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : items) {
    PyRef number = to_py(value);
    if (!number || PyDict_SetItemString(dict.get(), key, number.get()) < 0) return nullptr;
  }
  return dict.release();
}

// The process's standard error (fd 2, unbuffered stdio) and the steady clock.
ProgressOutput standard_error() {
  return {[](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stderr); },
          [] { return ProgressOutput::Clock::now(); }};
}

constexpr Parameters<2> kSyncSingleChars{"Quorvane.sync_single_chars()", {"source_path", "min_id"}, 1};

PyObject* sync_single_chars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](WriteAccess& access, auto& argv) -> PyObject* {
    TokenId min_id = 0;
    auto convert = [&] { return to_id(argv[1], "min_id", min_id); };
    return with_source(self, argv[0], convert, [&](const Editor& source) -> PyObject* {
      const std::vector<VocabEntry> chars = single_char_tokens(source);
      const SyncRecord r = quorvane::sync_single_chars(access.editor(), chars, min_id, standard_error());
      return count_dict({{"initial_vocab_size", r.initial_vocab_size},
                         {"final_vocab_size", r.final_vocab_size},
                         {"chars_in_source", r.chars_in_source},
                         {"chars_already_present", r.chars_already_present},
                         {"chars_added_count", r.chars_added_count},
                         {"total_tokens_removed", r.total_tokens_removed},
                         {"total_merges_removed", r.total_merges_removed}});
    });
  };
  return call<WriteAccess>(self, kSyncSingleChars, args, nargs, kwnames, body);
}

constexpr Parameters<2> kAddTokensKeepSize{"Quorvane.add_tokens_keep_size()", {"tokens", "whitelist"}, 1};

PyObject* add_tokens_keep_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [](WriteAccess& access, auto& argv) -> PyObject* {
    std::vector<std::string> tokens;
    std::optional<std::vector<std::string>> whitelist;
    if (!to_token_list(argv[0], "tokens", tokens) || !to_optional_token_list(argv[1], "whitelist", whitelist) ||
        !addition_fits(access.editor(), tokens, /*removals=*/true)) {
      return nullptr;
    }
    const KeepSizeRecord r =
        quorvane::add_tokens_keep_size(access.editor(), tokens, whitelist ? &*whitelist : nullptr);
    return count_dict({{"initial_vocab_size", r.initial_vocab_size},
                       {"final_vocab_size", r.final_vocab_size},
                       {"tokens_requested", r.tokens_requested},
                       {"tokens_added", r.tokens_added},
                       {"tokens_removed", r.tokens_removed}});
  };
  return call<WriteAccess>(self, kAddTokensKeepSize, args, nargs, kwnames, body);
}

PyObject* check_vocab_gaps(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) {
    const GapReport gaps = quorvane::check_vocab_gaps(access.editor());
    return make_tuple(to_py(gaps.has_gaps), to_py(gaps.total_gaps), to_py(gaps.min_id), to_py(gaps.max_id))
        .release();
  });
}

PyObject* reindex_vocab(PyObject* self, PyObject*) {
  return call<WriteAccess>(self, [self](WriteAccess& access) {
    return new_result(state_of(self), quorvane::reindex_vocab(access.editor()));
  });
}

PyObject* get_single_char_tokens(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [](ReadAccess& access) {
    return to_py(single_char_tokens(access.editor())).release();
  });
}

// ---- copies

PyObject* copy_editor(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [self](ReadAccess& access) {
    // The copy shares the append-only arena of token strings; everything else is its own.
    return wrap_editor(Py_TYPE(self), Editor(access.editor().document()));
  });
}

PyObject* deepcopy_editor(PyObject* self, PyObject* /*memo*/) { return copy_editor(self, nullptr); }

// Pickled as its JSON text and rebuilt by from_json on the other side, so that
// an editor can travel to another process or machine (a cluster's worker).
PyObject* reduce_editor(PyObject* self, PyObject*) {
  return call<ReadAccess>(self, [self](ReadAccess& access) -> PyObject* {
    PyRef rebuild = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_json"));
    if (!rebuild) return nullptr;
    const std::string text = write_document(access.editor().document(), KeyOrder::kDeclared);
    return make_tuple(std::move(rebuild), make_tuple(to_py(std::string_view(text)))).release();
  });
}

PyObject* editor_repr(PyObject* self) {
  return call<ReadAccess>(self, [](ReadAccess& access) {
    const Editor& editor = access.editor();
    return PyUnicode_FromFormat("Quorvane(vocab_size=%zu, merges_count=%zu)", editor.vocab().size(),
                                editor.merges().size());
  });
}

// ---- the class


// Docstrings: "name(signature)\n--\n\n" then the text; the interpreter takes
// the first part as __text_signature__ and the rest as __doc__.
constexpr const char* kFromJsonDoc =
    "from_json(json_str)\n--\n\n"
    "Create a new editor from JSON string\n\n"
    "Args:\n    json_str: JSON string containing the tokenizer\n\n"
    "Returns:\n    Quorvane instance";
constexpr const char* kSaveDoc =
    "save($self, path)\n--\n\n"
    "Save the tokenizer to a JSON file\n\n"
    "Args:\n    path: Output path for the tokenizer.json file";
constexpr const char* kToJsonDoc =
    "to_json($self)\n--\n\n"
    "Export tokenizer to JSON string\n\n"
    "Returns:\n    JSON string representation of the tokenizer";
constexpr const char* kHasTokenDoc =
    "has_token($self, token)\n--\n\n"
    "Check if a token exists in the vocabulary\n\n"
    "Args:\n    token: Token string to check\n\n"
    "Returns:\n    True if token exists, False otherwise";
constexpr const char* kGetTokenIdDoc =
    "get_token_id($self, token)\n--\n\n"
    "Get the ID of a token\n\n"
    "Args:\n    token: Token string\n\n"
    "Returns:\n    Token ID or None if not found";
constexpr const char* kGetTokenByIdDoc =
    "get_token_by_id($self, id)\n--\n\n"
    "Get a token by its ID\n\n"
    "Args:\n    id: Token ID\n\n"
    "Returns:\n    Token string or None if not found";
constexpr const char* kGetVocabDoc =
    "get_vocab($self)\n--\n\n"
    "Get all tokens in the vocabulary\n\n"
    "Returns:\n    Dictionary mapping token strings to their IDs";
constexpr const char* kGetMergesDoc =
    "get_merges($self)\n--\n\n"
    "Get all merges as list of tuples\n\n"
    "Returns:\n    List of (token_a, token_b) merge pairs";
constexpr const char* kGetStatsDoc =
    "get_stats($self)\n--\n\n"
    "Get comprehensive tokenizer statistics\n\n"
    "Returns:\n    TokenizerStats object with detailed statistics";
constexpr const char* kValidateMergesDoc =
    "validate_merges($self)\n--\n\n"
    "Validate all merges - check that each merge result exists in vocabulary\n\n"
    "Returns:\n    ValidationResult with valid/invalid merge counts and details";
constexpr const char* kRemoveInvalidMergesDoc =
    "remove_invalid_merges($self)\n--\n\n"
    "Remove all invalid merges from the tokenizer\n\n"
    "Returns:\n    Number of invalid merges removed";
constexpr const char* kMergeFromDoc =
    "merge_from($self, source_path, max_vocab_size=262144)\n--\n\n"
    "Merge a source tokenizer into this target tokenizer.\n\n"
    "Source tokens are converted to this tokenizer's native ByteLevel or\n"
    "space-marker representation. Source merges receive higher priority than\n"
    "original target merges.\n\n"
    "Args:\n    source_path: Path to the source tokenizer.json file\n"
    "    max_vocab_size: Maximum complete vocabulary size, including added tokens\n\n"
    "Returns:\n    MergeTokenizerResult with merge statistics";
constexpr const char* kAddTokenDoc =
    "add_token($self, token)\n--\n\n"
    "Add a token with proper merge chain creation\n\n"
    "This method intelligently adds a token using one of these strategies:\n"
    "- Single character: Added directly to vocab\n"
    "- Longest prefix: If a prefix exists, adds prefix + suffix -> token merge\n"
    "- Character chain: Builds merge chain a+b->ab, ab+c->abc, etc.\n\n"
    "Args:\n    token: Token string to add\n\n"
    "Returns:\n    AdditionResult with details about how the token was added";
constexpr const char* kAddTokensDoc =
    "add_tokens($self, tokens)\n--\n\n"
    "Add multiple tokens\n\n"
    "Args:\n    tokens: List of token strings to add\n\n"
    "Returns:\n    List of AdditionResult for each token";
constexpr const char* kAddTokenAtomicDoc =
    "add_token_atomic($self, token)\n--\n\n"
    "Add a token without creating merge chains (for special tokens)\n\n"
    "Args:\n    token: Token string to add\n\n"
    "Returns:\n    True if token was added, False if it already existed";
constexpr const char* kRemoveTokenDoc =
    "remove_token($self, token)\n--\n\n"
    "Remove a token and all its dependencies\n\n"
    "This performs cascade removal:\n"
    "- Removes all merges that use this token as input\n"
    "- Removes all merges that produce this token\n"
    "- Removes all tokens that can only be produced by removed merges\n\n"
    "Args:\n    token: Token string to remove\n\n"
    "Returns:\n    RemovalResult with details about what was removed";
constexpr const char* kRemoveTokensDoc =
    "remove_tokens($self, tokens)\n--\n\n"
    "Remove multiple tokens\n\n"
    "Args:\n    tokens: List of token strings to remove\n\n"
    "Returns:\n    List of RemovalResult for each token";
constexpr const char* kShrinkDoc =
    "shrink($self, count, min_id=0)\n--\n\n"
    "Shrink vocabulary by removing N longest non-special tokens\n\n"
    "Selection criteria (in order):\n"
    "- Longest tokens first (by character count)\n"
    "- Highest token IDs first (among same length)\n"
    "- Never removes single-character tokens\n"
    "- Never removes special tokens (<...> or [...])\n\n"
    "Args:\n    count: Number of tokens to remove\n"
    "    min_id: Only consider tokens with ID >= min_id (default: 0)\n\n"
    "Returns:\n    ShrinkResult with details about the shrink operation";
constexpr const char* kFindTokensToShrinkDoc =
    "find_tokens_to_shrink($self, count, min_id=0)\n--\n\n"
    "Find tokens that would be removed by shrink operation (preview)\n\n"
    "Args:\n    count: Number of tokens to find\n"
    "    min_id: Only consider tokens with ID >= min_id (default: 0)\n\n"
    "Returns:\n    List of (token, id, char_length) tuples";
constexpr const char* kSyncSingleCharsDoc =
    "sync_single_chars($self, source_path, min_id=0)\n--\n\n"
    "Sync single-character tokens from another tokenizer\n\n"
    "Copies missing single-char tokens from source, removing longest\n"
    "tokens to maintain vocabulary size.\n\n"
    "Args:\n    source_path: Path to source tokenizer.json\n"
    "    min_id: Only remove tokens with ID >= min_id (default: 0)\n\n"
    "Returns:\n    Dictionary with sync operation details";
constexpr const char* kAddTokensKeepSizeDoc =
    "add_tokens_keep_size($self, tokens, whitelist=None)\n--\n\n"
    "Add tokens while keeping vocabulary size fixed\n\n"
    "Adds new tokens and automatically removes other tokens to maintain\n"
    "the original vocabulary size.\n\n"
    "Args:\n    tokens: List of tokens to add\n"
    "    whitelist: Optional list of tokens that should never be removed\n\n"
    "Returns:\n    Dictionary with operation details";
constexpr const char* kCheckVocabGapsDoc =
    "check_vocab_gaps($self)\n--\n\n"
    "Check if vocabulary has gaps in its ID space\n\n"
    "Returns:\n    Tuple of (has_gaps, total_gaps, min_id, max_id)";
constexpr const char* kCopyDoc =
    "copy($self)\n--\n\n"
    "A new editor holding a copy of this tokenizer, as it is now\n\n"
    "Edits to either leave the other as it was; copy.copy and copy.deepcopy\n"
    "do the same.\n\n"
    "Returns:\n    Quorvane";
constexpr const char* kDunderCopyDoc = "__copy__($self)\n--\n\nThe same as copy()";
constexpr const char* kDeepCopyDoc = "__deepcopy__($self, memo)\n--\n\nThe same as copy()";
constexpr const char* kReduceDoc =
    "__reduce__($self)\n--\n\n"
    "Pickle support: the JSON text, from which from_json rebuilds the editor\n\n"
    "An editor sent to another process (a cluster's worker) travels as its\n"
    "to_json() text; copy.deepcopy still copies it directly.";
constexpr const char* kReindexVocabDoc =
    "reindex_vocab($self)\n--\n\n"
    "Reindex vocabulary to make all IDs sequential\n\n"
    "This removes all gaps in the vocabulary IDs, creating a dense/compact\n"
    "ID space. Tokens that already have correct sequential IDs (starting from 0)\n"
    "are preserved - only tokens after the first gap are remapped.\n\n"
    "Note: Merges don't contain IDs, they reference token strings,\n"
    "so they don't need to be updated.\n\n"
    "Returns:\n    ReindexResult with details about the reindexing operation";
constexpr const char* kGetSingleCharTokensDoc =
    "get_single_char_tokens($self)\n--\n\n"
    "Get all single-character tokens\n\n"
    "Returns:\n    List of (token, id) tuples";

// The function that install_from_json binds to the class.
PyMethodDef from_json_def = {"from_json", fast(from_json), kFast, kFromJsonDoc};

// In the order the class defines them; the operations still to come take the
// places marked below.
PyMethodDef methods[] = {
    // Holds from_json's place in the class; install_from_json replaces it.
    {"from_json", fast(from_json), kFast | METH_STATIC, kFromJsonDoc},
    {"save", fast(save), kFast, kSaveDoc},
    {"to_json", to_json, METH_NOARGS, kToJsonDoc},
    // (vocab_size, merges_count: properties, below)
    {"has_token", fast(has_token), kFast, kHasTokenDoc},
    {"get_token_id", fast(get_token_id), kFast, kGetTokenIdDoc},
    {"get_token_by_id", fast(get_token_by_id), kFast, kGetTokenByIdDoc},
    {"get_vocab", get_vocab, METH_NOARGS, kGetVocabDoc},
    {"get_merges", get_merges, METH_NOARGS, kGetMergesDoc},
    {"get_stats", get_stats, METH_NOARGS, kGetStatsDoc},
    {"validate_merges", validate_merges, METH_NOARGS, kValidateMergesDoc},
    {"remove_invalid_merges", remove_invalid_merges, METH_NOARGS, kRemoveInvalidMergesDoc},
    {"merge_from", fast(merge_from), kFast, kMergeFromDoc},
    {"add_token", fast(add_token), kFast, kAddTokenDoc},
    {"add_tokens", fast(add_tokens), kFast, kAddTokensDoc},
    {"add_token_atomic", fast(add_token_atomic), kFast, kAddTokenAtomicDoc},
    {"remove_token", fast(remove_token), kFast, kRemoveTokenDoc},
    {"remove_tokens", fast(remove_tokens), kFast, kRemoveTokensDoc},
    {"shrink", fast(shrink), kFast, kShrinkDoc},
    {"find_tokens_to_shrink", fast(find_tokens_to_shrink), kFast, kFindTokensToShrinkDoc},
    {"get_single_char_tokens", get_single_char_tokens, METH_NOARGS, kGetSingleCharTokensDoc},
    {"sync_single_chars", fast(sync_single_chars), kFast, kSyncSingleCharsDoc},
    {"add_tokens_keep_size", fast(add_tokens_keep_size), kFast, kAddTokensKeepSizeDoc},
    {"check_vocab_gaps", check_vocab_gaps, METH_NOARGS, kCheckVocabGapsDoc},
    {"reindex_vocab", reindex_vocab, METH_NOARGS, kReindexVocabDoc},
    // What the tokenizer does with text (encoding_methods.cc).
    {"tokenize", fast(tokenize), kFast, kTokenizeDoc},
    {"tokenize_batch", fast(tokenize_batch), kFast, kTokenizeBatchDoc},
    {"unreachable_tokens", unreachable_tokens, METH_NOARGS, kUnreachableTokensDoc},
    {"add_tokens_reachable", fast(add_tokens_reachable), kFast, kAddTokensReachableDoc},
    {"prepare_encoder", prepare_encoder, METH_NOARGS, kPrepareEncoderDoc},
    // Learning from the user's text (learn_methods.cc).
    {"extend_vocabulary", fast(extend_vocabulary), kFast, kExtendVocabularyDoc},
    {"prune_leaves", fast(prune_leaves), kFast, kPruneLeavesDoc},
    // Cutting text into words as the tokenizer does (split_methods.cc).
    {"count_words", fast(count_words), kFast, kCountWordsDoc},
    {"count_text", fast(count_text), kFast, kCountTextDoc},
    {"split_words", fast(split_words), kFast, kSplitWordsDoc},
    {"copy", copy_editor, METH_NOARGS, kCopyDoc},
    {"__copy__", copy_editor, METH_NOARGS, kDunderCopyDoc},
    {"__deepcopy__", deepcopy_editor, METH_O, kDeepCopyDoc},
    {"__reduce__", reduce_editor, METH_NOARGS, kReduceDoc},
    // What an edit did to the ids (idmap_methods.cc).
    {"id_map_json", fast(id_map_json), kFast, kIdMapJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"vocab_size", get_vocab_size, nullptr, "Get the current vocabulary size", nullptr},
    {"merges_count", get_merges_count, nullptr, "Get the current number of merges", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Quorvane(path)\n--\n\nPython wrapper for Quorvane")},
    {Py_tp_new, reinterpret_cast<void*>(&editor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&editor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&editor_repr)},
    {Py_tp_str, reinterpret_cast<void*>(&editor_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvane.Quorvane",
    static_cast<int>(sizeof(EditorObject)),
    0,
    // Not immutable: install_from_json must set an attribute after creation.
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyType_Spec* editor_type_spec() { return &spec; }

// A static method defined through the method table gets no self, and the
// 3.10 stable ABI has no other way for it to find its class. So the table
// entry only fixes the method's place in the class, and this replaces it by a
// staticmethod around a function bound to the class.
int install_from_json(PyTypeObject* type) {
  PyRef function = PyRef::steal(
      PyCFunction_NewEx(&from_json_def, reinterpret_cast<PyObject*>(type), nullptr));
  if (!function) return -1;
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  PyRef staticmethod = PyRef::steal(PyObject_GetAttrString(builtins.get(), "staticmethod"));
  if (!staticmethod) return -1;
  PyRef method = PyRef::steal(
      PyObject_CallFunctionObjArgs(staticmethod.get(), function.get(), nullptr));
  if (!method) return -1;
  return PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "from_json", method.get());
}

}  // namespace quorvane::py

// Where core failures become Python exceptions.
//
// A core operation reports failure as an Error value; raise_failure is the one
// place that picks the exception class and prefix for it. C++ exceptions never
// cross into the interpreter: every entry point runs its body inside
// `guarded`, which turns allocation failure into MemoryError and anything else
// that escapes the core into SystemError.
#pragma once

#include <new>
#include <stdexcept>
#include <type_traits>

#include "editor/base/error.h"
#include "python/py.h"

namespace quorvane::py {

// Which operation failed; decides the exception class and message prefix.
enum class Failure {
  kLoad,        // Quorvane(path): OSError "Failed to load tokenizer: "
  kLoadSource,  // merge_from, sync_single_chars: OSError "Failed to load source tokenizer: "
  kFromJson,    // Quorvane.from_json: ValueError, the core message says what failed
  kSave,        // save(path): OSError "Failed to save tokenizer: "
  kSerialize,   // to_json(): ValueError "Failed to serialize: "
  kMerge,       // merge_from: ValueError "Failed to merge tokenizer: "
  kTokenize,    // tokenize, tokenize_batch: ValueError "Failed to tokenize: "
  kLearn,       // extend_vocabulary, prune_leaves: ValueError, the core message says what failed
  kSplitter,    // count_words, split_words: NotImplementedError "Cannot split text as this tokenizer does: "
  kSplit,       // count_words, split_words: ValueError "Failed to split text: "
  kGgufFile,    // read_gguf: OSError "Failed to read GGUF: "
  kGgufFormat,  // read_gguf: ValueError "Failed to read GGUF: "
  kScoreMerges, // merges_from_scores, gguf_bpe_members: ValueError, the core message says what failed
};

// Sets the exception for `error` and returns nullptr. Only the error's message
// is shown; its cause is not. An OSError given the errno behind it is raised
// as the matching subclass (FileNotFoundError, ...) with that errno.
PyObject* raise_failure(Failure failure, const Error& error, int errno_value = 0);

// Sets the exception for the C++ exception being handled. Call only from a
// catch block.
void raise_from_cpp_exception() noexcept;

// Runs `body` (returning PyObject* or int) and converts any C++ exception.
template <typename F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    raise_from_cpp_exception();
    if constexpr (std::is_pointer_v<decltype(body())>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

}  // namespace quorvane::py

// The vocabulary and merge list of the tokenizer in a GGUF file's metadata,
// as the "vocab" and "merges" members of a tokenizer.json BPE model.
//
// The rest of the document (normalizer, pre-tokenizer, added tokens) is a
// few hundred bytes the tool writes itself; these two members are the bulk,
// hundreds of thousands of strings for a large vocabulary. Written here as
// text they cost tens of milliseconds, where building them as Python objects
// and encoding those took seconds; the document then reads like any other.
//
// "gpt2" models give their merges as "left right" strings; "llama" models
// have none, and theirs are derived from the scores (merges_from_scores).
#pragma once

#include <string>

#include "editor/base/error.h"
#include "editor/gguf/gguf_reader.h"

namespace quorvane::gguf {

// `"vocab":{...},"merges":[[l,r],...]` for the tokenizer model named by
// tokenizer.ggml.model ("gpt2" or "llama"). Fails, with a message naming the
// key, when tokenizer.ggml.tokens is missing, empty or not strings, a token
// occurs twice, token_type or scores differ in length from the tokens or hold
// values of the wrong type, or a merge is not "left right".
Result<std::string> bpe_model_members(const GgufFile& file);

}  // namespace quorvane::gguf

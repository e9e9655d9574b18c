// The merge list of a SentencePiece BPE vocabulary ("llama" tokenizer model
// in GGUF), derived from its scores.
//
// llama.cpp encodes such a vocabulary without merges: starting from the
// characters, it repeatedly joins the adjacent pair whose concatenation is a
// vocabulary piece of the highest score (ties: the leftmost pair). A BPE
// model with a ranked merge list does the same when there is one merge for
// every split of every piece into two pieces, ranked by the piece's score
// (highest first); splits of one piece are ranked by the length of the left
// part, then of the right part, in characters (longest first), and pieces of
// equal score by id. This is the order Hugging Face's SentencePiece converter
// gives, so a converted tokenizer.json has these merges (and, besides them,
// merges into its user-defined pieces).
//
// Only NORMAL, UNKNOWN, UNUSED and UNDEFINED tokens take part, as merged
// pieces and as their parts: BYTE tokens are the byte fallback, CONTROL and
// USER_DEFINED ones are added tokens matched before the model runs. When a
// text occurs twice, the later token is the piece (as in llama.cpp's lookup).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "editor/base/error.h"

namespace quorvane::gguf {

struct ScoreMerge {
  std::uint32_t left;   // index into the tokens
  std::uint32_t right;
};

// Fails when the three lists differ in length, a score is NaN or a type is
// not a token type (0..6), naming the index.
Result<std::vector<ScoreMerge>> merges_from_scores(std::span<const std::string> tokens,
                                                   std::span<const double> scores,
                                                   std::span<const std::int32_t> types);

}  // namespace quorvane::gguf

// Words of a text with how often each occurs: what learning from text starts
// from. Words are pre-tokenized already, in the model's own alphabet (see
// encode/encoder.h); reading and pre-tokenizing text is the caller's job.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

using WordCounts = std::vector<std::pair<std::string, std::uint64_t>>;

}  // namespace quorvane

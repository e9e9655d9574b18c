// The module's functions for GGUF models: reading a file's header, metadata
// and tensor directory, and the merge list of a SentencePiece vocabulary.
// They belong to no class; module.cc installs the table.
#pragma once

#include "python/py.h"

namespace quorvane::py {

// The module-level functions, ending with a null entry.
PyMethodDef* gguf_functions();

}  // namespace quorvane::py

#include "python/gguf_methods.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "editor/gguf/bpe_members.h"
#include "editor/gguf/gguf_reader.h"
#include "editor/gguf/score_merges.h"
#include "python/args.h"
#include "python/call.h"
#include "python/convert.h"
#include "python/errors.h"

namespace quorvane::py {

namespace {

using gguf::GgufArray;
using gguf::GgufValue;

PyRef scalar_to_py(const GgufValue& value) {
  switch (value.type) {
    case gguf::GGUF_TYPE_UINT8: case gguf::GGUF_TYPE_UINT16: case gguf::GGUF_TYPE_UINT32: case gguf::GGUF_TYPE_UINT64:
      return PyRef::steal(PyLong_FromUnsignedLongLong(value.as_unsigned()));
    case gguf::GGUF_TYPE_INT8: case gguf::GGUF_TYPE_INT16: case gguf::GGUF_TYPE_INT32: case gguf::GGUF_TYPE_INT64:
      return PyRef::steal(PyLong_FromLongLong(value.as_signed()));
    case gguf::GGUF_TYPE_FLOAT32: case gguf::GGUF_TYPE_FLOAT64:
      return PyRef::steal(PyFloat_FromDouble(value.as_double()));
    case gguf::GGUF_TYPE_BOOL:
      return to_py(value.bits != 0);
    default:
      PyErr_SetString(PyExc_SystemError, "quorvane: not a scalar GGUF value");
      return {};
  }
}

PyRef array_to_py(const GgufArray& array);

PyRef value_to_py(const GgufValue& value) {
  if (value.type == gguf::GGUF_TYPE_STRING) return to_py(value.text);
  if (value.type == gguf::GGUF_TYPE_ARRAY) return array_to_py(*value.array);
  return scalar_to_py(value);
}

// (element_type, [values]).
PyRef array_to_py(const GgufArray& array) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(array.count)));
  if (!list) return {};
  for (std::uint64_t i = 0; i < array.count; ++i) {
    PyRef item = array.element_type == gguf::GGUF_TYPE_STRING  ? to_py(array.string(i))
                 : array.element_type == gguf::GGUF_TYPE_ARRAY ? array_to_py(*array.items[i].array)
                                                                : scalar_to_py(array.scalar(i));
    if (!item) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return make_tuple(to_py(array.element_type), std::move(list));
}

PyRef metadata_to_py(const std::vector<gguf::GgufKeyValue>& metadata) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return {};
  for (const gguf::GgufKeyValue& kv : metadata) {
    PyRef item = make_tuple(to_py(kv.key), to_py(kv.value.type), value_to_py(kv.value), to_py(kv.start), to_py(kv.end));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
  }
  return list;
}

PyRef tensors_to_py(const std::vector<gguf::GgufTensorInfo>& tensors) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return {};
  for (const gguf::GgufTensorInfo& t : tensors) {
    PyRef dims = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(t.dims.size())));
    if (!dims) return {};
    for (std::size_t d = 0; d < t.dims.size(); ++d) {
      PyRef n = to_py(t.dims[d]);
      if (!n) return {};
      PyTuple_SetItem(dims.get(), static_cast<Py_ssize_t>(d), n.release());  // steals
    }
    PyRef item = make_tuple(to_py(t.name), std::move(dims), to_py(t.type), to_py(t.offset), to_py(t.nbytes));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
  }
  return list;
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* file_to_py(const gguf::GgufFile& file) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "version", to_py(file.version)) ||
      !set_item(dict.get(), "alignment", to_py(file.alignment)) ||
      !set_item(dict.get(), "data_offset", to_py(file.data_offset)) ||
      !set_item(dict.get(), "file_size", to_py(file.file_size)) ||
      !set_item(dict.get(), "metadata", metadata_to_py(file.metadata)) ||
      !set_item(dict.get(), "tensors", tensors_to_py(file.tensors))) {
    return nullptr;
  }
  return dict.release();
}

// Reads the file named by the one argument, or sets the exception.
std::optional<gguf::GgufFile> read_file(const Parameters<1>& parameters, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  Parameters<1>::Values argv;
  std::string_view path_text;
  if (!parameters.match(args, nargs, kwnames, argv) || !to_text(argv[0], "path", path_text)) return std::nullopt;
  const std::string path(path_text);
  std::optional<gguf::GgufResult<gguf::GgufFile>> file;
  {
    const WithoutGil unlocked;  // reads only the file and its own buffers
    file.emplace(gguf::read_gguf(path));
  }
  if (!*file) {
    const gguf::GgufError& error = (*file).error();
    if (error.kind == gguf::GgufError::Kind::kFile) {
      raise_failure(Failure::kGgufFile, error.error, error.errno_value);
    } else {
      raise_failure(Failure::kGgufFormat, error.error);
    }
    return std::nullopt;
  }
  return std::move(**file);
}

constexpr Parameters<1> kReadGguf{"read_gguf()", {"path"}};

PyObject* read_gguf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::optional<gguf::GgufFile> file = read_file(kReadGguf, args, nargs, kwnames);
    return file ? file_to_py(*file) : nullptr;
  });
}

constexpr Parameters<1> kGgufBpeMembers{"gguf_bpe_members()", {"path"}};

PyObject* gguf_bpe_members(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::optional<gguf::GgufFile> file = read_file(kGgufBpeMembers, args, nargs, kwnames);
    if (!file) return nullptr;
    std::optional<Result<std::string>> members;
    {
      const WithoutGil unlocked;  // the file is this call's own
      members.emplace(gguf::bpe_model_members(*file));
    }
    if (!*members) return raise_failure(Failure::kScoreMerges, (*members).error());
    return to_py(**members).release();
  });
}

// Calls add(item) for each item of a sequence (not a str or bytes).
template <typename Add>
bool each_item(PyObject* obj, const char* name, Add&& add) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) return wrong(obj, name, "expected a sequence");
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!add(item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool to_scores(PyObject* obj, std::vector<double>& out) {
  return each_item(obj, "scores", [&](PyObject* item) {
    if (!PyFloat_Check(item) && !PyLong_Check(item)) return wrong(item, "scores", "each score must be a float");
    const double score = PyFloat_AsDouble(item);
    if (score == -1.0 && PyErr_Occurred()) return false;
    out.push_back(score);
    return true;
  });
}

bool to_types(PyObject* obj, std::vector<std::int32_t>& out) {
  return each_item(obj, "types", [&](PyObject* item) {
    if (!PyLong_Check(item)) return wrong(item, "types", "each type must be an int");
    int overflow = 0;
    const long long type = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (type == -1 && PyErr_Occurred()) return false;
    // Out of range values stay out of range: the core names them.
    out.push_back(overflow != 0 || type < INT32_MIN || type > INT32_MAX ? -1 : static_cast<std::int32_t>(type));
    return true;
  });
}

constexpr Parameters<3> kMergesFromScores{"merges_from_scores()", {"tokens", "scores", "types"}};

PyObject* merges_from_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Parameters<3>::Values argv;
    std::vector<std::string> tokens;
    std::vector<double> scores;
    std::vector<std::int32_t> types;
    if (!kMergesFromScores.match(args, nargs, kwnames, argv) || !to_token_list(argv[0], "tokens", tokens) ||
        !to_scores(argv[1], scores) || !to_types(argv[2], types)) {
      return nullptr;
    }
    std::optional<Result<std::vector<gguf::ScoreMerge>>> merges;
    {
      const WithoutGil unlocked;  // the lists are the call's own copies
      merges.emplace(gguf::merges_from_scores(tokens, scores, types));
    }
    if (!*merges) return raise_failure(Failure::kScoreMerges, (*merges).error());
    // One str per token that takes part in a merge, shared by its tuples.
    std::vector<PyRef> strings(tokens.size());
    auto text = [&](std::uint32_t i) -> PyRef {
      if (!strings[i]) strings[i] = to_py(tokens[i]);
      return PyRef::borrow(strings[i].get());
    };
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>((*merges)->size())));
    if (!list) return nullptr;
    Py_ssize_t at = 0;
    for (const gguf::ScoreMerge& m : **merges) {
      PyRef pair = make_tuple(text(m.left), text(m.right));
      if (!pair) return nullptr;
      PyList_SetItem(list.get(), at++, pair.release());  // steals
    }
    return list.release();
  });
}

const char kReadGgufDoc[] =
    "read_gguf($module, path)\n--\n\n"
    "The header, metadata and tensor directory of a GGUF file\n\n"
    "Reads no tensor data. Every size and count the file declares is checked\n"
    "against the file before it is used; versions 2 and 3 (little-endian).\n\n"
    "Args:\n    path: The file\n\n"
    "Returns:\n    dict: \"version\", \"alignment\" (general.alignment, default 32),\n"
    "    \"data_offset\" (where the aligned tensor data starts), \"file_size\";\n"
    "    \"metadata\": (key, value_type, value, start, end) in file order, where\n"
    "    value_type is the GGUF value type code, a scalar value is an int,\n"
    "    float, bool or str, an array (element_type, [values]) (nested arrays\n"
    "    alike), and [start, end) the byte range of the whole record;\n"
    "    \"tensors\": (name, dims with ne0 first, ggml_type, offset from\n"
    "    data_offset, nbytes) in file order.\n\n"
    "Raises:\n    OSError: The file cannot be read\n"
    "    ValueError: The content is not a well-formed GGUF file (the message\n"
    "        names the field and its offset), or a string is not UTF-8";

const char kMergesFromScoresDoc[] =
    "merges_from_scores($module, tokens, scores, types)\n--\n\n"
    "The merge list of a SentencePiece BPE vocabulary, derived from its scores\n\n"
    "For the GGUF tokenizer model \"llama\". A BPE model over these tokens\n"
    "with this merge list encodes a word as llama.cpp does: it repeatedly\n"
    "joins the adjacent pair whose concatenation is the piece of highest\n"
    "score (ties: the leftmost pair). There is one merge for every split of a\n"
    "piece into two pieces, ranked by the piece's score (highest first), then\n"
    "by the lengths of the left and right parts in characters (longest first),\n"
    "then by the piece's id: the order Hugging Face's converter gives. Where\n"
    "scores tie, or one piece can be joined at two overlapping places, a\n"
    "ranked list cannot always pick the leftmost pair as llama.cpp does.\n\n"
    "Only NORMAL (1), UNKNOWN (2), UNUSED (5) and undefined (0) tokens take\n"
    "part: BYTE (6) tokens are the byte fallback, CONTROL (3) and\n"
    "USER_DEFINED (4) ones are added tokens. Of two tokens with the same text\n"
    "the later is the piece.\n\n"
    "Args:\n    tokens: tokenizer.ggml.tokens\n"
    "    scores: tokenizer.ggml.scores\n"
    "    types: tokenizer.ggml.token_type\n\n"
    "Returns:\n    list[tuple[str, str]]: (left, right), highest rank first\n\n"
    "Raises:\n    ValueError: The lists differ in length, a score is NaN or a\n"
    "        type is not a token type";

const char kGgufBpeMembersDoc[] =
    "gguf_bpe_members($module, path)\n--\n\n"
    "The vocabulary and merges of a GGUF file's tokenizer, as JSON text\n\n"
    "The members `\"vocab\":{...},\"merges\":[...]` of a tokenizer.json BPE\n"
    "model, for the tokenizer model in tokenizer.ggml.model: \"gpt2\" takes its\n"
    "\"left right\" merges as they are, \"llama\" derives them from the scores\n"
    "(see merges_from_scores). The caller writes the rest of the document.\n\n"
    "Args:\n    path: The file\n\n"
    "Returns:\n    str: The two members, comma-separated, without braces\n\n"
    "Raises:\n    OSError: The file cannot be read\n"
    "    ValueError: The file is not well-formed GGUF, or its tokenizer arrays\n"
    "        are missing, of the wrong type or length, hold a token twice or a\n"
    "        merge that is not \"left right\"";

PyMethodDef functions[] = {
    {"read_gguf", fast(read_gguf), kFast, kReadGgufDoc},
    {"gguf_bpe_members", fast(gguf_bpe_members), kFast, kGgufBpeMembersDoc},
    {"merges_from_scores", fast(merges_from_scores), kFast, kMergesFromScoresDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* gguf_functions() { return functions; }

}  // namespace quorvane::py

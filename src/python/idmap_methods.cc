#include "python/idmap_methods.h"

#include <string_view>
#include <utility>
#include <vector>

#include "editor/idmap/id_map.h"
#include "python/call.h"
#include "python/convert.h"

namespace quorvane::py {

namespace {

// `before`: a dict of str to id, as get_vocab() gives it, or an editor (a
// copy() taken before the edit). The views point into the dict's keys, which
// the caller's reference keeps alive, or into the editor's arena.
bool to_vocabulary(PyObject* self, PyObject* obj, std::vector<std::pair<std::string_view, TokenId>>& out) {
  if (Py_TYPE(obj) == Py_TYPE(self)) {
    ReadAccess access(obj);  // the same object as self is fine: both only read
    if (!access.ok()) return false;
    const Vocabulary& vocab = access.editor().vocab();
    out.reserve(vocab.size());
    vocab.for_each([&](const VocabEntry& e) { out.emplace_back(e.token, e.id); });
    return true;
  }
  if (!PyDict_Check(obj)) {
    if (PyRef type = type_name(obj)) {
      PyErr_Format(PyExc_TypeError, "argument 'before': expected a Quorvane or a dict of str to int, not %U",
                   type.get());
    }
    return false;
  }
  out.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string_view token;
    TokenId id = 0;
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "argument 'before': each token must be str");
      return false;
    }
    if (!to_text(key, "before", token) || !to_id(value, "before", id)) return false;
    out.emplace_back(token, id);
  }
  return true;
}

// `moved`: (token, old id, new id) tuples; the views point into the tuples,
// which `owners` keeps alive.
bool to_moved(PyObject* obj, std::vector<PyRef>& owners, std::vector<MovedToken>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 3) {
      PyErr_SetString(PyExc_TypeError, "argument 'moved': each item must be a (token, old id, new id) tuple");
      return false;
    }
    MovedToken m{};
    if (!to_text(PyTuple_GetItem(item.get(), 0), "moved", m.token) ||
        !to_id(PyTuple_GetItem(item.get(), 1), "moved", m.old_id) ||
        !to_id(PyTuple_GetItem(item.get(), 2), "moved", m.new_id)) {
      return false;
    }
    out.push_back(m);
    owners.push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

}  // namespace

constexpr Parameters<2> kIdMapJson{"Quorvane.id_map_json()", {"before", "moved"}, 1};

PyObject* id_map_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto body = [self](ReadAccess& access, auto& argv) -> PyObject* {
    std::vector<std::pair<std::string_view, TokenId>> before;
    std::vector<PyRef> owners;
    std::vector<MovedToken> moved;
    if (!to_vocabulary(self, argv[0], before) || !to_moved(argv[1], owners, moved)) return nullptr;
    const std::string text = quorvane::id_map_json(before, access.editor().vocab(), moved);
    return to_py(text).release();
  };
  return call<ReadAccess>(self, kIdMapJson, args, nargs, kwnames, body);
}

const char kIdMapJsonDoc[] =
    "id_map_json($self, before, moved=())\n--\n\n"
    "The id map from the vocabulary before an edit to this one, as JSON text\n\n"
    "{\"old_to_new\": {old id: new id}, \"removed\": [{\"token\", \"id\"}],\n"
    "\"added\": [{\"token\", \"id\"}]}: survivors keyed by their old id as a\n"
    "decimal string, in numeric order (an old id several tokens held and that\n"
    "now maps to several ids maps to the sorted list of them); removed tokens\n"
    "with their old ids and added ones with their new ids, by id. One line per\n"
    "entry.\n\n"
    "Args:\n    before: A copy() of the editor taken before the edit, or its\n"
    "        get_vocab() then\n"
    "    moved: (token, old id, new id) of added tokens outside the model that\n"
    "        the edit moved (their content is not in get_vocab())\n\n"
    "Returns:\n    str";

}  // namespace quorvane::py

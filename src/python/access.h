// The access flag of a Quorvane object: shared readers or one exclusive writer.
//
// Every method holds access for its whole run, from just after argument
// matching until it returns, because converting arguments and building results
// can run Python code (a sequence's __getitem__, an __index__), and that code
// may call back into the same editor. A reader must not see an editor halfway
// through an edit, and a writer must not change it under a reader's feet.
//
// The flag is a plain counter, changed only under the interpreter lock. Two
// readers release that lock for their heavy part, holding their shared access
// all the while so that no edit can start: count_words (which works on a
// splitter of its own) and prepare_encoder (which builds an encoder from a
// document it only reads, but for the vocabulary index, which the vocabulary
// builds once for all its readers). The guards release on every path,
// including C++ exceptions unwinding out of a method body.
#pragma once

#include "python/objects.h"

namespace quorvane::py {

// Shared access. Check `ok()` right after construction; on conflict the
// RuntimeError is already set and nothing is held.
class ReadAccess {
 public:
  explicit ReadAccess(PyObject* self) : self_(as_editor(self)) {
    if (self_->access < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      self_ = nullptr;
      return;
    }
    ++self_->access;
  }
  ReadAccess(const ReadAccess&) = delete;
  ReadAccess& operator=(const ReadAccess&) = delete;
  ~ReadAccess() {
    if (self_ != nullptr) --self_->access;
  }

  bool ok() const { return self_ != nullptr; }
  const Editor& editor() const { return *self_->editor; }

 private:
  EditorObject* self_;
};

// Exclusive access, with the same protocol.
class WriteAccess {
 public:
  explicit WriteAccess(PyObject* self) : self_(as_editor(self)) {
    if (self_->access != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      self_ = nullptr;
      return;
    }
    self_->access = -1;
  }
  WriteAccess(const WriteAccess&) = delete;
  WriteAccess& operator=(const WriteAccess&) = delete;
  ~WriteAccess() {
    if (self_ != nullptr) self_->access = 0;
  }

  bool ok() const { return self_ != nullptr; }
  Editor& editor() const { return *self_->editor; }

 private:
  EditorObject* self_;
};

}  // namespace quorvane::py

#pragma once

#include <Python.h>

#include <utility>

namespace velmar::python {

// Releases the interpreter lock for the life of the object, so that other
// Python threads run while native work does. Must be made with the lock
// held; the lock is held again when the object is gone, on every path out.
// Holds no Python object: nothing may touch one while the lock is released.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { Reacquire(); }

  // Takes the lock back early (idempotent).
  void Reacquire() {
    if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
  }
  // Releases it again after Reacquire (idempotent).
  void Release() {
    if (state_ == nullptr) state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_;
};

// Holds the interpreter lock for one scope inside a ReleasedLock's life, as
// a callback from native work does to run signal handlers or Python code.
class LockHeld {
 public:
  explicit LockHeld(ReleasedLock& released) : released_(released) { released_.Reacquire(); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;
  ~LockHeld() { released_.Release(); }

 private:
  ReleasedLock& released_;
};

}  // namespace velmar::python

#pragma once

#include <Python.h>

namespace velmar::python {

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while native code works; the destructor takes it back on
// every path out, exceptions included.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Holds the lock again for its own lifetime, inside a release.
  class Reacquire {
   public:
    explicit Reacquire(GilRelease& release) : release_(release) {
      PyEval_RestoreThread(release_.state_);
    }
    ~Reacquire() { release_.state_ = PyEval_SaveThread(); }
    Reacquire(const Reacquire&) = delete;
    Reacquire& operator=(const Reacquire&) = delete;

   private:
    GilRelease& release_;
  };

 private:
  PyThreadState* state_;
};

}  // namespace velmar::python

#pragma once

// Running a long video call without the interpreter lock: the observer the
// core polls takes the lock back between frames to check for Ctrl-C and to
// call the caller's progress callback.

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "python/errors.hpp"
#include "python/lock_release.hpp"
#include "python/ref.hpp"
#include "common/interrupt.hpp"
#include "video/libav/scanner.hpp"

namespace velmar::python {

inline constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// Takes the interpreter lock back between frames to check for Ctrl-C and,
// at most ten times a second, to call the progress callback.
class ProgressObserver : public video::ScanObserver {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ProgressObserver(PyObject* progress) : progress_(progress) {}

  // The lock is released by `released` whenever the scan calls Poll.
  void SetReleased(ReleasedLock* released) { released_ = released; }

  bool Poll(uint64_t done, uint64_t expected) override {
    LockHeld held(*released_);
    CheckInterrupt();  // Ctrl-C: throws Interrupted with KeyboardInterrupt set
    if (progress_ == nullptr || Clock::now() - last_call_ < kProgressInterval) return true;
    last_call_ = Clock::now();
    return Report(done, expected);
  }

  // Calls progress(done, expected) with the lock held; false if it raised.
  bool Report(uint64_t done, uint64_t expected) {
    if (progress_ == nullptr) return true;
    Ref result = Ref::Steal(PyObject_CallFunction(progress_, "KK",
                                                  static_cast<unsigned long long>(done),
                                                  static_cast<unsigned long long>(expected)));
    return static_cast<bool>(result);
  }

 private:
  PyObject* progress_;
  ReleasedLock* released_ = nullptr;
  Clock::time_point last_call_ = Clock::now();
};

}  // namespace velmar::python

#pragma once

#include <functional>

namespace velmar {

// Runs work(0) and work(1): at once, on this thread and one more, when
// `two_threads` (the caller's judgement that the job pays for starting a
// thread) and the process may run on two processors; else, or when the
// second thread cannot start, one after the other on this thread. The two
// calls must not write anything in common. A plain thread, not the worker
// pool: loading must not create the pool, whose size is fixed by its first
// user.
void RunInHalves(bool two_threads, const std::function<void(int)>& work);

}  // namespace velmar

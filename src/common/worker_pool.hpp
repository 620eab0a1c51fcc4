#pragma once

#include <cstdint>

#include <oneapi/tbb/task_arena.h>

namespace velmar {

// The process-wide worker pool: one oneTBB task_arena shared by every
// parallel loop (frame scoring, block sums, flexible search). Created on
// first use with the default size, the number of processors available to
// the process; its size never changes afterwards. Run parallel work with
// WorkerPool().execute([&] { tbb::parallel_for(...); }). Parallel loops may
// nest: a worker that waits for an inner loop works on it meanwhile. An
// exception thrown in a worker is rethrown on the thread that started the
// loop once the loop has stopped.
tbb::task_arena& WorkerPool();

// The process-wide pool if some earlier call has created it, else null.
// For work that may use the pool but must not be the one to fix its size.
tbb::task_arena* ExistingWorkerPool();

// Asks for the pool to be created with exactly `threads` workers (threads
// above the core count included; requests above the larger of
// kMaxRequestedThreads and the processor count are reduced to it). When the
// pool already exists the request is dropped silently, as is any failure
// to start the workers. Returns after every worker has started. 0 asks for
// the default size.
void ConfigureWorkerPool(uint64_t threads);

// The most threads an explicit request gets. Every arena slot costs memory
// up front and every worker a thread, so a request for millions is cut here
// instead of failing half-way through starting them.
inline constexpr uint64_t kMaxRequestedThreads = 1024;

// The number of worker threads of the pool as seen from the calling thread:
// the arena the caller runs in if it is a worker, otherwise the process-wide
// pool (created with its default size if it does not exist yet).
uint64_t ActualThreadCount();

// The number of processors this process may run on (its affinity mask),
// at least 1: the pool's default size.
uint64_t AvailableProcessors();

}  // namespace velmar

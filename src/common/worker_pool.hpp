#pragma once

#include <cstdint>

#include <oneapi/tbb/task_arena.h>

namespace velmar {

// The process-wide worker pool: one oneTBB task_arena shared by every
// parallel loop (frame scoring, block sums, flexible search). Created on
// first use with the default size, the number of processors available to
// the process; its size never changes afterwards. Run parallel work with
// WorkerPool().execute([&] { tbb::parallel_for(...); }).
tbb::task_arena& WorkerPool();

// Asks for the pool to be created with exactly `threads` workers (threads
// above the core count included). When the pool already exists the request
// is dropped silently. Returns after every worker has started.
void ConfigureWorkerPool(uint64_t threads);

// The number of worker threads of the pool as seen from the calling thread:
// the arena the caller runs in if it is a worker, otherwise the process-wide
// pool (created with its default size if it does not exist yet).
uint64_t ActualThreadCount();

}  // namespace velmar

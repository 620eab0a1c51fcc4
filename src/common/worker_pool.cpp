// Placeholder pool: a default-sized arena. Replaced by the real pool.
#include "common/worker_pool.hpp"

#include <mutex>

namespace velmar {

namespace {
std::once_flag g_once;
tbb::task_arena* g_arena = nullptr;

void Create(int threads) {
  std::call_once(g_once, [&] {
    g_arena = threads > 0 ? new tbb::task_arena(threads) : new tbb::task_arena();
    g_arena->initialize();
  });
}
}  // namespace

tbb::task_arena& WorkerPool() {
  Create(0);
  return *g_arena;
}

void ConfigureWorkerPool(uint64_t threads) { Create(static_cast<int>(threads)); }

uint64_t ActualThreadCount() {
  return static_cast<uint64_t>(WorkerPool().max_concurrency());
}

}  // namespace velmar

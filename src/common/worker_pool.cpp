#include "common/worker_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_scheduler_observer.h>

namespace velmar {

namespace {

// The pool and what keeps it working live until the process ends: nothing
// is ever torn down, so no worker can outlive its arena.
std::once_flag g_once;
tbb::task_arena* g_arena = nullptr;
// g_arena once it exists, for callers that only use a pool already made.
std::atomic<tbb::task_arena*> g_existing{nullptr};
// Never read, only kept: volatile stops the compiler from dropping the
// stores, which would leave the objects unreachable (a leak to LSan).
tbb::global_control* volatile g_parallelism = nullptr;
tbb::task_scheduler_observer* volatile g_observer = nullptr;

// True while this thread works inside the pool's arena (a worker, or a
// caller inside execute()).
thread_local bool t_in_pool = false;

class PoolObserver : public tbb::task_scheduler_observer {
 public:
  explicit PoolObserver(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    observe(true);
  }
  void on_scheduler_entry(bool) override { t_in_pool = true; }
  void on_scheduler_exit(bool) override { t_in_pool = false; }
};

// Holds every thread of the arena in one parallel loop until all of them
// have arrived. Each index of the loop parks the thread that took it, so a
// thread never takes a second index, and the loop can only finish once
// `threads` distinct threads have joined: the workers exist, have entered
// the arena and are ready for work. Parked threads sleep rather than spin
// (a pool may be far larger than the core count). Gives up after a
// generous deadline in case the process limits TBB below the request.
void WaitForWorkers(tbb::task_arena& arena, int threads) {
  std::mutex mutex;
  std::condition_variable all_arrived;
  int arrived = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  arena.execute([&] {
    tbb::parallel_for(
        0, threads, 1,
        [&](int) {
          std::unique_lock lock(mutex);
          if (++arrived == threads) {
            all_arrived.notify_all();
          } else {
            all_arrived.wait_until(lock, deadline, [&] { return arrived >= threads; });
          }
        },
        tbb::simple_partitioner());
  });
}

void CreatePool(uint64_t requested) {
  std::call_once(g_once, [requested] {
    uint64_t size = AvailableProcessors();
    if (requested > 0) size = std::min(requested, std::max(kMaxRequestedThreads, size));
    const int concurrency = static_cast<int>(std::min<uint64_t>(size, INT_MAX));
    // TBB caps its worker count at the core count unless told otherwise;
    // a pool asked for with more threads must really get them.
    const auto limit = tbb::global_control::max_allowed_parallelism;
    if (static_cast<size_t>(concurrency) > tbb::global_control::active_value(limit)) {
      g_parallelism = new tbb::global_control(limit, static_cast<size_t>(concurrency));
    }
    auto* arena = new tbb::task_arena(concurrency);
    arena->initialize();
    g_observer = new PoolObserver(*arena);
    g_arena = arena;
    g_existing.store(arena, std::memory_order_release);
    if (requested > 0) {
      try {
        WaitForWorkers(*arena, concurrency);
      } catch (const std::exception&) {
        // A worker that could not start leaves a smaller pool, not an error.
      }
    }
  });
}

}  // namespace

uint64_t AvailableProcessors() {
  // The mask may be wider than cpu_set_t on very large machines: grow it
  // until the kernel accepts the size.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<uint64_t>(count) : 1;
    if (err != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint64_t>(online) : 1;
}

tbb::task_arena* ExistingWorkerPool() { return g_existing.load(std::memory_order_acquire); }

tbb::task_arena& WorkerPool() {
  CreatePool(0);
  return *g_arena;
}

void ConfigureWorkerPool(uint64_t threads) {
  try {
    CreatePool(threads);
  } catch (const std::exception&) {
    // Dropped: the pool is then made with its default size on first use.
  }
}

uint64_t ActualThreadCount() {
  if (t_in_pool) return static_cast<uint64_t>(tbb::this_task_arena::max_concurrency());
  return static_cast<uint64_t>(WorkerPool().max_concurrency());
}

}  // namespace velmar

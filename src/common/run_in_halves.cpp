#include "common/run_in_halves.hpp"

#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include "common/worker_pool.hpp"

namespace velmar {

void RunInHalves(bool two_threads, const std::function<void(int)>& work) {
  std::optional<std::thread> other;
  std::exception_ptr failure;
  if (two_threads && AvailableProcessors() >= 2) {
    try {
      other.emplace([&] {
        try {
          work(1);
        } catch (...) {
          failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had (a process or thread limit): this one does both.
    }
  }
  try {
    work(0);
  } catch (...) {
    if (other) other->join();
    throw;
  }
  if (!other) {
    work(1);
    return;
  }
  other->join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velmar

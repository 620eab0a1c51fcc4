#include "common/memory_pages.hpp"

#include <sys/mman.h>

namespace velmar {

namespace {
constexpr uintptr_t kPage = 4096;
}  // namespace

void AdviseHugePages(const void* data, size_t bytes) {
  constexpr size_t kMinBytes = size_t{64} << 20;
  if (bytes < kMinBytes) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void Prefault(uint8_t* data, size_t size) {
  if (size == 0) return;
  uintptr_t begin = reinterpret_cast<uintptr_t>(data) & ~(kPage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size + kPage - 1) & ~(kPage - 1);
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

}  // namespace velmar

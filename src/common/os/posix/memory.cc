// Memory hints.
#include <sys/mman.h>

#include <cstdint>

#include "os/os.h"

namespace zk5::os {

void AdviseHugePages(void* block, std::size_t size) {
#ifdef MADV_HUGEPAGE
  // The PMD size of 4 KiB-page systems. Where huge pages are larger the
  // range is still page aligned, and the kernel uses what fits.
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + size) & ~(kHugePage - 1);
  // Failure (e.g. no THP support in the kernel) only costs speed.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace zk5::os

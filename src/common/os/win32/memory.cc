// Memory hints.
#include "os/os.h"

namespace zk5::os {

// Windows backs ordinary allocations with small pages only; large pages need
// a privilege and their own allocation, so there is nothing to advise.
void AdviseHugePages(void*, std::size_t) {}

}  // namespace zk5::os

#include "platform/system_memory.hpp"

#include <limits>

#include <unistd.h>

namespace drevik {

double physicalMemoryBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) {
        return std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(pages) * static_cast<double>(pageSize);
}

} // namespace drevik

#include "platform/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace drevik {

void preferHugePages(const void* start, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t hugePage = std::uintptr_t{2} << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + hugePage - 1) & ~(hugePage - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(hugePage - 1);
    if (last > first) {
        // The result is deliberately ignored: refusing the hint changes nothing but speed.
        (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)start;
    (void)bytes;
#endif
}

} // namespace drevik

#pragma once
// Large buffers (a whole image's samples, a whole compressed frame) backed by
// transparent huge pages where the system allows.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/mman.h>

namespace evenor {

// Asks for transparent huge pages for the 2 MiB-aligned inside of a large,
// not yet touched buffer. Filling 32 MB (a 4096 x 4096 image) page by page
// costs some 8000 page faults, a large part of an analysis run on a loaded
// machine; in 2 MiB pages it costs 16. Only advice: nothing changes when the
// system declines.
inline void AdviseHugePages(void* data, std::size_t bytes)
{
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// A vector of count zeros whose memory was advised before it was touched.
template <typename T> std::vector<T> HugePageVector(std::size_t count)
{
    std::vector<T> values;
    values.reserve(count);
    AdviseHugePages(values.data(), count * sizeof(T));
    values.resize(count);
    return values;
}

}  // namespace evenor

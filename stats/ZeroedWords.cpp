#include "stats/ZeroedWords.h"

#include <cstdlib>
#include <limits>
#include <new>

#include <sys/mman.h>

namespace evenor {

namespace {

// From this size on an array is mapped from the system.
constexpr std::size_t kMappedBytes = std::size_t{256} << 10;

// A word in front of the array holds the bytes mapped, or 0 when the array
// came from calloc.
constexpr std::size_t kHeaderWords = 1;

}  // namespace

std::uint64_t* AllocateZeroedWords(std::size_t count)
{
    if (count == 0) return nullptr;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t) - kHeaderWords) throw std::bad_alloc();
    const std::size_t bytes = (count + kHeaderWords) * sizeof(std::uint64_t);
    std::uint64_t* block = nullptr;
    if (bytes >= kMappedBytes) {
        void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        block = static_cast<std::uint64_t*>(mapped);
        block[0] = bytes;
    } else {
        block = static_cast<std::uint64_t*>(std::calloc(count + kHeaderWords, sizeof(std::uint64_t)));
        if (block == nullptr) throw std::bad_alloc();
    }
    return block + kHeaderWords;
}

void FreeZeroedWords(std::uint64_t* words)
{
    if (words == nullptr) return;
    std::uint64_t* block = words - kHeaderWords;
    if (block[0] != 0)
        ::munmap(block, static_cast<std::size_t>(block[0]));
    else
        std::free(block);
}

}  // namespace evenor

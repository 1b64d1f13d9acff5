#pragma once
// Zero-filled arrays of 64-bit words for bitmaps over a whole image (one bit
// per pixel: 2 MB for 4096 x 4096) of which a run usually touches a few
// words. Large arrays are mapped straight from the system, whose zero pages
// cost nothing until first touched; the allocator's calloc may hand out
// reused memory it must clear first, page by page, every time.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace evenor {

// count zeroed words (nullptr for 0). Throws std::bad_alloc when the memory
// cannot be had.
std::uint64_t* AllocateZeroedWords(std::size_t count);
// Releases words from AllocateZeroedWords; nullptr is ignored.
void FreeZeroedWords(std::uint64_t* words);

struct ZeroedWordsDeleter {
    void operator()(std::uint64_t* words) const { FreeZeroedWords(words); }
};
using ZeroedWords = std::unique_ptr<std::uint64_t[], ZeroedWordsDeleter>;

inline ZeroedWords MakeZeroedWords(std::size_t count) { return ZeroedWords(AllocateZeroedWords(count)); }

}  // namespace evenor

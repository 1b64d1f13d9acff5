#pragma once
// Counts the memory taken through operator new in this test program: the
// bytes live now, the most live at once since the last reset, and the largest
// single request. Replacing the global operator new is the one hook that sees
// every allocation of the standard containers, whatever the build (the
// sanitizer runtime answers malloc_usable_size too).
#include <cstddef>

namespace evenor::test {

struct AllocationFigures {
    std::size_t Peak = 0;     // most bytes live at once above the live bytes at Reset
    std::size_t Largest = 0;  // largest single request
    std::size_t Count = 0;    // number of requests
};

// Starts a new measurement from the bytes live now.
void ResetAllocationFigures();
AllocationFigures ReadAllocationFigures();

}  // namespace evenor::test

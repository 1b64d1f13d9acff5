#include "tests/dicom/CountingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include <malloc.h>

namespace evenor::test {
namespace {

std::atomic<std::size_t> live{0};
std::atomic<std::size_t> base{0};
std::atomic<std::size_t> peak{0};
std::atomic<std::size_t> largest{0};
std::atomic<std::size_t> count{0};

void RaiseTo(std::atomic<std::size_t>& figure, std::size_t value)
{
    std::size_t seen = figure.load(std::memory_order_relaxed);
    while (value > seen && !figure.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {}
}

void* Allocate(std::size_t size)
{
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const std::size_t now =
        live.fetch_add(::malloc_usable_size(p), std::memory_order_relaxed) + ::malloc_usable_size(p);
    RaiseTo(peak, now);
    RaiseTo(largest, size);
    count.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void Release(void* p)
{
    if (p == nullptr) return;
    live.fetch_sub(::malloc_usable_size(p), std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

void ResetAllocationFigures()
{
    const std::size_t now = live.load();
    base = now;
    peak = now;
    largest = 0;
    count = 0;
}

AllocationFigures ReadAllocationFigures()
{
    const std::size_t start = base.load();
    const std::size_t top = peak.load();
    return AllocationFigures{top > start ? top - start : 0, largest.load(), count.load()};
}

}  // namespace evenor::test

void* operator new(std::size_t size) { return evenor::test::Allocate(size); }
void* operator new[](std::size_t size) { return evenor::test::Allocate(size); }
void operator delete(void* p) noexcept { evenor::test::Release(p); }
void operator delete[](void* p) noexcept { evenor::test::Release(p); }
void operator delete(void* p, std::size_t) noexcept { evenor::test::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { evenor::test::Release(p); }

// The nothrow forms too, so every operator new pairs with the delete above
// (the sanitizer runtime would otherwise allocate them with its own new).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return evenor::test::Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { evenor::test::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { evenor::test::Release(p); }

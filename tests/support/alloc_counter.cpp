#include "tests/support/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local int t_depth = 0;
thread_local std::size_t t_count = 0;

void* counted_alloc(std::size_t size) {
    if (t_depth > 0) ++t_count;
    if (size == 0) size = 1;
    if (void* p = std::malloc(size)) return p;
    throw std::bad_alloc();
}
} // namespace

namespace mellora::test {
AllocationCounter::AllocationCounter() {
    if (t_depth++ == 0) t_count = 0;
}
AllocationCounter::~AllocationCounter() { --t_depth; }
std::size_t AllocationCounter::count() const { return t_count; }
} // namespace mellora::test

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (t_depth > 0) ++t_count;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (t_depth > 0) ++t_count;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

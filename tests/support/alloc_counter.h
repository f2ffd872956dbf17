#pragma once
// Counts heap allocations made by the calling thread while a guard is alive.
// The test programs replace the global operator new (alloc_counter.cpp), so any
// allocation inside a render shows up here.
#include <cstddef>

namespace mellora::test {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const;
};

} // namespace mellora::test

// Counts the heap allocations made by the calling thread, so a test can show that a
// hot-path call allocates nothing. Any test thread may use it; each sees its own count.
#pragma once

#include <cstdint>

namespace zoranth {

// Allocations (every form of operator new, and aligned_alloc) made by this thread since
// construction.
class AllocCounter {
public:
    AllocCounter();
    std::uint64_t allocations() const;

private:
    std::uint64_t start_;
};

}  // namespace zoranth

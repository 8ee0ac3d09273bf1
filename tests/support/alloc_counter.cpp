// Replaces the global operator new and delete (and aligned_alloc) for every test executable.
// They only count and forward to malloc and free, so behaviour (and sanitizers' view of the
// heap) stays that of plain malloc; new and delete are replaced together so that
// no allocation is ever released by a different allocator than the one that made it.
#include "alloc_counter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

constinit thread_local std::uint64_t threadAllocations = 0;

void* allocate(std::size_t size) {
    ++threadAllocations;
    if (size == 0) size = 1;
    for (;;) {
        if (void* p = std::malloc(size)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    ++threadAllocations;
    if (size == 0) size = 1;
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void*)) align = sizeof(void*);
    for (;;) {
        void* p = nullptr;
        if (posix_memalign(&p, align, size) == 0) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

template <typename Allocate, typename... Args>
void* allocateNoThrow(Allocate allocateFn, Args... args) noexcept {
    try {
        return allocateFn(args...);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

namespace zoranth {

AllocCounter::AllocCounter() : start_(threadAllocations) {}

std::uint64_t AllocCounter::allocations() const { return threadAllocations - start_; }

}  // namespace zoranth

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateNoThrow(allocate, size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateNoThrow(allocate, size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateNoThrow(allocateAligned, size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateNoThrow(allocateAligned, size, alignment);
}

// Boost.Asio takes the memory of its operations (every post, every socket read and write)
// from aligned_alloc rather than operator new: counted too, so a test sees those as well.
// Defined here, it stands in for the C library's in the test executable itself.
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    ++threadAllocations;
    void* p = nullptr;
    if (alignment < sizeof(void*)) alignment = sizeof(void*);
    return posix_memalign(&p, alignment, size == 0 ? 1 : size) == 0 ? p : nullptr;
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

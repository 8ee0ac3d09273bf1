// Memory for the asynchronous operations a guest connection keeps in flight one at a time
// (its socket write, its socket read, the sender's wake-up), so that the steady stream of
// them, fifty a second per guest, allocates nothing. Each HandlerMemory holds two blocks:
// an operation posted to a strand may need a second one while the strand is scheduled.
// Larger or additional requests fall back to the heap. Bind a handler to it with
// boost::asio::bind_allocator(HandlerAllocator<void>(memory), handler); the allocator keeps
// the memory alive, so an operation destroyed at shutdown never writes into freed memory.
// Any thread; the blocks are claimed with atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

namespace zoranth {

class HandlerMemory {
  public:
    static constexpr std::size_t blockBytes = 512;

    void* allocate(std::size_t size) {
        if (size <= blockBytes) {
            for (Block& block : blocks_) {
                if (!block.inUse.exchange(true, std::memory_order_acquire)) {
                    return block.storage;
                }
            }
        }
        return ::operator new(size);
    }

    void deallocate(void* pointer) {
        for (Block& block : blocks_) {
            if (pointer == block.storage) {
                block.inUse.store(false, std::memory_order_release);
                return;
            }
        }
        ::operator delete(pointer);
    }

  private:
    struct Block {
        alignas(std::max_align_t) std::byte storage[blockBytes];
        std::atomic<bool> inUse{false};
    };
    std::array<Block, 2> blocks_;
};

template <class T>
class HandlerAllocator {
  public:
    using value_type = T;

    explicit HandlerAllocator(std::shared_ptr<HandlerMemory> memory) : memory_(std::move(memory)) {}
    template <class U>
    HandlerAllocator(const HandlerAllocator<U>& other) noexcept : memory_(other.memory_) {}

    T* allocate(std::size_t count) { return static_cast<T*>(memory_->allocate(sizeof(T) * count)); }
    void deallocate(T* pointer, std::size_t) { memory_->deallocate(pointer); }

    template <class U>
    bool operator==(const HandlerAllocator<U>& other) const noexcept {
        return memory_ == other.memory_;
    }

  private:
    template <class U>
    friend class HandlerAllocator;
    std::shared_ptr<HandlerMemory> memory_;
};

}  // namespace zoranth

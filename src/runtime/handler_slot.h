#pragma once
// HandlerSlot: memory for one queued handler at a time, kept inside the object that posts it.
//
// A task is queued on the io_context at most once at a time, and Asio frees a handler's
// memory before it invokes the handler; so one slot serves every run of a task, and waking
// a task allocates nothing. That matters because wake-ups come from destructors (a lock
// guard handing the lock on, a cancelled wait passing its notification on) and from reactor
// handlers, where an allocation failure could not be reported to anyone. A handler too big
// for the slot, or posted while the slot is taken, falls back to the heap.

#include <atomic>
#include <cstddef>
#include <new>

namespace quorvelin::runtime {

class HandlerSlot {
public:
    HandlerSlot() = default;
    HandlerSlot(const HandlerSlot&) = delete;
    HandlerSlot& operator=(const HandlerSlot&) = delete;

    void* allocate(std::size_t size) {
        if (size <= sizeof storage_ && !in_use_.exchange(true, std::memory_order_acquire)) {
            return storage_;
        }
        return ::operator new(size);
    }

    void deallocate(void* pointer) noexcept {
        if (pointer == storage_) {
            in_use_.store(false, std::memory_order_release);
        } else {
            ::operator delete(pointer);
        }
    }

private:
    alignas(std::max_align_t) unsigned char storage_[192];
    std::atomic<bool> in_use_{false};
};

// The allocator that Asio is handed with a handler (asio::bind_allocator).
template <class T>
class SlotAllocator {
public:
    using value_type = T;

    explicit SlotAllocator(HandlerSlot& slot) noexcept : slot_(&slot) {}
    template <class U>
    SlotAllocator(const SlotAllocator<U>& other) noexcept : slot_(other.slot()) {}

    T* allocate(std::size_t n) { return static_cast<T*>(slot_->allocate(n * sizeof(T))); }
    void deallocate(T* pointer, std::size_t) noexcept { slot_->deallocate(pointer); }

    HandlerSlot* slot() const noexcept { return slot_; }

    template <class U>
    bool operator==(const SlotAllocator<U>& other) const noexcept {
        return slot_ == other.slot();
    }

private:
    HandlerSlot* slot_;
};

}  // namespace quorvelin::runtime

#pragma once
// ReadBuffer: the room a transport's reads take their bytes into, kept from one read to the
// next. Every read asks the port for up to READ_LIMIT bytes and usually gets a few; a fresh
// buffer of that size for each read, freed again on whichever thread ended it, cost more than
// copying out what was read. One read runs at a time, so one buffer is kept; a read that finds
// it taken (an earlier one is still being dropped) makes its own.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvelin::transport {

class ReadBuffer {
public:
    explicit ReadBuffer(std::size_t size) : size_(size) {}
    ~ReadBuffer() { delete[] kept_.load(); }
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    std::size_t size() const { return size_; }

    // The kept buffer, or a new one; uninitialised either way. Any thread.
    std::unique_ptr<std::uint8_t[]> take() {
        if (std::uint8_t* kept = kept_.exchange(nullptr)) {
            return std::unique_ptr<std::uint8_t[]>(kept);
        }
        return std::make_unique_for_overwrite<std::uint8_t[]>(size_);
    }

    // Keeps `buffer` (of size() bytes) for the next read; frees the one it replaces. Any
    // thread; never throws.
    void give(std::unique_ptr<std::uint8_t[]> buffer) noexcept { delete[] kept_.exchange(buffer.release()); }

private:
    std::size_t size_;
    std::atomic<std::uint8_t*> kept_{nullptr};
};

}  // namespace quorvelin::transport

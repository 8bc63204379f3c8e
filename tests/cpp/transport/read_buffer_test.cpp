// The buffer a transport's successive reads share.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "transport/read_buffer.h"

namespace quorvelin::testing {
namespace {

TEST(ReadBuffer, SuccessiveReadsShareOneBufferAndOverlappingOnesGetTheirOwn) {
    transport::ReadBuffer buffers(64);
    auto first = buffers.take();
    std::uint8_t* kept = first.get();
    buffers.give(std::move(first));
    auto second = buffers.take();
    EXPECT_EQ(second.get(), kept) << "a read after the last one ended makes a buffer of its own";
    auto overlapping = buffers.take();  // the kept one is out: a new one
    ASSERT_NE(overlapping.get(), nullptr);
    EXPECT_NE(overlapping.get(), second.get());
    overlapping[63] = 1;  // all of size() is there
    buffers.give(std::move(second));
    buffers.give(std::move(overlapping));  // replaces the kept one, which is freed
    EXPECT_EQ(buffers.take().get() != nullptr, true);
}

// Reads ending on one thread while the next ones start on another: every buffer is owned by
// one read at a time (ThreadSanitizer and AddressSanitizer watch the handing over).
TEST(ReadBuffer, HandedOverBetweenThreadsEachBufferHasOneOwner) {
    transport::ReadBuffer buffers(16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&buffers, t] {
            for (int i = 0; i < 20000; ++i) {
                auto buffer = buffers.take();
                for (int b = 0; b < 16; ++b) buffer[b] = static_cast<std::uint8_t>(t);
                for (int b = 0; b < 16; ++b) ASSERT_EQ(buffer[b], t) << "two owners at once";
                buffers.give(std::move(buffer));
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace quorvelin::testing

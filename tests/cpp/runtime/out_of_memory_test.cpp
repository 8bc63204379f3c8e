// An allocation that fails inside an operation, a task or a blocking job becomes that work's
// out-of-memory error; nothing unwinds out of the runtime, and the threads go on.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/block_on.h"
#include "runtime/blocking_pool.h"
#include "runtime/operation.h"
#include "runtime/runtime.h"
#include "runtime/spawn_blocking.h"
#include "runtime/task.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;

enum class Fault { BadAlloc, LengthError, Other };

[[noreturn]] void fail_with(Fault fault) {
    switch (fault) {
        case Fault::BadAlloc:
            throw std::bad_alloc();
        case Fault::LengthError: {
            // The genuine article: what a container throws for a size beyond its reach.
            std::vector<char> too_big;
            too_big.reserve(too_big.max_size() + 1);
            break;
        }
        case Fault::Other:
            break;
    }
    throw std::runtime_error("not an allocation failure");
}

Result<int> expected_error(Fault fault) {
    return fault == Fault::Other ? Result<int>(operation_panicked()) : Result<int>(SerialError::out_of_memory());
}

struct Case {
    const char* name;
    Fault fault;
};

const Case kCases[] = {
    {"std::bad_alloc", Fault::BadAlloc},
    {"std::length_error", Fault::LengthError},
    {"any other exception", Fault::Other},
};

// Where the fault is thrown: in the body before anything waits, in the body after a wait,
// or in a leaf that the body awaits.
Operation<int> faulting(Fault fault, bool after_a_wait, bool in_leaf) {
    std::vector<int> local(16);  // a live local that unwinding must release
    if (after_a_wait) {
        co_await testing::yield_now();
    }
    if (in_leaf) {
        co_await poll_fn([fault](Context&) -> Poll<Unit> { fail_with(fault); });
    }
    fail_with(fault);
    co_return static_cast<int>(local.size());
}

TEST(OutOfMemory, AFaultInTheFirstPollIsTheOperationsResult) {
    for (const Case& c : kCases) {
        for (bool in_leaf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (in_leaf ? " in a leaf" : " in the body"));
            Operation<int> operation = faulting(c.fault, false, in_leaf);
            Waker noop;
            Context cx(noop);
            auto first = operation.poll(cx);
            ASSERT_TRUE(first.is_ready());
            EXPECT_EQ(first.value(), expected_error(c.fault));
        }
    }
}

TEST(OutOfMemory, TheErrorIsMadeWithoutAllocating) {
    // What stands in for a failed allocation must not need one: no text to copy.
    SerialError error = SerialError::out_of_memory();
    EXPECT_EQ(error.kind(), SerialError::Kind::OutOfMemory);
    EXPECT_TRUE(error.payload().empty());
    EXPECT_EQ(error.display(), "out of memory");
    ExceptionSpec spec = SerialError(error).to_exception();
    EXPECT_EQ(spec.cls, ExceptionSpec::Class::MemoryError);
    EXPECT_EQ(spec.os_errno, std::nullopt);
    EXPECT_TRUE(spec.message.empty());
}

class TaskFaults : public ::testing::Test {
protected:
    void drain() {
        io_.restart();
        io_.poll();
    }
    asio::io_context io_{1};
};

TEST_F(TaskFaults, AFaultInALaterPollIsTheTasksResult) {
    for (const Case& c : kCases) {
        for (bool in_leaf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (in_leaf ? " in a leaf" : " in the body"));
            JoinHandle<int> join = spawn_on(io_, faulting(c.fault, true, in_leaf));
            drain();
            EXPECT_EQ(join.end(), TaskEnd::Finished);
            auto result = join.wait_for(1s);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result, expected_error(c.fault));
        }
    }
}

TEST(OutOfMemory, TasksOnTheRuntimeFailAndItsWorkersGoOn) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    std::vector<JoinHandle<int>> joins;
    for (int round = 0; round < 20; ++round) {
        joins.push_back(owned.value()->runtime->spawn(faulting(Fault::BadAlloc, true, round % 2 == 0)));
    }
    for (JoinHandle<int>& join : joins) {
        auto result = join.wait_for(10s);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, Result<int>(SerialError::out_of_memory()));
    }
    auto fine = []() -> Operation<int> {
        co_await testing::yield_now();
        co_return 5;
    };
    auto after = owned.value()->runtime->spawn(fine()).wait_for(10s);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(*after, Result<int>(5));
}

TEST(OutOfMemory, ABlockingJobThatRunsOutFailsWithOutOfMemory) {
    BlockingPool pool(BlockingPool::Limits{1, 100ms});
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        auto job = spawn_blocking(pool, [fault = c.fault]() -> int { fail_with(fault); });
        auto result = block_on(job, Clock::now() + 5s);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, c.fault == Fault::Other ? Result<int>(SerialError::io(std::nullopt, "blocking task panicked"))
                                                   : Result<int>(SerialError::out_of_memory()));
    }
}

TEST(OutOfMemory, AJobThatThrowsPastItsResultLeavesThePoolThreadRunning) {
    // A stand-in worker's handler may throw; its pool thread, and the process, go on.
    BlockingPool pool(BlockingPool::Limits{1, 5s});
    ASSERT_TRUE(pool.submit([] { throw std::bad_alloc(); }).ok());
    auto next = spawn_blocking(pool, [] { return 3; });
    auto result = block_on(next, Clock::now() + 5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, Result<int>(3));
    EXPECT_EQ(pool.thread_count(), 1u);
}

}  // namespace
}  // namespace quorvelin::runtime

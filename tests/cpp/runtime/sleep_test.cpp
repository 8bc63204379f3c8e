#include "runtime/sleep.h"

#include <gtest/gtest.h>

#include "runtime/block_on.h"
#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::CountingWaker;

TEST(Sleep, WakesAtTheDeadline) {
    ASSERT_TRUE(runtime().ok());
    auto start = Clock::now();
    Sleep sleep = sleep_until(start + 30ms);
    auto done = block_on(sleep, start + 5s);
    ASSERT_TRUE(done.has_value());
    EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(Sleep, PastDeadlineIsReadyWithoutATimer) {
    Sleep sleep = sleep_until(Clock::now() - 1ms);
    Waker noop_waker;
    Context cx(noop_waker);
    EXPECT_TRUE(sleep.poll(cx).is_ready());
}

TEST(Sleep, DroppedSleepNeverWakes) {
    ASSERT_TRUE(runtime().ok());
    CountingWaker waker;
    Context cx(waker.waker);
    {
        Sleep sleep = sleep_until(Clock::now() + 20ms);
        ASSERT_TRUE(sleep.poll(cx).is_pending());
    }
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(waker.count(), 0);
}

TEST(Sleep, NewestWakerIsWoken) {
    ASSERT_TRUE(runtime().ok());
    CountingWaker first, second;
    Sleep sleep = sleep_until(Clock::now() + 20ms);
    Context cx1(first.waker), cx2(second.waker);
    ASSERT_TRUE(sleep.poll(cx1).is_pending());
    ASSERT_TRUE(sleep.poll(cx2).is_pending());
    ASSERT_TRUE(testing::eventually([&] { return second.count() == 1; }));
    EXPECT_EQ(first.count(), 0);
    EXPECT_TRUE(sleep.poll(cx2).is_ready());
}

TEST(Timeout, InnerFirstThenDeadline) {
    ASSERT_TRUE(runtime().ok());
    struct Case {
        const char* name;
        bool inner_ready;
        std::chrono::milliseconds deadline_from_now;
        bool expect_value;
    };
    const Case cases[] = {
        {"ready before the deadline", true, 1000ms, true},
        {"ready exactly when the deadline has passed", true, -1ms, true},
        {"never ready: deadline ends it", false, 20ms, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto inner = poll_fn([&](Context&) -> Poll<int> {
            if (c.inner_ready) return 5;
            return pending;
        });
        auto limited = timeout(Clock::now() + c.deadline_from_now, inner);
        auto result = block_on(limited, Clock::now() + 5s);
        ASSERT_TRUE(result.has_value()) << "timeout did not end in time";
        EXPECT_EQ(result->has_value(), c.expect_value);
    }
}

}  // namespace
}  // namespace quorvelin::runtime

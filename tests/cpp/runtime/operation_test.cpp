#include "runtime/operation.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using testing::CountingWaker;
using testing::Gate;

struct Recorder {
    std::vector<std::string>* events;
    std::string name;
    ~Recorder() { events->push_back("~" + name); }
};

Operation<int> wait_then(Gate gate, int value) {
    co_await gate.wait();
    co_return value;
}

TEST(Operation, InlineNoopPollThenContinuesWithTheNewWaker) {
    Gate gate;
    Operation<int> op = wait_then(gate, 7);
    Waker noop;
    Context inline_cx(noop);
    EXPECT_TRUE(op.poll(inline_cx).is_pending());

    CountingWaker task;
    Context task_cx(task.waker);
    EXPECT_TRUE(op.poll(task_cx).is_pending());
    gate.open();
    EXPECT_EQ(task.count(), 1) << "the leaf must hold the newest waker, not the inline no-op";
    auto result = op.poll(task_cx);
    ASSERT_TRUE(result.is_ready());
    EXPECT_EQ(result.value(), Result<int>(7));
}

TEST(Operation, NothingRunsBeforeTheFirstPoll) {
    bool ran = false;
    auto make = [&]() -> Operation<int> {
        ran = true;
        co_return 1;
    };
    Operation<int> op = make();
    EXPECT_FALSE(ran);
    Waker noop_waker;
    Context cx(noop_waker);
    EXPECT_TRUE(op.poll(cx).is_ready());
    EXPECT_TRUE(ran);
}

TEST(Operation, DroppingAtASuspensionRunsGuardsInReverseOrder) {
    std::vector<std::string> events;
    Gate gate;
    auto make = [&]() -> Operation<int> {
        Recorder first{&events, "first"};
        Recorder second{&events, "second"};
        co_await gate.wait();
        events.push_back("resumed");
        co_return 0;
    };
    Operation<int> op = make();
    Waker noop_waker;
    Context cx(noop_waker);
    ASSERT_TRUE(op.poll(cx).is_pending());
    EXPECT_TRUE(events.empty());
    op.reset();
    EXPECT_EQ(events, (std::vector<std::string>{"~second", "~first"}));
}

TEST(Operation, EscapingFaultsBecomeThePanickedError) {
    struct Case {
        const char* name;
        bool throw_in_body;
        bool leaf_throws_on_repoll;
    };
    const Case cases[] = {
        {"body throws", true, false},
        {"leaf throws at first poll", false, false},
        {"leaf throws at a later poll", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> events;
        auto make = [&]() -> Operation<int> {
            Recorder guard{&events, "guard"};
            if (c.throw_in_body) throw std::runtime_error("boom");
            int polls = 0;
            co_await poll_fn([&](Context&) -> Poll<Unit> {
                if (c.leaf_throws_on_repoll && polls++ == 0) return pending;
                throw std::runtime_error("leaf");
            });
            co_return 1;
        };
        Operation<int> op = make();
        Waker noop_waker;
        Context cx(noop_waker);
        auto first = op.poll(cx);
        if (c.leaf_throws_on_repoll) {
            ASSERT_TRUE(first.is_pending());
            first = op.poll(cx);
        }
        ASSERT_TRUE(first.is_ready());
        EXPECT_EQ(first.value(), Result<int>(operation_panicked()));
        EXPECT_EQ(first.value().error().os_errno(), std::nullopt);
        EXPECT_EQ(first.value().error().display(), "the operation panicked");
        EXPECT_EQ(events, std::vector<std::string>{"~guard"});
    }
}

TEST(Operation, AwaitingAnOperationGivesItsResult) {
    auto child = [](bool fail) -> Operation<std::string> {
        if (fail) co_return SerialError::port_not_open();
        co_return std::string("data");
    };
    auto parent = [&](bool fail) -> Operation<std::size_t> {
        Result<std::string> r = co_await child(fail);
        if (!r) co_return r.error();
        co_return r.value().size();
    };
    Waker noop_waker;
    Context cx(noop_waker);
    auto ok = parent(false);
    EXPECT_EQ(ok.poll(cx).value(), Result<std::size_t>(4));
    auto failed = parent(true);
    EXPECT_EQ(failed.poll(cx).value(), Result<std::size_t>(SerialError::port_not_open()));
}

TEST(Operation, MovedHandleContinuesTheSameFrame) {
    Gate gate;
    int progress = 0;
    auto make = [&]() -> Operation<int> {
        ++progress;
        co_await gate.wait();
        ++progress;
        co_return progress;
    };
    Operation<int> first = make();
    Waker noop_waker;
    Context cx(noop_waker);
    ASSERT_TRUE(first.poll(cx).is_pending());
    Operation<int> moved = std::move(first);
    EXPECT_FALSE(first.valid());
    gate.open();
    EXPECT_EQ(moved.poll(cx).value(), Result<int>(2)) << "the body must not restart";
}

}  // namespace
}  // namespace quorvelin::runtime

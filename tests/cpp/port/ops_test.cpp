#include <gtest/gtest.h>

#include <cmath>

#include "port/ops.h"
#include "support.h"

namespace quorvelin::testing {
namespace {

TEST(Ops, OutcomesByOperation) {
    auto core = open_loopback();
    set_timeouts(core, Seconds::from_float(0.01));
    EXPECT_EQ(run(ops::write(core, "ab\ncd\n")).value(), Outcome(std::size_t{6}));
    EXPECT_EQ(run(ops::readline(core, -1)).value(), Outcome(std::string("ab\n")));
    EXPECT_EQ(run(ops::readline(core, 0)).value(), Outcome(std::string()));
    EXPECT_EQ(run(ops::read_until(core, "d", std::nullopt)).value(), Outcome(std::string("cd")));
    EXPECT_EQ(run(ops::read(core, 5)).value(), Outcome(std::string("\n")));
    EXPECT_EQ(run(ops::flush(core)).value(), Outcome(Unit{}));
    EXPECT_EQ(run(ops::send_break(core, 0.0)).value(), Outcome(Unit{}));
}

TEST(Ops, ReadlinesHints) {
    struct Case {
        std::int64_t hint;
        std::size_t lines;
    };
    for (const Case& c : {Case{0, 3}, Case{-5, 3}, Case{1, 1}, Case{5, 2}}) {
        auto core = open_loopback();
        set_timeouts(core, Seconds::from_float(0.01));
        write_all(core, "abc\ndef\nghi\n");
        auto result = run(ops::readlines(core, c.hint));
        EXPECT_EQ(std::get<Outcome::Lines>(result.value().value()).size(), c.lines) << c.hint;
    }
}

TEST(Ops, BreakDurationChecksComeFirst) {
    auto closed = PortCore::make();
    for (double bad : {-0.001, std::nan(""), -double(INFINITY)}) {
        auto result = run(ops::send_break(closed, bad));
        EXPECT_EQ(result.error(), SerialError::invalid_input("duration must be a non-negative number")) << bad;
    }
    EXPECT_EQ(run(ops::send_break(closed, 0.0)).error(), SerialError::port_not_open());
}

TEST(Ops, BreakDurationConversion) {
    struct Case {
        double seconds;
        settings::Duration expected;
    };
    const settings::Duration largest{UINT64_MAX, 999'999'999};
    const Case cases[] = {
        {-0.0, {0, 0}}, {0.25, {0, 250'000'000}}, {1e300, largest}, {INFINITY, largest},
        {18446744073709551616.0, largest}, {1.0000000004, {1, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ops::break_duration(c.seconds), c.expected) << c.seconds;
    }
}

TEST(Ops, FinishedOperationHasReleasedItsPort) {
    auto core = open_loopback();
    write_all(core, "q");
    auto op = ops::read(core, 1);
    auto result = runtime::block_on(op, runtime::Clock::now() + kBound);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(core.use_count(), 1);  // the operation object still exists, its reference is gone
    EXPECT_FALSE(core->read_lock().is_locked());
}

TEST(Ops, InlineThenHandedOffToATask) {
    auto core = open_loopback();
    auto op = ops::read(core, 3);
    EXPECT_FALSE(runtime::block_on(op, runtime::Clock::now() + 5ms).has_value());
    auto task = spawn(std::move(op));  // the same object continues on a worker
    write_all(core, "abc");
    EXPECT_EQ(join(task).value(), Outcome(std::string("abc")));
}

}  // namespace
}  // namespace quorvelin::testing

#include "runtime/select.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace quorvelin::runtime {
namespace {

// A leaf that records when it is polled and destroyed.
struct Probe {
    std::vector<std::string>* log;
    std::string name;
    bool ready = false;
    bool moved_from = false;

    Probe(std::vector<std::string>* log, std::string name, bool ready) : log(log), name(std::move(name)), ready(ready) {}
    Probe(Probe&& other) noexcept : log(other.log), name(other.name), ready(other.ready) { other.moved_from = true; }
    ~Probe() {
        if (!moved_from) log->push_back("~" + name);
    }
    Poll<std::string> poll(Context&) {
        log->push_back(name);
        if (ready) return name;
        return pending;
    }
};

TEST(Select, BothStartOrdersOccurOverManyPolls) {
    std::vector<std::string> log;
    auto race = select(Probe(&log, "a", false), Probe(&log, "b", false));
    Waker noop_waker;
    Context cx(noop_waker);
    int a_first = 0, b_first = 0;
    for (int i = 0; i < 200; ++i) {
        log.clear();
        ASSERT_TRUE(race.poll(cx).is_pending());
        ASSERT_EQ(log.size(), 2u);
        (log[0] == "a" ? a_first : b_first)++;
    }
    EXPECT_GT(a_first, 20);
    EXPECT_GT(b_first, 20);
    log.clear();
}

TEST(Select, WinnerAndLoserHandling) {
    struct Case {
        const char* name;
        bool a_ready, b_ready;
        std::size_t expected_index;  // 2: either
    };
    const Case cases[] = {
        {"first ready", true, false, 0},
        {"second ready", false, true, 1},
        {"both ready: either wins", true, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> log;
        {
            auto race = select(Probe(&log, "a", c.a_ready), Probe(&log, "b", c.b_ready));
            Waker noop_waker;
            Context cx(noop_waker);
            auto result = race.poll(cx);
            ASSERT_TRUE(result.is_ready());
            std::size_t index = result.value().index();
            if (c.expected_index != 2) {
                EXPECT_EQ(index, c.expected_index);
            }
            std::string loser = index == 0 ? "~b" : "~a";
            // The loser is dropped as soon as the race is decided, before the select itself.
            EXPECT_EQ(log.back(), loser);
            log.clear();
        }
        EXPECT_EQ(log.size(), 1u) << "the winner is dropped with the select";
    }
}

TEST(Select, DroppingAPendingSelectDropsBoth) {
    std::vector<std::string> log;
    {
        auto race = select(Probe(&log, "a", false), Probe(&log, "b", false));
        Waker noop_waker;
        Context cx(noop_waker);
        ASSERT_TRUE(race.poll(cx).is_pending());
        log.clear();
    }
    EXPECT_EQ(log.size(), 2u);
}

}  // namespace
}  // namespace quorvelin::runtime

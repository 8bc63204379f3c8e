// Many operations polled inline, handed to the runtime and woken from another thread: none
// may be lost, and every frame must be destroyed.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::Gate;
using testing::LiveCount;

Operation<int> gated(Gate gate, std::atomic<int>* live, int value) {
    LiveCount alive(*live);
    co_await gate.wait();
    co_return value;
}

// Opens the gates it is given, on its own thread, racing the hand-off to the runtime.
class Opener {
public:
    Opener() : thread_([this] { run(); }) {}
    ~Opener() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void push(Gate gate) {
        {
            std::lock_guard lock(mutex_);
            gates_.push_back(std::move(gate));
        }
        cv_.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return stop_ || !gates_.empty(); });
            if (gates_.empty()) return;
            Gate gate = std::move(gates_.front());
            gates_.pop_front();
            lock.unlock();
            gate.open();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Gate> gates_;
    bool stop_ = false;
    std::thread thread_;
};

TEST(Stress, InlineThenHandedOffOperationsAllComplete) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int count = testing::stress_rounds(100000, 1);
    std::atomic<int> live{0};
    std::vector<JoinHandle<int>> joins;
    joins.reserve(count);
    {
        Opener opener;
        for (int i = 0; i < count; ++i) {
            Gate gate;
            Operation<int> op = gated(gate, &live, i);
            Waker noop_waker;
            Context inline_cx(noop_waker);
            ASSERT_TRUE(op.poll(inline_cx).is_pending());
            opener.push(gate);  // may open before, during or after the task's first poll
            joins.push_back(rt->spawn(std::move(op)));
        }
    }
    auto deadline = std::chrono::steady_clock::now() + 120s;
    std::int64_t sum = 0;  // the sum of 100,000 indices overflows 32 bits
    for (int i = 0; i < count; ++i) {
        auto result = joins[i].wait_until(deadline);
        ASSERT_TRUE(result.has_value()) << "operation " << i << " was never woken";
        ASSERT_TRUE(result->ok());
        sum += result->value();
    }
    EXPECT_EQ(sum, static_cast<std::int64_t>(count) * (count - 1) / 2);
    EXPECT_TRUE(testing::eventually([&] { return live.load() == 0; })) << live.load() << " frames leaked";
}

}  // namespace
}  // namespace quorvelin::runtime

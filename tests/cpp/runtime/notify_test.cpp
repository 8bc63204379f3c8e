#include "runtime/notify.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using testing::CountingWaker;

enum class Act { Create, Enable, PollPending, PollReady, NotifyOne, NotifyAll, Drop, WokenOnce, NotWoken };
struct Step {
    Act act;
    int waiter = 0;
};
struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

TEST(Notify, Semantics) {
    const Scenario scenarios[] = {
        {"notify_one with nobody waiting is stored once",
         {{Act::NotifyOne}, {Act::NotifyOne}, {Act::PollReady, 0}, {Act::PollPending, 1}}},
        {"notify_all with nobody registered stores nothing", {{Act::NotifyAll}, {Act::PollPending, 0}}},
        {"notify_all wakes a waiter enabled before its first poll",
         {{Act::Enable, 0}, {Act::NotifyAll}, {Act::PollReady, 0}, {Act::PollPending, 1}}},
        {"notify_all ignores a waiter that is not registered yet",
         {{Act::Create, 0}, {Act::PollPending, 1}, {Act::NotifyAll}, {Act::PollReady, 1}, {Act::PollPending, 0}}},
        {"notify_all wakes every registered waiter",
         {{Act::PollPending, 0}, {Act::PollPending, 1}, {Act::NotifyAll}, {Act::WokenOnce, 0}, {Act::WokenOnce, 1},
          {Act::PollReady, 0}, {Act::PollReady, 1}}},
        {"notify_one wakes the oldest waiter only",
         {{Act::PollPending, 0}, {Act::PollPending, 1}, {Act::NotifyOne}, {Act::WokenOnce, 0}, {Act::NotWoken, 1},
          {Act::PollPending, 1}, {Act::PollReady, 0}}},
        {"a dropped notified waiter passes the wake-up to the next",
         {{Act::PollPending, 0}, {Act::PollPending, 1}, {Act::NotifyOne}, {Act::Drop, 0}, {Act::WokenOnce, 1},
          {Act::PollReady, 1}}},
        {"a dropped notified waiter with nobody behind stores the wake-up",
         {{Act::PollPending, 0}, {Act::NotifyOne}, {Act::Drop, 0}, {Act::PollReady, 1}, {Act::PollPending, 2}}},
        {"a dropped enabled waiter that was notified passes it on",
         {{Act::Enable, 0}, {Act::NotifyOne}, {Act::Drop, 0}, {Act::PollReady, 1}}},
        {"a dropped waiter that got nothing creates no wake-up",
         {{Act::PollPending, 0}, {Act::Drop, 0}, {Act::NotifyAll}, {Act::PollPending, 1}}},
        {"a waiter woken by notify_all passes nothing on when dropped",
         {{Act::PollPending, 0}, {Act::NotifyAll}, {Act::Drop, 0}, {Act::PollPending, 1}}},
        {"a consumed wake-up is not passed on",
         {{Act::PollPending, 0}, {Act::NotifyOne}, {Act::PollReady, 0}, {Act::Drop, 0}, {Act::PollPending, 1}}},
        {"a stored wake-up is taken by an enabled waiter's first poll",
         {{Act::NotifyOne}, {Act::Enable, 0}, {Act::PollReady, 0}, {Act::PollPending, 1}}},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Notify notify;
        std::array<std::optional<Notified>, 3> waiters;
        std::array<CountingWaker, 3> wakers;
        auto waiter = [&](int i) -> Notified& {
            if (!waiters[i]) waiters[i].emplace(notify.notified());
            return *waiters[i];
        };
        for (std::size_t n = 0; n < s.steps.size(); ++n) {
            const Step& step = s.steps[n];
            SCOPED_TRACE("step " + std::to_string(n));
            Context cx(wakers[step.waiter].waker);
            switch (step.act) {
                case Act::Create: (void)waiter(step.waiter); break;
                case Act::Enable: waiter(step.waiter).enable(); break;
                case Act::PollPending: EXPECT_TRUE(waiter(step.waiter).poll(cx).is_pending()); break;
                case Act::PollReady: EXPECT_TRUE(waiter(step.waiter).poll(cx).is_ready()); break;
                case Act::NotifyOne: notify.notify_one(); break;
                case Act::NotifyAll: notify.notify_waiters(); break;
                case Act::Drop: waiters[step.waiter].reset(); break;
                case Act::WokenOnce: EXPECT_EQ(wakers[step.waiter].count(), 1); break;
                case Act::NotWoken: EXPECT_EQ(wakers[step.waiter].count(), 0); break;
            }
        }
    }
}

TEST(Notify, MovedRegisteredWaiterStaysRegistered) {
    Notify notify;
    Notified first = notify.notified();
    first.enable();
    Notified moved = std::move(first);
    notify.notify_waiters();
    Waker noop_waker;
    Context cx(noop_waker);
    EXPECT_TRUE(moved.poll(cx).is_ready());
}

}  // namespace
}  // namespace quorvelin::runtime

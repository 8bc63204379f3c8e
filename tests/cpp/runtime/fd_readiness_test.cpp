#include "runtime/fd_readiness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/direct_wait.h"
#include "runtime/runtime.h"
#include "test_support.h"

namespace quorvelin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::CountingWaker;

class FdReadinessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_), 0);
        auto owned = runtime();
        ASSERT_TRUE(owned.ok());
        io_ = &owned.value()->runtime->io();
    }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    std::unique_ptr<FdReadiness> make() {
        auto registered = FdReadiness::register_fd(*io_, fds_[0]);
        EXPECT_TRUE(registered.ok());
        return registered ? std::move(registered.value()) : nullptr;
    }

    // Where nothing is known, a poll hands out a tick at once and the attempt is the level
    // check: here the attempt finds the socket empty, and only then does a poll wait.
    void find_empty_then_wait(FdReadiness& readiness, Context& cx) {
        auto probe = readiness.poll_read_ready(cx);
        ASSERT_TRUE(probe.is_ready()) << "nothing known: the attempt comes first";
        char byte;
        ASSERT_EQ(::read(fds_[0], &byte, 1), -1);
        ASSERT_EQ(errno, EAGAIN);
        readiness.clear_read_ready(probe.value());
        ASSERT_TRUE(readiness.poll_read_ready(cx).is_pending());
    }

    // The same for writing, with the socket filled until a write would block.
    void fill_then_wait_to_write(FdReadiness& readiness, Context& cx) {
        auto probe = readiness.poll_write_ready(cx);
        ASSERT_TRUE(probe.is_ready()) << "nothing known: the attempt comes first";
        std::string block(4096, 'w');
        while (::write(fds_[0], block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
        readiness.clear_write_ready(probe.value());
        ASSERT_TRUE(readiness.poll_write_ready(cx).is_pending());
    }

    void drain_peer() {
        char sink[65536];
        while (::read(fds_[1], sink, sizeof sink) > 0) {
        }
    }

    int fds_[2] = {-1, -1};
    asio::io_context* io_ = nullptr;
};

std::size_t open_descriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

TEST_F(FdReadinessTest, ReadReadinessWakesTheNewestWakerAndClearsAfterEagain) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker stale, newest;
    Context stale_cx(stale.waker), cx(newest.waker);
    find_empty_then_wait(*readiness, stale_cx);
    ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return newest.count() == 1; }));
    EXPECT_EQ(stale.count(), 0);

    auto tick = readiness->poll_read_ready(cx);
    ASSERT_TRUE(tick.is_ready());
    char byte;
    EXPECT_EQ(::read(fds_[0], &byte, 1), 1);
    EXPECT_EQ(::read(fds_[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    readiness->clear_read_ready(tick.value());
    EXPECT_TRUE(readiness->poll_read_ready(cx).is_pending());
}

// Where nothing is known yet (a new registration, a spent tick) a task's poll hands out a tick
// at once, so an attempt finds data that is there without a level check first; an attempt
// that finds nothing makes the next poll wait for the reactor, and that wait sees what comes.
TEST_F(FdReadinessTest, AnUnknownReadinessIsTriedAtOnceAndAClearedOneWaits) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        auto tick = readiness->poll_read_ready(cx);
        ASSERT_TRUE(tick.is_ready());
        char buffer[16];
        ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), -1);
        readiness->clear_read_ready(tick.value());
        ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
        ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending()) << "an armed wait is not tried again";
        ASSERT_EQ(::write(fds_[1], "xy", 2), 2);
        ASSERT_TRUE(testing::eventually([&] { return waker.count() == round + 1; }));
        tick = readiness->poll_read_ready(cx);
        ASSERT_TRUE(tick.is_ready());
        ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 2);
        readiness->spend_read_ready(tick.value());
        // Spent: unknown again, so the next poll is an attempt, not a wait.
        ASSERT_EQ(::write(fds_[1], "z", 1), 1);
        tick = readiness->poll_read_ready(cx);
        ASSERT_TRUE(tick.is_ready());
        ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 1);
        readiness->spend_read_ready(tick.value());
    }
    EXPECT_EQ(waker.count(), 3) << "no wake-up beyond the waits";
}

// A look checks the level each time, and one that finds nothing makes a task's poll that
// follows wait for the reactor at once (it would find nothing either); a later look still
// sees data that came meanwhile.
TEST_F(FdReadinessTest, ALookThatFindsNothingSendsTheNextTaskPollToTheReactor) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker task;
    Context task_cx(task.waker);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        DirectWait look(DirectWait::Mode::Look);
        Context look_cx(task.waker, &look);
        ASSERT_TRUE(readiness->poll_read_ready(look_cx).is_pending());
        ASSERT_TRUE(readiness->poll_read_ready(look_cx).is_pending());
        ASSERT_EQ(look.size(), 0u);
        ASSERT_TRUE(readiness->poll_read_ready(task_cx).is_pending());
        ASSERT_TRUE(readiness->is_registered());
        ASSERT_EQ(::write(fds_[1], "x", 1), 1);
        ASSERT_TRUE(testing::eventually([&] { return task.count() == round + 1; }));
        char byte;
        ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
        // Emptied behind the readiness's back, then filled again: a look sees it.
        ASSERT_EQ(::write(fds_[1], "y", 1), 1);
        DirectWait second_look(DirectWait::Mode::Look);
        Context second_cx(task.waker, &second_look);
        auto seen = readiness->poll_read_ready(second_cx);
        ASSERT_TRUE(seen.is_ready());
        ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
        readiness->spend_read_ready(seen.value());
        ASSERT_TRUE(readiness->poll_read_ready(second_cx).is_pending());
    }
}

TEST_F(FdReadinessTest, DataBeforeTheFirstPollIsSeen) {
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    // Either at once or through the waker: never lost.
    if (readiness->poll_read_ready(cx).is_pending()) {
        ASSERT_TRUE(testing::eventually([&] { return waker.count() > 0; }));
        EXPECT_TRUE(readiness->poll_read_ready(cx).is_ready());
    }
}

TEST_F(FdReadinessTest, DataBetweenEagainAndTheNextPollIsSeen) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(::write(fds_[1], "x", 1), 1);
        std::uint64_t tick = 0;
        ASSERT_TRUE(testing::eventually([&] {
            auto polled = readiness->poll_read_ready(cx);
            if (polled.is_ready()) tick = polled.value();
            return polled.is_ready();
        }));
        char byte;
        ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
        ASSERT_EQ(::read(fds_[0], &byte, 1), -1);
        readiness->clear_read_ready(tick);
    }
}

TEST_F(FdReadinessTest, StaleClearKeepsNewerReadiness) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    find_empty_then_wait(*readiness, cx);
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return waker.count() == 1; }));
    auto tick = readiness->poll_read_ready(cx);
    ASSERT_TRUE(tick.is_ready());
    readiness->clear_read_ready(tick.value() - 1);
    EXPECT_TRUE(readiness->poll_read_ready(cx).is_ready());
}

TEST_F(FdReadinessTest, WriteReadinessOfAnEmptySocket) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker waker;
    Context cx(waker.waker);
    bool ready = readiness->poll_write_ready(cx).is_ready() ||
                 testing::eventually([&] { return readiness->poll_write_ready(cx).is_ready(); });
    EXPECT_TRUE(ready);
}

// The descriptor stays open; the room watch that write waits are registered on goes with the
// readiness, whether it deregistered or forgot.
TEST_F(FdReadinessTest, DestroyAndForgetLeaveTheDescriptorOpen) {
    for (bool forget : {false, true}) {
        SCOPED_TRACE(forget ? "forget" : "destroy");
        const std::size_t before = open_descriptors();
        auto readiness = make();
        ASSERT_TRUE(readiness);
        CountingWaker reader, writer;
        Context read_cx(reader.waker), write_cx(writer.waker);
        find_empty_then_wait(*readiness, read_cx);
        fill_then_wait_to_write(*readiness, write_cx);
        if (forget) readiness->forget();
        readiness.reset();
        EXPECT_NE(::fcntl(fds_[0], F_GETFD), -1) << "the descriptor must not be closed";
        EXPECT_EQ(open_descriptors(), before) << "the room watch was left open";
        drain_peer();
    }
}

// Every (descriptor, events) entry of one epoll set, from /proc.
std::vector<std::pair<int, unsigned>> epoll_set_entries(int set) {
    std::vector<std::pair<int, unsigned>> entries;
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(set));
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string key, events_key;
        int watched = -1;
        std::string events;
        if (fields >> key >> watched >> events_key >> events && key == "tfd:") {
            entries.emplace_back(watched, static_cast<unsigned>(std::stoul(events, nullptr, 16)));
        }
    }
    return entries;
}

// The same for every epoll set of this process but `skipped` (a readiness's room watch).
std::vector<std::pair<int, unsigned>> epoll_entries(int skipped = -1) {
    std::vector<std::pair<int, unsigned>> entries;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target.string() != "anon_inode:[eventpoll]") continue;
        const int set = std::stoi(entry.path().filename().string());
        if (set == skipped) continue;
        for (auto found : epoll_set_entries(set)) entries.push_back(found);
    }
    return entries;
}

// The events an epoll set of this process (but `skipped`) watches `fd` for, from /proc;
// nothing when no set holds it.
std::optional<unsigned> epoll_events_of(int fd, int skipped = -1) {
    for (auto [watched, events] : epoll_entries(skipped)) {
        if (watched == fd) return events;
    }
    return std::nullopt;
}

// Write waits have a registration of their own, on a room watch: the read registration never
// asks for writability, so a read wait that stays queued while the port is written (and the
// far end drains it) wakes no worker at every edge of writability; and the write registration
// never sees input, so data arriving while a write waits for room wakes no worker either. The
// write registration lasts while write waits need it and goes once writes are served by
// themselves.
TEST_F(FdReadinessTest, WriteWaitsUseARegistrationOfTheirOwn) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker reader, writer;
    Context read_cx(reader.waker), write_cx(writer.waker);
    find_empty_then_wait(*readiness, read_cx);
    EXPECT_FALSE(readiness->is_registered_for_writing());

    fill_then_wait_to_write(*readiness, write_cx);
    EXPECT_TRUE(readiness->is_registered_for_writing());
    const int room_watch = readiness->room_watch();
    auto events = epoll_events_of(fds_[0], room_watch);
    ASSERT_TRUE(events.has_value());
    EXPECT_EQ(*events & EPOLLOUT, 0u) << "write interest in the read registration";
    // Whatever watches for room (the descriptor itself or a stand-in for it) sees no input.
    for (auto [fd, watched] : epoll_entries()) {
        if ((watched & EPOLLOUT) != 0) {
            EXPECT_EQ(watched & EPOLLIN, 0u) << "descriptor " << fd << " is watched for room and for input";
        }
    }
    auto watched_for_room = epoll_set_entries(room_watch);
    ASSERT_EQ(watched_for_room.size(), 1u);
    EXPECT_EQ(watched_for_room[0].first, fds_[0]);
    EXPECT_EQ(watched_for_room[0].second & (EPOLLIN | EPOLLPRI | EPOLLOUT), unsigned{EPOLLOUT});
    EXPECT_TRUE(epoll_events_of(room_watch).has_value()) << "no registration waits for room";
    // Input while the write waits: the write wait stays queued and unwoken.
    ASSERT_EQ(::write(fds_[1], "i", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return reader.count() == 1; }));
    EXPECT_EQ(writer.count(), 0);
    char byte;
    auto readable = readiness->poll_read_ready(read_cx);
    ASSERT_TRUE(readable.is_ready());
    ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
    find_empty_then_wait(*readiness, read_cx);
    drain_peer();
    ASSERT_TRUE(testing::eventually([&] { return writer.count() == 1; }));

    // The waits of one write keep it; once a write has written all it had, it goes.
    auto writable = readiness->poll_write_ready(write_cx);
    ASSERT_TRUE(writable.is_ready());
    EXPECT_TRUE(readiness->is_registered_for_writing());
    std::string block(4096, 'w');
    while (::write(fds_[0], block.data(), block.size()) > 0) {
    }
    readiness->clear_write_ready(writable.value());
    ASSERT_TRUE(readiness->poll_write_ready(write_cx).is_pending());
    EXPECT_TRUE(readiness->is_registered_for_writing());
    drain_peer();
    ASSERT_TRUE(testing::eventually([&] { return writer.count() == 2; })) << "the second write wait was lost";
    writable = readiness->poll_write_ready(write_cx);
    ASSERT_TRUE(writable.is_ready());
    ASSERT_EQ(::write(fds_[0], "w", 1), 1);
    readiness->wrote_all();
    EXPECT_FALSE(readiness->is_registered_for_writing());

    EXPECT_TRUE(readiness->is_registered()) << "the queued read wait lost its registration";
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return reader.count() == 2; })) << "the read wait was lost";
    EXPECT_EQ(writer.count(), 2);
}

// A short write leaves the queue full, so the next poll waits for the reactor instead of
// fetching an EAGAIN; room that came between that write and the poll still wakes it.
TEST_F(FdReadinessTest, AShortWriteWaitsForTheReactorAndLosesNoRoomThatCameBefore) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker writer;
    Context cx(writer.waker);
    auto writable = readiness->poll_write_ready(cx);
    ASSERT_TRUE(writable.is_ready());
    std::string block(std::size_t{4} << 20, 'w');
    ssize_t written = ::write(fds_[0], block.data(), block.size());
    ASSERT_GT(written, 0);
    ASSERT_LT(static_cast<std::size_t>(written), block.size()) << "the socket took all of it";
    readiness->spend_write_ready(writable.value());
    drain_peer();  // room, before anybody waits for it

    EXPECT_TRUE(readiness->poll_write_ready(cx).is_pending()) << "a full queue was tried again";
    ASSERT_TRUE(testing::eventually([&] { return writer.count() == 1; })) << "the room was lost";
    EXPECT_TRUE(readiness->poll_write_ready(cx).is_ready());
}

// One-shot waits: an operation that finds the descriptor ready by itself (no reactor wait
// reported it) while no wait is queued drops the registration, so edges nobody waits for wake
// no worker; the next wait registers again and loses no wake-up.
TEST_F(FdReadinessTest, ReadinessFoundWithoutTheReactorDropsTheRegistrationUntilTheNextWait) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    ASSERT_EQ(::write(fds_[1], "ab", 2), 2);
    CountingWaker task;
    Context cx(task.waker);
    auto ready = readiness->poll_read_ready(cx);
    ASSERT_TRUE(ready.is_ready());
    char buffer[16];
    ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 2);
    readiness->spend_read_ready(ready.value());
    EXPECT_FALSE(readiness->is_registered());
    EXPECT_FALSE(epoll_events_of(fds_[0], readiness->room_watch()).has_value());

    // The next wait registers again; the poll that takes up its wake-up keeps it. An attempt
    // that moves all it asked for reports nothing back: the poll that follows it counts it as
    // served all the same.
    CountingWaker second;
    Context second_cx(second.waker);
    find_empty_then_wait(*readiness, second_cx);
    EXPECT_TRUE(readiness->is_registered());
    ASSERT_EQ(::write(fds_[1], "e", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return second.count() == 1; }));
    ready = readiness->poll_read_ready(second_cx);
    ASSERT_TRUE(ready.is_ready());
    ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 1);
    readiness->spend_read_ready(ready.value());
    EXPECT_TRUE(readiness->is_registered()) << "the wake-up's own poll drops it";
    ASSERT_EQ(::write(fds_[1], "f", 1), 1);
    ready = readiness->poll_read_ready(second_cx);
    ASSERT_TRUE(ready.is_ready());
    ASSERT_EQ(::read(fds_[0], buffer, 1), 1);  // all it asked for
    EXPECT_TRUE(readiness->is_registered());
    ready = readiness->poll_read_ready(second_cx);
    ASSERT_TRUE(ready.is_ready());
    EXPECT_FALSE(readiness->is_registered());
    ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), -1);
    readiness->clear_read_ready(ready.value());

    ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
    EXPECT_TRUE(readiness->is_registered());
    ASSERT_EQ(::write(fds_[1], "c", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return task.count() == 1; }));
}

// The wake-up of a wait is what the registration was kept for: the poll that takes it up
// leaves it in place, so waits that follow each other (round trips) re-arm without
// registering anew.
TEST_F(FdReadinessTest, TheWakeUpOfAWaitKeepsTheRegistration) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker task;
    Context cx(task.waker);
    char buffer[16];
    for (int round = 1; round <= 3; ++round) {
        find_empty_then_wait(*readiness, cx);
        EXPECT_TRUE(readiness->is_registered()) << "round " << round;
        ASSERT_EQ(::write(fds_[1], "x", 1), 1);
        ASSERT_TRUE(testing::eventually([&] { return task.count() == round; }));
        auto ready = readiness->poll_read_ready(cx);
        ASSERT_TRUE(ready.is_ready());
        EXPECT_TRUE(readiness->is_registered()) << "round " << round;
        ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 1);
        readiness->spend_read_ready(ready.value());
    }
}

// Each direction's registration answers to that direction alone: a wait queued in one keeps
// its registration whatever the other direction's attempts find by themselves.
// Round trips whose read takes exactly what it asked for report nothing back, so the next
// round's poll still finds the descriptor ready; its attempt then finds nothing, and the
// registration stays for the wait that follows instead of being dropped and made again.
TEST_F(FdReadinessTest, ARoundTripsReadThatTakesAllItAskedForKeepsTheRegistration) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker task;
    Context cx(task.waker);
    char byte;
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        auto probe = readiness->poll_read_ready(cx);
        ASSERT_TRUE(probe.is_ready());
        EXPECT_TRUE(readiness->is_registered()) << "dropped before the attempt reported";
        ASSERT_EQ(::read(fds_[0], &byte, 1), -1);
        ASSERT_EQ(errno, EAGAIN);
        readiness->clear_read_ready(probe.value());
        ASSERT_TRUE(readiness->poll_read_ready(cx).is_pending());
        EXPECT_TRUE(readiness->is_registered());
        ASSERT_EQ(::write(fds_[1], "x", 1), 1);
        ASSERT_TRUE(testing::eventually([&] { return task.count() == round; }));
        auto ready = readiness->poll_read_ready(cx);
        ASSERT_TRUE(ready.is_ready());
        ASSERT_EQ(::read(fds_[0], &byte, 1), 1);  // all it asked for: no report
    }
    // A stream that keeps its attempts busy still drops it: the next full move counts.
    ASSERT_EQ(::write(fds_[1], "yz", 2), 2);
    auto ready = readiness->poll_read_ready(cx);
    ASSERT_TRUE(ready.is_ready());
    ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
    ready = readiness->poll_read_ready(cx);
    ASSERT_TRUE(ready.is_ready());
    EXPECT_FALSE(readiness->is_registered()) << "data moved without the reactor kept it";
    ASSERT_EQ(::read(fds_[0], &byte, 1), 1);
}

TEST_F(FdReadinessTest, AQueuedWaitKeepsItsRegistrationWhateverTheOtherDirectionFinds) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker reader, writer;
    Context read_cx(reader.waker), write_cx(writer.waker);

    // A read wait, and writes served by themselves.
    find_empty_then_wait(*readiness, read_cx);
    for (int i = 0; i < 3; ++i) {
        auto writable = readiness->poll_write_ready(write_cx);
        ASSERT_TRUE(writable.is_ready());
        ASSERT_EQ(::write(fds_[0], "w", 1), 1);
    }
    EXPECT_TRUE(readiness->is_registered());
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    ASSERT_TRUE(testing::eventually([&] { return reader.count() == 1; })) << "the read wait was lost";
    drain_peer();

    // A write wait, and reads served by themselves.
    fill_then_wait_to_write(*readiness, write_cx);
    for (int i = 0; i < 3; ++i) {
        auto readable = readiness->poll_read_ready(read_cx);
        ASSERT_TRUE(readable.is_ready());
        char buffer[16];
        ASSERT_EQ(::read(fds_[0], buffer, sizeof buffer), 1);
        readiness->spend_read_ready(readable.value());
        ASSERT_EQ(::write(fds_[1], "y", 1), 1);
    }
    EXPECT_FALSE(readiness->is_registered());
    EXPECT_TRUE(readiness->is_registered_for_writing());
    drain_peer();
    EXPECT_TRUE(testing::eventually([&] { return writer.count() == 1; })) << "the write wait was lost";
}

// The epoll set is shared with a forked child. What a child does with its copy of a readiness
// (a closing port forgets it there; a poll then reports ready without touching the reactor)
// leaves the parent's registration and its queued wait alone.
TEST_F(FdReadinessTest, AForkedChildLeavesTheParentsRegistrationAndWaitAlone) {
    auto readiness = make();
    ASSERT_TRUE(readiness);
    CountingWaker task, writer;
    Context cx(task.waker), write_cx(writer.waker);
    find_empty_then_wait(*readiness, cx);
    fill_then_wait_to_write(*readiness, write_cx);
    pid_t child = ::fork();
    if (child == 0) {
        readiness->forget();
        CountingWaker mine;
        Context child_cx(mine.waker);
        bool ready = readiness->poll_read_ready(child_cx).is_ready();
        readiness.reset();
        std::_Exit(ready ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(readiness->is_registered());
    EXPECT_TRUE(readiness->is_registered_for_writing());
    EXPECT_TRUE(epoll_events_of(fds_[0], readiness->room_watch()).has_value())
        << "the child took the descriptor out of the shared set";
    EXPECT_TRUE(epoll_events_of(readiness->room_watch()).has_value())
        << "the child took the room watch out of the shared set";
    ASSERT_EQ(::write(fds_[1], "x", 1), 1);
    EXPECT_TRUE(testing::eventually([&] { return task.count() == 1; })) << "the parent's wait was lost";
    drain_peer();
    EXPECT_TRUE(testing::eventually([&] { return writer.count() == 1; })) << "the parent's write wait was lost";
}

// Readers that find bursts by themselves and wait between them, so their registrations are
// dropped and made again all the time, against writers racing them: every byte is read and
// no reader is left waiting.
TEST_F(FdReadinessTest, RegistrationsDroppedAndRemadeUnderRacingWritersLoseNoWakeUp) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int readers = 8;
    const int total = testing::stress_rounds(20000, 5, 200);
    struct Pair {
        int fds[2] = {-1, -1};
        std::unique_ptr<FdReadiness> readiness;
    };
    std::vector<Pair> pairs(readers);
    for (auto& pair : pairs) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair.fds), 0);
        auto registered = FdReadiness::register_fd(rt->io(), pair.fds[0]);
        ASSERT_TRUE(registered.ok());
        pair.readiness = std::move(registered.value());
    }
    auto reader = [](FdReadiness* readiness, int want) -> Operation<int> {
        int got = 0;
        while (got < want) {
            auto ready = poll_fn([readiness](Context& cx) { return readiness->poll_read_ready(cx); });
            std::uint64_t tick = co_await ready;
            char buffer[32];
            ssize_t n = ::read(readiness->fd(), buffer, sizeof buffer);
            if (n > 0) {
                got += static_cast<int>(n);
                if (n < static_cast<ssize_t>(sizeof buffer)) readiness->spend_read_ready(tick);
            } else if (n < 0 && errno == EAGAIN) {
                readiness->clear_read_ready(tick);
            } else {
                co_return -1;
            }
        }
        co_return got;
    };
    std::vector<JoinHandle<int>> joins;
    for (auto& pair : pairs) joins.push_back(rt->spawn(reader(pair.readiness.get(), total)));
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            unsigned seed = 7u + static_cast<unsigned>(w);
            std::string burst(100, 'b');
            for (int i = w; i < readers; i += 2) {
                int left = total;
                while (left > 0) {
                    seed = seed * 1103515245u + 12345u;
                    int size = std::min(left, 1 + static_cast<int>((seed >> 16) % 100));
                    ssize_t n = ::write(pairs[i].fds[1], burst.data(), static_cast<std::size_t>(size));
                    if (n > 0) left -= static_cast<int>(n);
                    if ((seed >> 8) % 4 == 0) std::this_thread::yield();
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();
    for (int i = 0; i < readers; ++i) {
        auto result = joins[i].wait_for(60s);
        ASSERT_TRUE(result.has_value()) << "reader " << i << " was never woken";
        ASSERT_TRUE(result->ok());
        EXPECT_EQ(result->value(), total) << "reader " << i;
    }
    for (auto& pair : pairs) {
        pair.readiness.reset();
        ::close(pair.fds[0]);
        ::close(pair.fds[1]);
    }
}

// Writers that fill their sockets and wait for room through the reactor while reads of the
// same descriptors wait too, and bytes come back now and then: both registrations of each
// descriptor are made and dropped all the time, and no wake-up of either direction is lost.
TEST_F(FdReadinessTest, WritesAndReadsWaitingOnOneDescriptorLoseNoWakeUp) {
    auto owned = runtime();
    ASSERT_TRUE(owned.ok());
    Runtime* rt = owned.value()->runtime;
    const int ports = 4;
    const int total = testing::stress_rounds(1 << 21, 50, 1 << 16);  // bytes written to each
    const int answers = 200;                                         // bytes sent back to each
    struct Pair {
        int fds[2] = {-1, -1};
        std::unique_ptr<FdReadiness> readiness;
    };
    std::vector<Pair> pairs(ports);
    for (auto& pair : pairs) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair.fds), 0);
        auto registered = FdReadiness::register_fd(rt->io(), pair.fds[0]);
        ASSERT_TRUE(registered.ok());
        pair.readiness = std::move(registered.value());
    }
    auto writer = [](FdReadiness* readiness, int want) -> Operation<int> {
        std::string block(8192, 'w');
        int put = 0;
        while (put < want) {
            auto ready = poll_fn([readiness](Context& cx) { return readiness->poll_write_ready(cx); });
            std::uint64_t tick = co_await ready;
            const std::size_t ask = std::min<std::size_t>(block.size(), static_cast<std::size_t>(want - put));
            ssize_t n = ::write(readiness->fd(), block.data(), ask);
            if (n > 0) {
                put += static_cast<int>(n);
                if (static_cast<std::size_t>(n) < ask) {
                    readiness->spend_write_ready(tick);
                } else {
                    readiness->wrote_all();  // as a write operation that ends here would
                }
            } else if (n < 0 && errno == EAGAIN) {
                readiness->clear_write_ready(tick);
            } else {
                co_return -1;
            }
        }
        co_return put;
    };
    auto reader = [](FdReadiness* readiness, int want) -> Operation<int> {
        int got = 0;
        while (got < want) {
            auto ready = poll_fn([readiness](Context& cx) { return readiness->poll_read_ready(cx); });
            std::uint64_t tick = co_await ready;
            char buffer[32];
            ssize_t n = ::read(readiness->fd(), buffer, sizeof buffer);
            if (n > 0) {
                got += static_cast<int>(n);
                if (n < static_cast<ssize_t>(sizeof buffer)) readiness->spend_read_ready(tick);
            } else if (n < 0 && errno == EAGAIN) {
                readiness->clear_read_ready(tick);
            } else {
                co_return -1;
            }
        }
        co_return got;
    };
    std::vector<JoinHandle<int>> writes, reads;
    for (auto& pair : pairs) {
        writes.push_back(rt->spawn(writer(pair.readiness.get(), total)));
        reads.push_back(rt->spawn(reader(pair.readiness.get(), answers)));
    }
    // The far ends: each drains its socket in bursts and answers one byte now and then.
    std::vector<std::thread> far_ends;
    for (int i = 0; i < ports; ++i) {
        far_ends.emplace_back([&, i] {
            int fd = pairs[i].fds[1];
            unsigned seed = 11u + static_cast<unsigned>(i);
            int drained = 0;
            int answered = 0;
            const int every = std::max(1, total / answers);
            std::vector<char> sink(65536);
            while (drained < total || answered < answers) {
                if (answered < answers && (drained >= total || drained >= every * answered)) {
                    if (::write(fd, "a", 1) == 1) ++answered;
                }
                if (drained >= total) continue;
                pollfd wait{fd, POLLIN, 0};
                if (::poll(&wait, 1, 1000) <= 0) continue;
                seed = seed * 1103515245u + 12345u;
                std::size_t ask = 1 + (seed >> 16) % sink.size();
                ssize_t n = ::read(fd, sink.data(), ask);
                if (n > 0) drained += static_cast<int>(n);
                if ((seed >> 8) % 4 == 0) std::this_thread::yield();
            }
        });
    }
    for (auto& far_end : far_ends) far_end.join();
    for (int i = 0; i < ports; ++i) {
        auto written = writes[i].wait_for(60s);
        ASSERT_TRUE(written.has_value()) << "writer " << i << " was never woken";
        ASSERT_TRUE(written->ok());
        EXPECT_EQ(written->value(), total) << "writer " << i;
        auto read = reads[i].wait_for(60s);
        ASSERT_TRUE(read.has_value()) << "reader " << i << " was never woken";
        ASSERT_TRUE(read->ok());
        EXPECT_EQ(read->value(), answers) << "reader " << i;
    }
    for (auto& pair : pairs) {
        pair.readiness.reset();
        ::close(pair.fds[0]);
        ::close(pair.fds[1]);
    }
}

}  // namespace
}  // namespace quorvelin::runtime

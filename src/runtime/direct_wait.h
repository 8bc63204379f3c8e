#pragma once
// DirectWait: what a thread that polls an operation itself can wait for on its own, without
// the runtime: the readiness of a few descriptors and the earliest deadline of the poll's
// timers. Each poll starts from a cleared record; the leaves that know it (FdReadiness,
// Sleep) add to it instead of queueing a reactor wait or arming a timer, and the thread then
// waits for all of it together with its waker (ThreadWaiter). Waiting on the thread itself
// spares the reactor's registration changes, a worker's wake-up and the hand-over back to the
// parked thread on every wait.

#include <poll.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>

#include "runtime/clock.h"

namespace quorvelin::runtime {

// Told by the waiting thread that a watched descriptor showed what it was watched for.
class ReadinessSink {
public:
    virtual ~ReadinessSink() = default;
    virtual void saw_ready(int tag) = 0;
};

class DirectWait {
public:
    // One port waits on one descriptor; a little room to spare.
    static constexpr std::size_t capacity = 4;

    struct Watch {
        pollfd fd{};
        // Kept alive here: the descriptor's owner may go away (a close) while the thread waits.
        std::shared_ptr<ReadinessSink> sink;
        int tag = 0;
    };

    // Wait: the thread waits for what the poll records. Look: a single poll that never
    // waits (an attempt made once); leaves then report only what they can tell at once,
    // with a level check where they know nothing, and arrange no wake-up of their own.
    enum class Mode { Wait, Look };

    explicit DirectWait(Mode mode = Mode::Wait) : mode_(mode) {}
    DirectWait(const DirectWait&) = delete;
    DirectWait& operator=(const DirectWait&) = delete;

    // Records a wait for `events` on `fd`. False when the record is full: the leaf then waits
    // through the reactor.
    bool watch(int fd, short events, std::shared_ptr<ReadinessSink> sink, int tag) {
        if (count_ == capacity) {
            return false;
        }
        watches_[count_++] = Watch{pollfd{fd, events, 0}, std::move(sink), tag};
        return true;
    }

    // Records a deadline; the earliest one counts.
    void until(Instant deadline) {
        if (!deadline_ || deadline < *deadline_) {
            deadline_ = deadline;
        }
    }

    void clear() {
        for (std::size_t i = 0; i < count_; ++i) {
            watches_[i].sink.reset();
        }
        count_ = 0;
        deadline_.reset();
    }

    bool waits() const { return mode_ == Mode::Wait; }
    std::size_t size() const { return count_; }
    Watch& operator[](std::size_t i) { return watches_[i]; }
    const std::optional<Instant>& deadline() const { return deadline_; }

private:
    Mode mode_;
    std::array<Watch, capacity> watches_;
    std::size_t count_ = 0;
    std::optional<Instant> deadline_;
};

}  // namespace quorvelin::runtime

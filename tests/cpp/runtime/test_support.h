#pragma once
// Small leaves and probes shared by the runtime tests.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "errors/result.h"
#include "runtime/poll.h"

namespace quorvelin::runtime::testing {

using namespace std::chrono_literals;

// How many rounds a stress test runs: `full` normally; under the sanitizers, which set
// QUORVELIN_STRESS_COUNT for their slower runs, that count divided by `divisor`, kept between
// `floor` and `full`.
inline int stress_rounds(int full, int divisor, int floor = 1) {
    const char* text = std::getenv("QUORVELIN_STRESS_COUNT");
    if (text == nullptr) {
        return full;
    }
    return std::max(floor, std::min(full, std::atoi(text) / divisor));
}

// Counts its wake-ups.
class CountingTarget final : public WakeTarget {
public:
    void wake() override { count_.fetch_add(1); }
    int count() const { return count_.load(); }

private:
    std::atomic<int> count_{0};
};

struct CountingWaker {
    std::shared_ptr<CountingTarget> target = std::make_shared<CountingTarget>();
    Waker waker{target};
    int count() const { return target->count(); }
};

// A leaf that is pending until opened from any thread; it keeps only the newest waker.
class Gate {
public:
    void open() {
        Waker waker;
        {
            std::lock_guard lock(state_->mutex);
            state_->open = true;
            waker = std::move(state_->waker);
        }
        waker.wake();
    }

    auto wait() const {
        return poll_fn([state = state_](Context& cx) -> Poll<Unit> {
            std::lock_guard lock(state->mutex);
            if (state->open) return Unit{};
            state->waker = cx.waker();
            return pending;
        });
    }

private:
    struct State {
        std::mutex mutex;
        bool open = false;
        Waker waker;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Pending once (after waking itself), then ready: lets other tasks run in between.
inline auto yield_now() {
    return poll_fn([yielded = false](Context& cx) mutable -> Poll<Unit> {
        if (yielded) return Unit{};
        yielded = true;
        cx.waker().wake();
        return pending;
    });
}

// Counts live instances, to prove that frames are destroyed.
class LiveCount {
public:
    explicit LiveCount(std::atomic<int>& live) : live_(live) { live_.fetch_add(1); }
    ~LiveCount() { live_.fetch_sub(1); }
    LiveCount(const LiveCount&) = delete;

private:
    std::atomic<int>& live_;
};

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline std::string thread_name_of(const std::string& task_dir) {
    std::ifstream in(task_dir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

inline std::string current_thread_name() { return thread_name_of("/proc/thread-self"); }

inline int count_threads_named(const std::string& name) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        if (thread_name_of(entry.path().string()) == name) ++count;
    }
    return count;
}

}  // namespace quorvelin::runtime::testing

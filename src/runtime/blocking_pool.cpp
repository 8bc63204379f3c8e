#include "runtime/blocking_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "runtime/runtime_thread.h"

namespace quorvelin::runtime {

struct BlockingPool::State {
    explicit State(Limits limits) : limits(limits) {}

    const Limits limits;
    std::mutex mutex;
    std::condition_variable work_available;
    std::condition_variable thread_exited;
    std::deque<std::function<void()>> jobs;
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool shutting_down = false;

    static void run_thread(const std::shared_ptr<State>& state);
};

void BlockingPool::State::run_thread(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (!state->jobs.empty()) {
            auto job = std::move(state->jobs.front());
            state->jobs.pop_front();
            lock.unlock();
            try {
                job();
            } catch (...) {
                // A job reports its own result; one that throws anyway (a stand-in worker's
                // handler) must not take the thread, and with it the process, down.
            }
            job = nullptr;  // its captures are released outside the lock
            lock.lock();
            continue;
        }
        if (state->shutting_down) {
            break;
        }
        ++state->idle;
        bool woken = state->work_available.wait_for(lock, state->limits.keep_alive, [&] {
            return !state->jobs.empty() || state->shutting_down;
        });
        --state->idle;
        if (!woken) {
            break;  // idle for the whole keep-alive time
        }
    }
    --state->threads;
    state->thread_exited.notify_all();
}

BlockingPool::BlockingPool(Limits limits) : state_(std::make_shared<State>(limits)) {}

BlockingPool::~BlockingPool() {
    std::unique_lock lock(state_->mutex);
    state_->shutting_down = true;
    state_->work_available.notify_all();
    state_->thread_exited.wait(lock, [&] { return state_->threads == 0; });
}

Status BlockingPool::submit(std::function<void()> job) {
    std::unique_lock lock(state_->mutex);
    state_->jobs.push_back(std::move(job));
    if (state_->idle > state_->jobs.size() - 1) {
        state_->work_available.notify_one();
        return ok_status();
    }
    if (state_->threads >= state_->limits.max_threads) {
        return ok_status();  // a busy thread takes it when it is done
    }
    ++state_->threads;
    Status started = start_runtime_thread([state = state_] { State::run_thread(state); });
    if (!started) {
        --state_->threads;
        if (state_->threads == 0) {
            state_->jobs.pop_back();
            return started;
        }
    }
    return ok_status();
}

std::size_t BlockingPool::thread_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

std::size_t BlockingPool::idle_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->idle;
}

}  // namespace quorvelin::runtime

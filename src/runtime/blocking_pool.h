#pragma once
// BlockingPool: threads for blocking work, made on demand up to a limit; a thread that stays
// idle for the keep-alive time exits. Threads are runtime threads ("quorvelin", signals
// blocked). The pool's state is shared with its threads, so a pool object may be destroyed
// (tests do) while the process-wide one is simply never destroyed.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "errors/result.h"

namespace quorvelin::runtime {

class BlockingPool {
public:
    struct Limits {
        std::size_t max_threads = 512;
        std::chrono::milliseconds keep_alive = std::chrono::seconds(10);
    };

    explicit BlockingPool(Limits limits);
    // Lets queued jobs finish, then waits until every thread has exited.
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Queues a job, starting a thread when none is idle and the limit allows. Fails only
    // when no thread exists to run it and none could be started.
    Status submit(std::function<void()> job);

    std::size_t thread_count() const;
    std::size_t idle_count() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace quorvelin::runtime

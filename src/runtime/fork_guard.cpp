#include "runtime/fork_guard.h"

#include <pthread.h>

#include "runtime/fork_generation.h"

namespace quorvelin::runtime {

std::atomic<std::uint32_t> detail::fork_generation{0};

namespace {

struct Registry {
    // Taken first before fork() and released last after it, so no lock joins or leaves
    // while the guard holds them.
    std::mutex mutex;
    IntrusiveList<ForkLock::Node> levels[fork_lock_levels];
};

// Never destroyed: a thread may still register or fork while static destructors run at exit.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

void release_all() {
    Registry& r = registry();
    for (int level = fork_lock_levels - 1; level >= 0; --level) {
        r.levels[level].for_each([](ForkLock::Node& node) { node.mutex->unlock(); });
    }
    r.mutex.unlock();
}

[[maybe_unused]] const bool installed = [] {
    registry();  // made now, before any thread can fork
    return ::pthread_atfork(fork_guard::before_fork, fork_guard::after_fork_in_parent,
                            fork_guard::after_fork_in_child) == 0;
}();

}  // namespace

ForkLock::ForkLock(std::mutex& mutex, ForkLockLevel level) : level_(level) {
    node_.mutex = &mutex;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.levels[static_cast<int>(level_)].push_back(&node_);
}

ForkLock::~ForkLock() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.levels[static_cast<int>(level_)].remove(&node_);
}

namespace fork_guard {

void before_fork() {
    Registry& r = registry();
    r.mutex.lock();
    for (auto& level : r.levels) {
        level.for_each([](ForkLock::Node& node) { node.mutex->lock(); });
    }
}

void after_fork_in_parent() { release_all(); }

void after_fork_in_child() {
    detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
    release_all();
}

}  // namespace fork_guard

}  // namespace quorvelin::runtime

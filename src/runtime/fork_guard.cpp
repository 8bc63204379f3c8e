#include "runtime/fork_guard.h"

#include <pthread.h>

#include "runtime/fork_generation.h"

namespace quorvelin::runtime {

std::atomic<std::uint32_t> detail::fork_generation{0};

namespace {

// One list per level, each with its own lock. The guard takes a level's list lock right before
// that level's locks, so no lock of the level joins or leaves while the guard holds them, and
// a lock may still be registered or dropped by a thread that holds locks of earlier levels
// (a terminal's readiness record is made while its port's state mutex is held).
struct Registry {
    struct Level {
        std::mutex mutex;
        IntrusiveList<ForkLock::Node> locks;
    };
    Level levels[fork_lock_levels];
};

// Never destroyed: a thread may still register or fork while static destructors run at exit.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

Registry::Level& level_of(ForkLockLevel level) { return registry().levels[static_cast<int>(level)]; }

void release_all(bool in_child) {
    Registry& r = registry();
    for (int level = fork_lock_levels - 1; level >= 0; --level) {
        r.levels[level].locks.for_each([in_child](ForkLock::Node& node) {
            (in_child ? node.release_in_child : node.unlock)(node.lockable);
        });
        r.levels[level].mutex.unlock();
    }
}

[[maybe_unused]] const bool installed = [] {
    registry();  // made now, before any thread can fork
    return ::pthread_atfork(fork_guard::before_fork, fork_guard::after_fork_in_parent,
                            fork_guard::after_fork_in_child) == 0;
}();

}  // namespace

void ForkLock::enroll() {
    Registry::Level& r = level_of(level_);
    std::lock_guard lock(r.mutex);
    r.locks.push_back(&node_);
}

ForkLock::~ForkLock() {
    Registry::Level& r = level_of(level_);
    std::lock_guard lock(r.mutex);
    r.locks.remove(&node_);
}

namespace fork_guard {

void before_fork() {
    for (auto& level : registry().levels) {
        level.mutex.lock();
        level.locks.for_each([](ForkLock::Node& node) { node.lock(node.lockable); });
    }
}

void after_fork_in_parent() { release_all(false); }

void after_fork_in_child() {
    detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
    release_all(true);
}

}  // namespace fork_guard

}  // namespace quorvelin::runtime

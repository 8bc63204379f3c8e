#pragma once
// Keeps a child created by fork() from inheriting a lock that another thread held.
//
// fork() copies only the calling thread. A mutex that some other thread of the parent held at
// that moment stays locked in the child for ever, yet the child still closes ports, reads and
// changes their settings, reads modem lines and queue counts, resets buffers and opens
// "loop://" ports. Every mutex on those paths is registered here while it exists (ForkLock).
// Before fork() the guard takes all of them; after it, the parent and the child each release
// them, so the child gets every one of them free and the data behind it consistent.
//
// The guard takes them level by level: every lock of the first level in all owners, then
// every lock of the next level, and so on. The levels follow how these locks nest in normal
// running: no thread takes a lock of an earlier level while it holds one of a later level,
// and none holds two locks of one level at once. They are held only for short sections, never
// around a wait, so the guard never waits for ever on a running thread. A lock may be
// registered or dropped while locks of earlier levels are held, not of its own or later ones.

#include <cstdint>
#include <mutex>

#include "runtime/intrusive_list.h"

namespace quorvelin::runtime {

enum class ForkLockLevel : std::uint8_t {
    PortState,     // a port's state mutex: every backend call runs under it
    PortSettings,  // a port's settings mutex: taken inside the state mutex
    Leaf,          // notifiers and readiness records: no registered lock is taken inside them
};
inline constexpr int fork_lock_levels = 3;

// Registers a lock with the guard for as long as this object lives. Declare it right after
// the lock, so it is registered once the lock exists and leaves before the lock goes. Any type
// with lock() and unlock() will do; one whose unlock() a forked child cannot use on a lock its
// parent took (an rwlock remembers the writer's thread id, which the child no longer has)
// offers reset_in_forked_child() for the child to use instead.
class ForkLock {
public:
    template <class Lockable>
    ForkLock(Lockable& lockable, ForkLockLevel level) : level_(level) {
        node_.lockable = &lockable;
        node_.lock = [](void* l) { static_cast<Lockable*>(l)->lock(); };
        node_.unlock = [](void* l) { static_cast<Lockable*>(l)->unlock(); };
        if constexpr (requires { lockable.reset_in_forked_child(); }) {
            node_.release_in_child = [](void* l) { static_cast<Lockable*>(l)->reset_in_forked_child(); };
        } else {
            node_.release_in_child = node_.unlock;
        }
        enroll();
    }
    ~ForkLock();
    ForkLock(const ForkLock&) = delete;
    ForkLock& operator=(const ForkLock&) = delete;

    struct Node : ListHook {
        void* lockable = nullptr;
        void (*lock)(void*) = nullptr;
        void (*unlock)(void*) = nullptr;
        void (*release_in_child)(void*) = nullptr;
    };

private:
    void enroll();

    Node node_;
    ForkLockLevel level_;
};

// What the guard runs around fork(); installed with pthread_atfork when the library loads.
// Exposed so tests can check the locking without forking.
namespace fork_guard {
void before_fork();
void after_fork_in_parent();
void after_fork_in_child();
}  // namespace fork_guard

}  // namespace quorvelin::runtime

#pragma once
// StateMutex: the mutex over a port's open backend. Everything that opens, closes,
// configures or queries the backend takes it exclusively; the read and write attempts take
// it shared, so that a read and a write of one port reach the device at the same time, as
// they do on a plain descriptor (each direction is serialised by its own asynchronous lock,
// and both kinds of backend guard their own state). A waiting exclusive locker goes before
// new shared ones, so a stream of attempts never holds a close off.

#include <pthread.h>

namespace quorvelin::port {

class StateMutex {
public:
    StateMutex();
    ~StateMutex();
    StateMutex(const StateMutex&) = delete;
    StateMutex& operator=(const StateMutex&) = delete;

    void lock() { pthread_rwlock_wrlock(&lock_); }
    bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
    void unlock() { pthread_rwlock_unlock(&lock_); }

    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

    // For the fork guard: the child's only thread cannot unlock the write lock that the
    // parent's forking thread took (the lock knows the writer by a thread id the child does
    // not have), so the child starts over with a fresh, free lock.
    void reset_in_forked_child();

private:
    void init();

    pthread_rwlock_t lock_;
};

}  // namespace quorvelin::port

#include "port/state_mutex.h"

namespace quorvelin::port {

StateMutex::StateMutex() { init(); }

void StateMutex::reset_in_forked_child() { init(); }

void StateMutex::init() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}

StateMutex::~StateMutex() { pthread_rwlock_destroy(&lock_); }

}  // namespace quorvelin::port

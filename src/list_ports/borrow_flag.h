#pragma once
// A fail-fast reader/writer flag: many shared borrows or one exclusive borrow, and a borrow
// that conflicts is refused at once instead of waited for.

#include <atomic>

namespace quorvelin::list_ports {

class BorrowFlag {
public:
    bool try_share() {
        int state = state_.load(std::memory_order_relaxed);
        do {
            if (state < 0) {
                return false;
            }
        } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void unshare() { state_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() {
        int expected = 0;
        return state_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

private:
    static constexpr int exclusive = -1;
    std::atomic<int> state_{0};  // >0: shared borrows held, -1: exclusive
};

// Scoped borrows; check held() before touching the guarded data.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_share()) {}
    ~SharedBorrow() {
        if (held_) {
            flag_.unshare();
        }
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    bool held() const { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_exclusive()) {}
    ~ExclusiveBorrow() {
        if (held_) {
            flag_.release_exclusive();
        }
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    bool held() const { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

}  // namespace quorvelin::list_ports

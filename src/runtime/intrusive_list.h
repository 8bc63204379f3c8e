#pragma once
// A minimal doubly linked FIFO of nodes owned elsewhere; the waiter queues use it so that a
// dropped waiter can unlink itself in constant time. Not synchronised: callers lock.

namespace quorvelin::runtime {

struct ListHook {
    ListHook* prev = nullptr;
    ListHook* next = nullptr;
    bool linked = false;
};

template <class Node>  // Node derives from ListHook
class IntrusiveList {
public:
    bool empty() const { return head_ == nullptr; }

    void push_back(Node* node) {
        ListHook* hook = node;
        hook->prev = tail_;
        hook->next = nullptr;
        hook->linked = true;
        (tail_ ? tail_->next : head_) = hook;
        tail_ = hook;
    }

    Node* pop_front() {
        if (!head_) {
            return nullptr;
        }
        Node* node = static_cast<Node*>(head_);
        remove(node);
        return node;
    }

    // Visits every node in order; `f` must not link or unlink nodes.
    template <class F>
    void for_each(F&& f) {
        for (ListHook* hook = head_; hook != nullptr; hook = hook->next) {
            f(*static_cast<Node*>(hook));
        }
    }

    void remove(Node* node) {
        ListHook* hook = node;
        if (!hook->linked) {
            return;
        }
        (hook->prev ? hook->prev->next : head_) = hook->next;
        (hook->next ? hook->next->prev : tail_) = hook->prev;
        hook->prev = hook->next = nullptr;
        hook->linked = false;
    }

private:
    ListHook* head_ = nullptr;
    ListHook* tail_ = nullptr;
};

}  // namespace quorvelin::runtime

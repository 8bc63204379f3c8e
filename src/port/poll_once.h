#pragma once
// poll_once: one attempt that never waits; nothing when the attempt was not ready. The
// attempt is polled as a look (a DirectWait in Look mode): a descriptor whose readiness is
// unknown gets a level check, and nothing is armed for a wait that never comes.

#include <optional>

#include "runtime/direct_wait.h"
#include "runtime/poll.h"

namespace quorvelin::port {

template <runtime::Pollable P>
class PollOnce {
public:
    explicit PollOnce(P& attempt) : attempt_(attempt) {}

    runtime::Poll<std::optional<runtime::poll_output_t<P>>> poll(runtime::Context& cx) {
        runtime::DirectWait look(runtime::DirectWait::Mode::Look);
        runtime::Context once(cx.waker(), &look);
        auto result = attempt_.poll(once);
        if (result.is_ready()) {
            return std::optional<runtime::poll_output_t<P>>(result.take());
        }
        return std::optional<runtime::poll_output_t<P>>();
    }

private:
    P& attempt_;
};

template <runtime::Pollable P>
PollOnce<P> poll_once(P& attempt) {
    return PollOnce<P>(attempt);
}

}  // namespace quorvelin::port

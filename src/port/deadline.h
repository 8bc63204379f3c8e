#pragma once
// Deadlines of the read and write loops: an optional instant of the runtime's clock.

#include <optional>

#include "runtime/sleep.h"
#include "settings/seconds.h"

namespace quorvelin::port {

using Deadline = std::optional<runtime::Instant>;

// now + duration; none for no duration or when the sum cannot be represented.
Deadline deadline_after(const std::optional<settings::Duration>& duration, runtime::Instant now);

inline Deadline deadline_after(const std::optional<Seconds>& timeout, runtime::Instant now) {
    return deadline_after(settings::duration(timeout), now);
}

// The earlier of two deadlines; an absent one is later than every present one.
inline Deadline earlier(Deadline a, Deadline b) {
    if (!a) return b;
    if (!b) return a;
    return *a < *b ? a : b;
}

// A duration as clock ticks, saturated far below the clock's limit.
runtime::Clock::duration saturated(const settings::Duration& duration);

}  // namespace quorvelin::port

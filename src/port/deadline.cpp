#include "port/deadline.h"

namespace quorvelin::port {

Deadline deadline_after(const std::optional<settings::Duration>& duration, runtime::Instant now) {
    if (!duration) {
        return std::nullopt;
    }
    using std::chrono::nanoseconds;
    const auto limit = runtime::Instant::max().time_since_epoch() - now.time_since_epoch();
    const auto limit_ns = std::chrono::duration_cast<nanoseconds>(limit).count();
    // Compare in whole seconds first so the multiplication below cannot overflow.
    if (duration->seconds >= static_cast<std::uint64_t>(limit_ns / 1'000'000'000)) {
        return std::nullopt;
    }
    nanoseconds span(static_cast<nanoseconds::rep>(duration->seconds) * 1'000'000'000 + duration->nanoseconds);
    if (span.count() > limit_ns) {
        return std::nullopt;
    }
    return now + std::chrono::duration_cast<runtime::Clock::duration>(span);
}

runtime::Clock::duration saturated(const settings::Duration& duration) {
    using std::chrono::nanoseconds;
    // A century is "forever" for a serial line and leaves room to add to any clock reading.
    constexpr std::uint64_t cap_seconds = 100ull * 365 * 24 * 3600;
    if (duration.seconds >= cap_seconds) {
        return std::chrono::duration_cast<runtime::Clock::duration>(std::chrono::seconds(cap_seconds));
    }
    return std::chrono::duration_cast<runtime::Clock::duration>(
        nanoseconds(static_cast<nanoseconds::rep>(duration.seconds) * 1'000'000'000 + duration.nanoseconds));
}

}  // namespace quorvelin::port

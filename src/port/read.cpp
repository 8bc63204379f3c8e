// The read operations of a port: chunked reads with deadlines, terminator reads, line lists.
// Awaited pollables are named locals, never temporaries of the co_await expression: GCC 12
// mishandles move-only temporaries there (a captured descriptor was closed twice).

#include <algorithm>
#include <memory>

#include "port/deadline.h"
#include "port/disconnect.h"
#include "port/poll_once.h"
#include "port/port_core.h"
#include "port/until_closed.h"
#include "runtime/direct_wait.h"
#include "runtime/select.h"

namespace quorvelin {

using port::Deadline;
using runtime::Clock;
using runtime::Context;
using runtime::Operation;

namespace {

constexpr std::size_t CHUNK_SIZE = 4096;
// A read reserves room for the whole size asked for, up to this, so that a bulk read does
// not copy its bytes again at every doubling; room it never fills costs no memory.
constexpr std::size_t RESERVE_LIMIT = std::size_t{4} << 20;

struct ReadTimeouts {
    std::optional<settings::Duration> timeout;
    std::optional<settings::Duration> inter_byte;
};

ReadTimeouts read_timeouts(PortCore& core) {
    return core.with_settings([](PortSettings& s) {
        return ReadTimeouts{settings::duration(s.timeout), settings::duration(s.inter_byte_timeout)};
    });
}

// The first attempt of a read that holds its lock (see port/start.h); always ready, and
// keeps what it settled in start(). It settles the read when it reads every byte asked for,
// when the port is closed or fails, and when the deadline has already passed with nothing
// there. A stored cancel request is left to the full read, which races it against the attempt.
class ReadAtOnce {
public:
    ReadAtOnce(PortCore& core, std::size_t size) : core_(core), size_(size) {}

    port::ReadStart& start() { return start_; }

    runtime::Poll<Unit> poll(Context& cx) {
        port::ReadStart& start = start_;
        start.started = Clock::now();
        ReadTimeouts timeouts = read_timeouts(core_);
        start.timeout = timeouts.timeout;
        start.inter_byte = timeouts.inter_byte;
        if (size_ == 0) {
            // Nothing to read: only the open check of until_closed remains.
            start.outcome = core_.is_open() ? Result<std::string>(std::string()) : SerialError::port_not_open();
            return Unit{};
        }
        Deadline overall = port::deadline_after(start.timeout, start.started);
        const bool past = overall && *overall <= Clock::now();
        if (!past && core_.cancel_read().has_stored_wakeup()) {
            return Unit{};
        }
        start.bytes.resize(std::min(size_, CHUNK_SIZE));
        runtime::DirectWait look(runtime::DirectWait::Mode::Look);
        Context once(cx.waker(), &look);
        auto attempt = core_.poll_read_some(
            once, std::span(reinterpret_cast<std::uint8_t*>(start.bytes.data()), start.bytes.size()));
        if (attempt.is_pending()) {
            start.bytes.clear();
            if (past) {
                start.outcome = std::string();  // past the deadline a read takes only what is there
            }
            return Unit{};
        }
        Result<std::size_t> count = attempt.take();
        if (!count.ok() || count.value() == 0) {
            start.bytes.clear();
            SerialError error = count.ok() ? port::disconnect_error() : std::move(count).error();
            if (port::is_disconnect(error)) {
                core_.close_for(error);  // as until_closed does with a vanished device
            }
            start.outcome = std::move(error);
            return Unit{};
        }
        start.bytes.resize(count.value());
        if (start.bytes.size() == size_) {
            start.outcome = std::move(start.bytes);
        }
        return Unit{};
    }

private:
    PortCore& core_;
    std::size_t size_;
    port::ReadStart start_;
};

}  // namespace

Operation<std::optional<std::size_t>> PortCore::read_chunk(PortCore& core, std::span<std::uint8_t> buffer,
                                                           Deadline deadline) {
    // Not registered in advance: its first poll takes a request stored while no read waited.
    runtime::Notified cancel = core.cancel_read().notified();
    auto attempt = runtime::poll_fn([&core, buffer](Context& cx) { return core.poll_read_some(cx, buffer); });

    std::optional<Result<std::size_t>> outcome;
    if (!deadline) {
        auto race = runtime::select(runtime::by_ref(cancel), runtime::by_ref(attempt));
        auto raced = co_await race;
        if (raced.index() == 0) {
            co_return std::nullopt;
        }
        outcome.emplace(std::get<1>(std::move(raced)));
    } else if (*deadline <= Clock::now()) {
        // Past the deadline: take what is there, and leave a stored cancel request stored.
        auto one_attempt = port::poll_once(attempt);
        outcome = co_await one_attempt;
        if (!outcome) {
            co_return std::nullopt;
        }
    } else {
        auto race = runtime::select(runtime::by_ref(cancel), runtime::timeout(*deadline, runtime::by_ref(attempt)));
        auto raced = co_await race;
        if (raced.index() == 0) {
            co_return std::nullopt;
        }
        outcome = std::get<1>(std::move(raced));
        if (!outcome) {
            co_return std::nullopt;  // the deadline passed
        }
    }
    if (!outcome->ok()) {
        co_return std::move(*outcome).error();
    }
    if (outcome->value() == 0) {
        co_return port::disconnect_error();
    }
    co_return std::optional<std::size_t>(outcome->value());
}

Operation<std::string> PortCore::read_locked(PortCore& core, std::size_t size, port::ReadStart start) {
    Deadline overall = port::deadline_after(start.timeout, start.started);
    std::vector<std::uint8_t> chunk(std::clamp<std::size_t>(size, 1, CHUNK_SIZE));
    std::string result = std::move(start.bytes);
    if (size > CHUNK_SIZE) {
        result.reserve(std::min(size, RESERVE_LIMIT));
    }
    while (result.size() < size) {
        std::size_t want = std::min(chunk.size(), size - result.size());
        Deadline deadline =
            result.empty() ? overall : port::earlier(overall, port::deadline_after(start.inter_byte, Clock::now()));
        auto chunk_read = read_chunk(core, std::span(chunk.data(), want), deadline);
        auto count = co_await chunk_read;
        if (!count.ok()) {
            co_return std::move(count).error();
        }
        if (!count.value()) {
            break;
        }
        result.append(reinterpret_cast<const char*>(chunk.data()), *count.value());
    }
    co_return result;
}

Operation<std::string> PortCore::read_until_locked(PortCore& core, std::optional<std::size_t> size,
                                                   std::string_view terminator, bool per_byte_timeout) {
    ReadTimeouts timeouts = read_timeouts(core);
    Deadline overall = port::deadline_after(timeouts.timeout, Clock::now());
    std::string result;
    std::uint8_t byte = 0;
    while (!size || result.size() < *size) {
        Deadline deadline;
        if (per_byte_timeout) {
            deadline = port::deadline_after(timeouts.timeout, Clock::now());
        } else if (result.empty()) {
            deadline = overall;
        } else {
            deadline = port::earlier(overall, port::deadline_after(timeouts.inter_byte, Clock::now()));
        }
        // One byte per attempt, so nothing after the terminator is taken from the device.
        auto byte_read = read_chunk(core, std::span(&byte, 1), deadline);
        auto count = co_await byte_read;
        if (!count.ok()) {
            co_return std::move(count).error();
        }
        if (!count.value()) {
            co_return result;
        }
        result.push_back(static_cast<char>(byte));
        if (!terminator.empty() && result.size() >= terminator.size() &&
            std::string_view(result).substr(result.size() - terminator.size()) == terminator) {
            co_return result;
        }
    }
    co_return result;
}

Operation<std::vector<std::string>> PortCore::readlines_locked(PortCore& core, std::optional<std::size_t> hint) {
    std::vector<std::string> lines;
    std::size_t total = 0;
    for (;;) {
        auto line_read = read_until_locked(core, std::nullopt, "\n", true);
        auto line = co_await line_read;
        if (!line.ok()) {
            co_return std::move(line).error();
        }
        if (line.value().empty()) {
            break;
        }
        total += line.value().size();
        lines.push_back(std::move(line).value());
        if (hint && total >= *hint) {
            break;
        }
    }
    co_return lines;
}

Operation<std::string> PortCore::read(std::shared_ptr<PortCore> core, std::size_t size) {
    auto locking = core->read_lock().lock();
    auto lock = co_await locking;
    auto at_once = ReadAtOnce(*core, size);
    co_await at_once;
    if (at_once.start().outcome) {
        co_return std::move(*at_once.start().outcome);
    }
    auto guarded = port::until_closed(*core, read_locked(*core, size, std::move(at_once.start())));
    auto result = co_await guarded;
    co_return result;
}

port::Begun<std::string> PortCore::begin_read(const std::shared_ptr<PortCore>& core, std::size_t size,
                                               Context& cx) {
    // Only a free lock: a request that would queue is left to the whole read.
    std::optional<runtime::AsyncMutexGuard> lock = core->read_lock().try_lock();
    if (!lock) {
        return {};
    }
    auto at_once = ReadAtOnce(*core, size);
    (void)at_once.poll(cx);
    if (at_once.start().outcome) {
        return {std::move(at_once.start().outcome), {}};  // the lock is released here
    }
    return {std::nullopt, read_rest(core, std::move(*lock), size, std::move(at_once.start()))};
}

Operation<std::string> PortCore::read_rest(std::shared_ptr<PortCore> core, runtime::AsyncMutexGuard given_lock,
                                           std::size_t size, port::ReadStart start) {
    // A local, not the parameter, so the lock goes when the read ends, as in read().
    runtime::AsyncMutexGuard lock = std::move(given_lock);
    auto guarded = port::until_closed(*core, read_locked(*core, size, std::move(start)));
    auto result = co_await guarded;
    co_return result;
}

Operation<std::string> PortCore::read_until(std::shared_ptr<PortCore> core, std::string terminator,
                                            std::optional<std::size_t> size) {
    auto locking = core->read_lock().lock();
    auto lock = co_await locking;
    auto guarded = port::until_closed(*core, read_until_locked(*core, size, terminator, false));
    auto result = co_await guarded;
    co_return result;
}

Operation<std::string> PortCore::readline(std::shared_ptr<PortCore> core, std::optional<std::size_t> size) {
    auto locking = core->read_lock().lock();
    auto lock = co_await locking;
    auto guarded = port::until_closed(*core, read_until_locked(*core, size, "\n", true));
    auto result = co_await guarded;
    co_return result;
}

Operation<std::vector<std::string>> PortCore::readlines(std::shared_ptr<PortCore> core,
                                                        std::optional<std::size_t> hint) {
    auto locking = core->read_lock().lock();
    auto lock = co_await locking;
    auto guarded = port::until_closed(*core, readlines_locked(*core, hint));
    auto result = co_await guarded;
    co_return result;
}

Operation<std::string> PortCore::read_available_locked(PortCore& core, std::size_t limit) {
    // Left uninitialised: only the bytes a read stores are ever looked at, and zeroing the
    // transport's 64 KiB limit on every chunk of a few bytes cost more than the read.
    const std::size_t size = std::max<std::size_t>(limit, 1);
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    auto chunk_read = read_chunk(core, std::span(buffer.get(), size), std::nullopt);
    auto count = co_await chunk_read;
    if (!count.ok()) {
        co_return std::move(count).error();
    }
    if (!count.value()) {
        co_return std::string();  // a cancel request
    }
    co_return std::string(reinterpret_cast<const char*>(buffer.get()), *count.value());
}

Operation<std::string> PortCore::read_available(std::shared_ptr<PortCore> core, std::size_t limit) {
    auto locking = core->read_lock().lock();
    auto lock = co_await locking;
    auto guarded = port::until_closed(*core, read_available_locked(*core, limit));
    auto result = co_await guarded;
    co_return result;
}

}  // namespace quorvelin

#pragma once
// The three port operations of the asyncio transport: its read, its write and its final
// drain. Engine code, free of the Python C API, so they can be tested without an interpreter.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "port/outcome.h"
#include "port/port_core.h"
#include "runtime/operation.h"
#include "transport/read_buffer.h"
#include "transport/read_period.h"

namespace quorvelin::transport {

// The most one read hands to the protocol.
inline constexpr std::size_t READ_LIMIT = 65536;
// How long one read may wait for data before it gives way to the next; an idle port costs
// one new read per period.
inline constexpr std::chrono::seconds READ_PERIOD{1};

// One chunk of at most READ_LIMIT bytes, or empty bytes when READ_PERIOD passes first
// (counted from the first poll). No timeout setting of the port applies.
// `period` bounds the wait and `buffer` (of READ_LIMIT bytes) takes the bytes; successive reads
// of one transport share both (see ReadPeriod, ReadBuffer).
runtime::Operation<Outcome> read_op(std::shared_ptr<PortCore> port, std::shared_ptr<ReadPeriod> period,
                                    std::shared_ptr<ReadBuffer> buffer);
// The same with a period and a buffer of its own, the period on the process-wide runtime.
runtime::Operation<Outcome> read_op(std::shared_ptr<PortCore> port);

// Writes all of `data`, whatever the port's write timeout, and yields the count. A backend
// that ends the write short is an error here: the transport must never report bytes as sent
// that were not.
runtime::Operation<Outcome> write_op(std::shared_ptr<PortCore> port, std::string data);

// Waits until the port has sent its output.
runtime::Operation<Outcome> drain_op(std::shared_ptr<PortCore> port);

}  // namespace quorvelin::transport

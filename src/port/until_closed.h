#pragma once
// until_closed: the guard every port operation runs its body under. It fails with
// PortNotOpen when the port is closed at the start or while the body runs, and closes the
// port before it returns an error that shows the device has gone (recording that error as
// the cause of the close).

#include "port/disconnect.h"
#include "port/port_core.h"
#include "runtime/select.h"

namespace quorvelin::port {

template <class T>
runtime::Operation<T> until_closed(PortCore& core, runtime::Operation<T> body) {
    // Registered before the open check, so a close from this moment on is seen.
    runtime::Notified closed = core.closed().notified();
    closed.enable();
    if (!core.is_open()) {
        co_return SerialError::port_not_open();  // the body never starts
    }
    auto race = runtime::select(std::move(body), std::move(closed));
    auto raced = co_await race;
    Result<T> result = raced.index() == 0 ? std::get<0>(std::move(raced)) : Result<T>(SerialError::port_not_open());
    if (!result.ok() && is_disconnect(result.error())) {
        core.close_for(result.error());
    }
    co_return result;
}

}  // namespace quorvelin::port

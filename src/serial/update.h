#pragma once
// Settings changes of an open or closed port, free of the Python C API. Run them with the
// interpreter released: they take PortCore's state mutex, which open ports hold across calls
// into the device.

#include <utility>

#include "port/port_core.h"

namespace quorvelin::serial {

// The settings an open port must be reconfigured for.
inline bool line_settings_differ(const PortSettings& a, const PortSettings& b) {
    return a.baudrate != b.baudrate || a.bytesize != b.bytesize || a.parity != b.parity ||
           a.stopbits != b.stopbits || a.xonxoff != b.xonxoff || a.rtscts != b.rtscts || a.dsrdtr != b.dsrdtr;
}

// Copies the fields that Backend::configure receives (everything but the name and the
// remembered line levels).
inline void copy_configuration(PortSettings& to, const PortSettings& from) {
    to.timeout = from.timeout;
    to.write_timeout = from.write_timeout;
    to.inter_byte_timeout = from.inter_byte_timeout;
    to.baudrate = from.baudrate;
    to.xonxoff = from.xonxoff;
    to.rtscts = from.rtscts;
    to.dsrdtr = from.dsrdtr;
    to.stopbits = from.stopbits;
    to.exclusive = from.exclusive;
    to.parity = from.parity;
    to.bytesize = from.bytesize;
}

// Applies `change(PortSettings&)` to the stored settings; an open port is reconfigured once
// when a line setting changed. When that fails, the stored configuration goes back to what it
// was and is put back on the device as far as it goes, so record and device agree again.
template <class Change>
Status update_settings(PortCore& core, Change&& change) {
    return core.with_state([&](Backend* backend) -> Status {
        PortSettings before;
        PortSettings after;
        core.with_settings([&](PortSettings& s) {
            before = s;
            change(s);
            after = s;
        });
        if (backend == nullptr || !line_settings_differ(before, after)) {
            return ok_status();
        }
        Status configured = backend->configure(after, after.rts, after.dtr);
        if (!configured) {
            core.with_settings([&](PortSettings& s) { copy_configuration(s, before); });
            backend->reapply(before, after.rts, after.dtr);
        }
        return configured;
    });
}

}  // namespace quorvelin::serial

#pragma once
// The asyncio transport as the connection functions see it.

#include <Python.h>

namespace quorvelin::transport {

// Makes the transport core for `serial` (a SerialBase, else TypeError) and its SerialTransport
// wrapper; sets the serial object's timeout and write_timeout to 0; schedules on the loop the
// protocol's connection_made(transport) and then the first read. Neither runs here. Returns
// the wrapper (new reference) or nullptr with an exception set. On the loop's thread.
PyObject* create(PyObject* loop, PyObject* protocol, PyObject* serial);

// The class SerialTransport (borrowed), built on the first call; nullptr with the build's
// exception set, and the next call builds again.
PyObject* serial_transport_class();

}  // namespace quorvelin::transport

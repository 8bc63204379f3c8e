#pragma once
// The Python class ListPortInfo of quorvelin.tools.list_ports. Call attached.

#include <Python.h>

#include "list_ports/port_info.h"
#include "pyapi/ref.h"

namespace quorvelin::list_ports {

// The process-wide class, created on first use. Borrowed; nullptr with an exception set when
// the interpreter refuses to create it.
PyTypeObject* list_port_info_type();

// A new ListPortInfo holding `info`.
py::Ref new_list_port_info(PortInfo info);

}  // namespace quorvelin::list_ports

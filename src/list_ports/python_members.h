#pragma once

#include <Python.h>

namespace quorvelin::list_ports {

// Adds `ListPortInfo` and then `comports` to the module quorvelin.tools.list_ports.
bool add_members(PyObject* list_ports_module);

}  // namespace quorvelin::list_ports

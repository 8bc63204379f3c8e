#pragma once
// comports(): the serial ports of the system as ListPortInfo objects. Call attached.

#include <Python.h>

#include <filesystem>

#include "pyapi/ref.h"

namespace quorvelin::list_ports {

// The function table entry added to quorvelin.tools.list_ports.
extern PyMethodDef comports_def;

// The list comports() returns, with every sysfs path taken below `root` instead of "/".
// Empty with the exception set on failure.
py::Ref list_ports_under(const std::filesystem::path& root);

}  // namespace quorvelin::list_ports

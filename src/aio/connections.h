#pragma once
// The functions of quorvelin.aio that connect a serial port to asyncio, and the module's
// __getattr__, which serves SerialTransport.

#include <Python.h>

namespace quorvelin::aio {

extern PyMethodDef create_serial_connection_def;
extern PyMethodDef connection_for_serial_def;
extern PyMethodDef open_serial_connection_def;
extern PyMethodDef module_getattr_def;

}  // namespace quorvelin::aio

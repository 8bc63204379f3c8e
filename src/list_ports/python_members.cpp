#include "list_ports/python_members.h"

namespace quorvelin::list_ports {

bool add_members(PyObject*) { return true; }

}  // namespace quorvelin::list_ports

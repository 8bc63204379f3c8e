#include "list_ports/python_members.h"

#include "list_ports/comports.h"
#include "list_ports/list_port_info.h"
#include "module/add.h"

namespace quorvelin::list_ports {

bool add_members(PyObject* list_ports_module) {
    PyTypeObject* type = list_port_info_type();
    return type != nullptr && module::add_type(list_ports_module, type) &&
           module::add_function(list_ports_module, &comports_def);
}

}  // namespace quorvelin::list_ports

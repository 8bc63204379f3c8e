#include "list_ports/comports.h"

#include "errors/exceptions.h"
#include "list_ports/from_record.h"
#include "list_ports/list_port_info.h"
#include "list_ports/sysfs_walker.h"
#include "list_ports/type_filter.h"
#include "pyapi/args.h"
#include "pyapi/method.h"
#include "pyapi/guarded.h"

namespace quorvelin::list_ports {
namespace {

PyObject* comports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"include_links"};
    static const py::Signature signature{"comports", names, 0};
    PyObject* values[1];
    if (!py::parse_fastcall(signature, args, nargs, kwnames, values)) {
        return nullptr;
    }
    bool include_links = false;  // accepted for compatibility; /dev links are never listed
    if (!py::parse_bool_argument("include_links", values[0], false, &include_links)) {
        return nullptr;
    }
    return list_ports_under("/").release();
}

}  // namespace

PyMethodDef comports_def = {
    "comports",
    py::as_cfunction(py::guarded<comports>),
    METH_FASTCALL | METH_KEYWORDS,
    "comports(include_links=False)\n--\n\n",
};

py::Ref list_ports_under(const std::filesystem::path& root) {
    // The walk reads many sysfs files; other threads run meanwhile.
    Enumeration found = py::without_interpreter([&] { return enumerate_ports(root); });
    if (auto* error = std::get_if<LibraryError>(&found)) {
        exceptions::raise(SerialError::from_library_error(error->kind, std::move(error->description)));
        return {};
    }
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) {
        return {};
    }
    for (const PortRecord& record : std::get<std::vector<PortRecord>>(found)) {
        if (!is_listed(record.port_name, root)) {
            continue;
        }
        py::Ref port = new_list_port_info(from_record(record));
        if (!port || PyList_Append(list.get(), port.get()) < 0) {
            return {};
        }
    }
    return list;
}

}  // namespace quorvelin::list_ports

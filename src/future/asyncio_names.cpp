#include "future/asyncio_names.h"

#include "pyapi/once_cell.h"

namespace quorvelin::future {
namespace {

template <const char* Attribute>
PyObject* cached() {
    static py::OnceCell cell;
    return cell.get([] { return PyImport_ImportModuleAttrString("asyncio", Attribute); });
}

constexpr char get_running_loop[] = "get_running_loop";
constexpr char peek_running_loop[] = "_get_running_loop";
constexpr char cancelled_error[] = "CancelledError";
constexpr char invalid_state_error[] = "InvalidStateError";

}  // namespace

PyObject* asyncio_name(AsyncioName name) {
    switch (name) {
        case AsyncioName::GetRunningLoop: return cached<get_running_loop>();
        case AsyncioName::PeekRunningLoop: return cached<peek_running_loop>();
        case AsyncioName::CancelledError: return cached<cancelled_error>();
        case AsyncioName::InvalidStateError: return cached<invalid_state_error>();
    }
    return nullptr;
}

}  // namespace quorvelin::future

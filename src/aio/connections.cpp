// create_serial_connection, connection_for_serial and open_serial_connection only collect
// their arguments into a Deferred; the port is opened and the transport made at its first
// step. They open ports through the package's own serial_for_url, imported by name.

#include "aio/connections.h"

#include "aio/collect_arguments.h"
#include "aio/deferred.h"
#include "pyapi/args.h"
#include "pyapi/method.h"
#include "transport/transport.h"
#include "pyapi/guarded.h"

namespace quorvelin::aio {
namespace {

using Objects = std::array<py::Ref, Work::CAPACITY>;

py::Ref package_serial_for_url() {
    py::Ref name = py::Ref::steal(PyUnicode_FromString("quorvelin"));
    py::Ref package = name ? py::Ref::steal(PyImport_Import(name.get())) : py::Ref();
    if (!package) {
        return {};
    }
    return py::Ref::steal(PyObject_GetAttrString(package.get(), "serial_for_url"));
}

// The protocol from the factory, then the transport: (transport, protocol).
PyObject* connect(PyObject* loop, PyObject* protocol_factory, PyObject* serial) {
    py::Ref protocol = py::Ref::steal(PyObject_CallNoArgs(protocol_factory));
    if (!protocol) {
        return nullptr;
    }
    py::Ref transport = py::Ref::steal(transport::create(loop, protocol.get(), serial));
    if (!transport) {
        return nullptr;
    }
    return PyTuple_Pack(2, transport.get(), protocol.get());
}

// loop, protocol_factory, url, further positional arguments, keyword arguments (or none).
PyObject* create_connection_work(Objects& o) {
    Py_ssize_t extra = PyTuple_GET_SIZE(o[3].get());
    py::Ref positional = py::Ref::steal(PyTuple_New(extra + 1));
    if (!positional) {
        return nullptr;
    }
    PyTuple_SET_ITEM(positional.get(), 0, Py_NewRef(o[2].get()));
    for (Py_ssize_t i = 0; i < extra; ++i) {
        PyTuple_SET_ITEM(positional.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(o[3].get(), i)));
    }
    py::Ref serial_for_url = package_serial_for_url();
    if (!serial_for_url) {
        return nullptr;
    }
    py::Ref serial = py::Ref::steal(PyObject_Call(serial_for_url.get(), positional.get(), o[4].get()));
    if (!serial) {
        return nullptr;
    }
    return connect(o[0].get(), o[1].get(), serial.get());
}

// loop, protocol_factory, serial_instance.
PyObject* connection_for_serial_work(Objects& o) { return connect(o[0].get(), o[1].get(), o[2].get()); }

// loop or none, limit or none, keyword arguments or none.
PyObject* open_connection_work(Objects& o) {
    py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) {
        return nullptr;
    }
    py::Ref loop = o[0] ? o[0] : py::Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
    if (!loop) {
        return nullptr;
    }
    py::Ref limit = o[1];
    if (!limit) {
        py::Ref streams = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "streams"));
        limit = streams ? py::Ref::steal(PyObject_GetAttrString(streams.get(), "_DEFAULT_LIMIT")) : py::Ref();
        if (!limit) {
            return nullptr;
        }
    }
    py::Ref reader_class = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamReader"));
    py::Ref reader_keywords = py::Ref::steal(Py_BuildValue("{sOsO}", "limit", limit.get(), "loop", loop.get()));
    if (!reader_class || !reader_keywords) {
        return nullptr;
    }
    py::Ref empty = py::Ref::steal(PyTuple_New(0));
    py::Ref reader = empty ? py::Ref::steal(PyObject_Call(reader_class.get(), empty.get(), reader_keywords.get()))
                           : py::Ref();
    if (!reader) {
        return nullptr;
    }
    py::Ref protocol_class = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamReaderProtocol"));
    py::Ref protocol_arguments = py::Ref::steal(PyTuple_Pack(1, reader.get()));
    py::Ref protocol_keywords = py::Ref::steal(Py_BuildValue("{sO}", "loop", loop.get()));
    if (!protocol_class || !protocol_arguments || !protocol_keywords) {
        return nullptr;
    }
    py::Ref protocol =
        py::Ref::steal(PyObject_Call(protocol_class.get(), protocol_arguments.get(), protocol_keywords.get()));
    if (!protocol) {
        return nullptr;
    }
    // Keywords only: the URL is passed on as `url=`.
    py::Ref serial_for_url = package_serial_for_url();
    py::Ref serial = serial_for_url && empty
                         ? py::Ref::steal(PyObject_Call(serial_for_url.get(), empty.get(), o[2].get()))
                         : py::Ref();
    if (!serial) {
        return nullptr;
    }
    py::Ref transport = py::Ref::steal(transport::create(loop.get(), protocol.get(), serial.get()));
    if (!transport) {
        return nullptr;
    }
    py::Ref writer_class = py::Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamWriter"));
    if (!writer_class) {
        return nullptr;
    }
    py::Ref writer = py::Ref::steal(PyObject_CallFunctionObjArgs(writer_class.get(), transport.get(), protocol.get(),
                                                                 reader.get(), loop.get(), nullptr));
    if (!writer) {
        return nullptr;
    }
    return PyTuple_Pack(2, reader.get(), writer.get());
}

py::Ref given_or_absent(PyObject* value) {
    return value == nullptr || value == Py_None ? py::Ref() : py::Ref::borrow(value);
}

PyObject* create_serial_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"loop", "protocol_factory", "url"};
    static const py::Signature signature{"create_serial_connection", names, 3};
    PyObject* named[3];
    py::Ref extra;
    py::Ref keywords;
    if (!collect_arguments(signature, args, nargs, kwnames, named, &extra, &keywords)) {
        return nullptr;
    }
    if (!extra) {
        extra = py::Ref::steal(PyTuple_New(0));
        if (!extra) {
            return nullptr;
        }
    }
    Work work;
    work.run = create_connection_work;
    work.objects = {py::Ref::borrow(named[0]), py::Ref::borrow(named[1]), py::Ref::borrow(named[2]), std::move(extra),
                    std::move(keywords)};
    return make_deferred(std::move(work));
}

PyObject* connection_for_serial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"loop", "protocol_factory", "serial_instance"};
    static const py::Signature signature{"connection_for_serial", names, 3};
    PyObject* named[3];
    if (!py::parse_fastcall(signature, args, nargs, kwnames, named)) {
        return nullptr;
    }
    Work work;
    work.run = connection_for_serial_work;
    work.objects = {py::Ref::borrow(named[0]), py::Ref::borrow(named[1]), py::Ref::borrow(named[2]), py::Ref(),
                    py::Ref()};
    return make_deferred(std::move(work));
}

PyObject* open_serial_connection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"loop", "limit"};
    static const py::Signature signature{"open_serial_connection", names, 0, 0};
    PyObject* named[2];
    py::Ref keywords;
    if (!collect_arguments(signature, args, nargs, kwnames, named, nullptr, &keywords)) {
        return nullptr;
    }
    Work work;
    work.run = open_connection_work;
    work.objects = {given_or_absent(named[0]), given_or_absent(named[1]), std::move(keywords), py::Ref(), py::Ref()};
    return make_deferred(std::move(work));
}

}  // namespace

PyMethodDef create_serial_connection_def = {
    "create_serial_connection",
    py::as_cfunction(py::guarded<create_serial_connection>),
    METH_FASTCALL | METH_KEYWORDS,
    "create_serial_connection(loop, protocol_factory, url, *args, **kwargs)\n--\n\n"
    "Opens `url` like `quorvelin.serial_for_url` and connects it to a new protocol.",
};

PyMethodDef connection_for_serial_def = {
    "connection_for_serial",
    py::as_cfunction(py::guarded<connection_for_serial>),
    METH_FASTCALL | METH_KEYWORDS,
    "connection_for_serial(loop, protocol_factory, serial_instance)\n--\n\n"
    "Connects an open port to a new protocol.",
};

PyMethodDef open_serial_connection_def = {
    "open_serial_connection",
    py::as_cfunction(py::guarded<open_serial_connection>),
    METH_FASTCALL | METH_KEYWORDS,
    "open_serial_connection(*, loop=None, limit=None, **kwargs)\n--\n\n"
    "Opens a port and returns an asyncio `StreamReader` and `StreamWriter` for it.",
};

}  // namespace quorvelin::aio

// The asyncio transport inside the embedded interpreter: completions arriving on runtime
// workers while the loop thread reads and writes (the races ThreadSanitizer watches), and a
// device that accepts nothing, which only a scripted backend can be.

#include <gtest/gtest.h>

#include "../port/support.h"
#include "aio/aio_serial.h"
#include "attached.h"
#include "future_support.h"
#include "serial/serial_base.h"
#include "transport/transport.h"

namespace quorvelin::testing {
namespace {

PyObject* create_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "create(loop, protocol, serial)");
        return nullptr;
    }
    return transport::create(args[0], args[1], args[2]);
}

PyMethodDef create_def = {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create_call)),
                          METH_FASTCALL, nullptr};

const char* const RECORDER =
    "import asyncio, random\n"
    "class Recorder(asyncio.Protocol):\n"
    "    def __init__(self):\n"
    "        self.data = bytearray()\n"
    "        self.events = []\n"
    "        self.lost = asyncio.get_running_loop().create_future()\n"
    "    def connection_made(self, t): self.events.append('made')\n"
    "    def data_received(self, d): self.data += d\n"
    "    def pause_writing(self): self.events.append('pause')\n"
    "    def resume_writing(self): self.events.append('resume')\n"
    "    def connection_lost(self, e):\n"
    "        self.events.append('lost')\n"
    "        self.lost.set_result(e)\n"
    "async def until(condition):\n"
    "    for _ in range(5000):\n"
    "        if condition(): return\n"
    "        await asyncio.sleep(0.002)\n"
    "    raise AssertionError('condition not reached')\n";

// A dict with `create`, the recorder and `serial`, an asyncio Serial over a new closed port.
PyObject* namespace_with(PyObject* serial) {
    PyObject* g = PyDict_New();
    py::Ref create = py::Ref::steal(PyCFunction_NewEx(&create_def, nullptr, nullptr));
    PyDict_SetItemString(g, "create", create.get());
    PyDict_SetItemString(g, "serial", serial);
    if (!exec_in(g, RECORDER)) {
        Py_DECREF(g);
        return nullptr;
    }
    return g;
}

py::Ref unopened_serial() {
    return py::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(aio::aio_serial_type())));
}

TEST(Transport, EchoesThroughTheLoopbackWhileWorkersComplete) {
    Attached attached;
    py::Ref serial = unopened_serial();
    ASSERT_TRUE(serial) << take_error();
    PyObject* g = namespace_with(serial.get());
    ASSERT_NE(g, nullptr);
    ASSERT_TRUE(exec_in(g,
                        "serial.port = 'loop://'\n"
                        "serial.open()\n"
                        "async def main():\n"
                        "    loop = asyncio.get_running_loop()\n"
                        "    protocol = Recorder()\n"
                        "    transport = create(loop, protocol, serial)\n"
                        "    rng = random.Random(7)\n"
                        "    sent = bytearray()\n"
                        "    for round in range(300):\n"
                        "        chunk = bytes([round % 256]) * rng.randrange(1, 3000)\n"
                        "        transport.write(chunk)\n"
                        "        sent += chunk\n"
                        "        if round % 7 == 0: transport.pause_reading()\n"
                        "        if round % 7 == 3: transport.resume_reading()\n"
                        "        await asyncio.sleep(0)\n"
                        "    transport.resume_reading()\n"
                        "    await until(lambda: len(protocol.data) >= len(sent))\n"
                        "    assert protocol.data == sent\n"
                        "    transport.close()\n"
                        "    assert await protocol.lost is None\n"
                        "    assert not serial.is_open\n"
                        "asyncio.run(main())\n"));
    Py_DECREF(g);
}

TEST(Transport, AWriteThatEndsShortIsAFatalWriteError) {
    Attached attached;
    py::Ref serial = unopened_serial();
    ASSERT_TRUE(serial) << take_error();
    auto shared = std::make_shared<FakeBackend::Shared>();
    shared->accepts_nothing = true;
    serial::core_of(serial.get())->adopt(std::make_unique<FakeBackend>(shared));
    PyObject* g = namespace_with(serial.get());
    ASSERT_NE(g, nullptr);
    ASSERT_TRUE(exec_in(g,
                        "async def main():\n"
                        "    loop = asyncio.get_running_loop()\n"
                        "    errors = []\n"
                        "    loop.set_exception_handler(lambda _, context: errors.append(context))\n"
                        "    protocol = Recorder()\n"
                        "    transport = create(loop, protocol, serial)\n"
                        "    await until(lambda: protocol.events)\n"
                        "    transport.write(b'abc')\n"
                        "    error = await asyncio.wait_for(protocol.lost, 5)\n"
                        "    assert str(error) == 'write ended after 0 of 3 bytes', error\n"
                        "    assert [c['message'] for c in errors] == ['Fatal write error on serial transport']\n"
                        "    assert errors[0]['exception'] is error\n"
                        "    assert protocol.events == ['made', 'lost']\n"
                        "    assert not serial.is_open\n"
                        "asyncio.run(main())\n"));
    Py_DECREF(g);
}

}  // namespace
}  // namespace quorvelin::testing

// The blocking driver in the embedded interpreter: inline completion without a task, the
// hand-off of the same operation, interruption by a signal handler, and a forked child.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "../port/support.h"
#include "attached.h"
#include "future/shared.h"
#include "future_support.h"
#include "port/ops.h"
#include "serial/drive.h"

namespace quorvelin::testing {
namespace {

using runtime::Operation;

// The value of serial::run as text ("bytes:..", "int:..", "None") or the raised error.
std::string outcome_text(PyObject* value) {
    if (value == nullptr) {
        return "raised " + take_error();
    }
    std::string text;
    if (PyBytes_Check(value)) {
        text = "bytes:" + std::string(PyBytes_AsString(value), static_cast<std::size_t>(PyBytes_Size(value)));
    } else if (PyLong_Check(value)) {
        text = "int:" + std::to_string(PyLong_AsLong(value));
    } else if (value == Py_None) {
        text = "None";
    } else {
        text = Py_TYPE(value)->tp_name;
    }
    Py_DECREF(value);
    return text;
}

TEST(Drive, FinishingInlineMakesNoTask) {
    Attached attached;
    auto with_data = open_loopback();
    write_all(with_data, "abc");
    auto closed = PortCore::make();
    struct Case {
        const char* name;
        std::shared_ptr<PortCore> core;
        std::function<Operation<Outcome>(std::shared_ptr<PortCore>)> make;
        std::string expected;
    };
    const Case cases[] = {
        {"data waiting", with_data, [](auto core) { return ops::read(core, 3); }, "bytes:abc"},
        {"a small write", with_data, [](auto core) { return ops::write(core, "xyz"); }, "int:3"},
        {"closed port", closed, [](auto core) { return ops::read(core, 1); },
         "raised PortNotOpenError: Attempting to use a port that is not open"},
        {"invalid input", closed, [](auto core) { return ops::send_break(core, -1.0); },
         "raised ValueError: duration must be a non-negative number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto before = future::spawn_count();
        EXPECT_EQ(outcome_text(serial::run(c.make(c.core))), c.expected);
        EXPECT_EQ(future::spawn_count(), before);
    }
}

// Counts how often its body starts: a restarted operation would count twice.
Operation<Outcome> counting(std::atomic<int>* starts, std::chrono::milliseconds length) {
    starts->fetch_add(1);
    auto sleep = runtime::sleep_until(runtime::Clock::now() + length);
    co_await sleep;
    co_return Outcome(static_cast<std::size_t>(starts->load()));
}

TEST(Drive, LongerOperationsAreHandedOffAsTheSameObject) {
    Attached attached;
    {
        SCOPED_TRACE("the body runs once");
        std::atomic<int> starts{0};
        auto before = future::spawn_count();
        EXPECT_EQ(outcome_text(serial::run(counting(&starts, std::chrono::milliseconds(150)))), "int:1");
        EXPECT_EQ(future::spawn_count(), before + 1);
    }
    {
        SCOPED_TRACE("an empty read with a 0.2 s timeout");
        auto core = open_loopback();
        set_timeouts(core, Seconds::from_float(0.2));
        auto before = future::spawn_count();
        auto start = runtime::Clock::now();
        EXPECT_EQ(outcome_text(serial::run(ops::read(core, 10))), "bytes:");
        EXPECT_GE(elapsed_since(start).count(), 190);
        EXPECT_LT(elapsed_since(start).count(), 1000);
        EXPECT_EQ(future::spawn_count(), before + 1);
    }
    {
        SCOPED_TRACE("bytes from both phases, none lost or repeated");
        auto core = open_loopback();
        set_timeouts(core, Seconds::from_float(2.0));
        std::thread writer([core] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            write_all(core, "a");
            std::this_thread::sleep_for(std::chrono::milliseconds(140));
            write_all(core, "bc");
        });
        auto before = future::spawn_count();
        PyObject* value;
        {
            value = serial::run(ops::read(core, 3));
        }
        writer.join();
        EXPECT_EQ(outcome_text(value), "bytes:abc");
        EXPECT_EQ(future::spawn_count(), before + 1);
    }
}

// A pending signal whose handler raises ends the wait, cancels the operation (the read lock
// comes free) and leaves the port usable. Signal handlers run only on the thread that
// initialised the interpreter, which is the thread running the tests.
TEST(Drive, RaisingSignalHandlerEndsTheWaitAndCancels) {
    Attached attached;
    PyObject* g = PyDict_New();
    ASSERT_TRUE(exec_in(g,
                        "import signal\n"
                        "def handler(signum, frame):\n"
                        "    raise KeyboardInterrupt('stop')\n"
                        "old = signal.signal(signal.SIGUSR1, handler)\n"));
    auto core = open_loopback();
    set_timeouts(core, std::nullopt);
    std::atomic<std::int64_t> raised_at{0};
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        raised_at.store(runtime::Clock::now().time_since_epoch().count());
        PyErr_SetInterruptEx(SIGUSR1);  // marks the signal pending; needs no thread state
    });
    PyObject* value = serial::run(ops::read(core, 1));
    auto ended = runtime::Clock::now().time_since_epoch().count();
    interrupter.join();
    EXPECT_EQ(outcome_text(value), "raised KeyboardInterrupt: stop");
    auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(runtime::Clock::duration(ended - raised_at.load()));
    EXPECT_LT(delay.count(), 100);
    EXPECT_TRUE(eventually([&] { return !core->read_lock().is_locked(); }));
    EXPECT_TRUE(core->is_open());
    write_all(core, "z");
    set_timeouts(core, Seconds::from_float(1.0));
    EXPECT_EQ(outcome_text(serial::run(ops::read(core, 1))), "bytes:z");
    ASSERT_TRUE(exec_in(g, "signal.signal(signal.SIGUSR1, old)\n"));
    Py_DECREF(g);
}

// A blocking call made on a runtime worker (as a done callback running there would make it)
// hands the worker's queue to a pool thread. Two at once occupy both workers; without the
// hand-off nobody would run the timers their reads wait for.
Operation<Outcome> blocking_call_on_worker(std::shared_ptr<PortCore> core) {
    std::string text;
    {
        future::Attach attach;
        text = outcome_text(serial::run(ops::read(core, 1)));
    }
    co_return Outcome(text);
}

TEST(Drive, OnARuntimeWorkerTheOtherTasksKeepRunning) {
    Attached attached;
    auto first = open_loopback();
    auto second = open_loopback();
    set_timeouts(first, Seconds::from_float(0.2));
    set_timeouts(second, Seconds::from_float(0.2));
    auto start = runtime::Clock::now();
    auto a = future::OpFuture::spawn(blocking_call_on_worker(first));
    auto b = future::OpFuture::spawn(blocking_call_on_worker(second));
    ASSERT_TRUE(a.ok() && b.ok());
    for (auto* handle : {&a.value(), &b.value()}) {
        PyObject* value = handle->wait(5.0);
        ASSERT_NE(value, nullptr) << take_error();
        EXPECT_EQ(std::string(PyBytes_AsString(value)), "bytes:");
        Py_DECREF(value);
    }
    EXPECT_LT(elapsed_since(start).count(), 2000);
}

// In a child forked after the runtime started, the runtime's error is raised before the
// operation runs: the waiting byte stays unread.
TEST(Drive, ForkedChildRaisesBeforeTheOperationRuns) {
    Attached attached;
    auto core = open_loopback();
    write_all(core, "q");  // also makes sure the runtime exists in the parent
    PyOS_BeforeFork();
    pid_t pid = fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
        PyObject* value = serial::run(ops::read(core, 1));
        std::string text = outcome_text(value);
        auto waiting = core->in_waiting();
        bool ok = text == "raised SerialException: quorvelin cannot be used in a child process created by fork()" &&
                  waiting.ok() && waiting.value() == 1;
        if (!ok) {
            fprintf(stderr, "child saw: %s\n", text.c_str());
        }
        _exit(ok ? 0 : 1);
    }
    PyOS_AfterFork_Parent();
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quorvelin::testing

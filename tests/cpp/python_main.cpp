// Runs the GoogleTest suites inside an embedded free-threaded interpreter. Tests attach with
// `Attached` and must drop every Python reference while attached.

#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
    // Tests attach on their own threads; the main thread stays detached while they run.
    PyThreadState* main_state = PyEval_SaveThread();
    int result = RUN_ALL_TESTS();
    PyEval_RestoreThread(main_state);
    Py_FinalizeEx();
    return result;
}

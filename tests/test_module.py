import subprocess
import sys
import textwrap

import pytest

import quorvelin
from quorvelin import _quorvelin as native


def test_free_threading_survives_import():
    assert sys._is_gil_enabled() is False


CONSTANTS = [
    ("__version__", "0.3.0", str),
    ("PARITY_NONE", "N", str),
    ("PARITY_EVEN", "E", str),
    ("PARITY_ODD", "O", str),
    ("PARITY_MARK", "M", str),
    ("PARITY_SPACE", "S", str),
    ("STOPBITS_ONE", 1, int),
    ("STOPBITS_ONE_POINT_FIVE", 1.5, float),
    ("STOPBITS_TWO", 2, int),
    ("FIVEBITS", 5, int),
    ("SIXBITS", 6, int),
    ("SEVENBITS", 7, int),
    ("EIGHTBITS", 8, int),
    ("XON", b"\x11", bytes),
    ("XOFF", b"\x13", bytes),
    ("CR", b"\r", bytes),
    ("LF", b"\n", bytes),
]


@pytest.mark.parametrize("name,value,kind", CONSTANTS)
def test_constants(name, value, kind):
    constant = getattr(quorvelin, name)
    assert type(constant) is kind
    assert constant == value


def test_parity_names_in_order():
    assert list(quorvelin.PARITY_NAMES.items()) == [
        ("N", "None"), ("E", "Even"), ("O", "Odd"), ("M", "Mark"), ("S", "Space")]


def test_main_module_all_starts_with_constants_then_exceptions():
    expected = [name for name, _, _ in CONSTANTS[:6]] + ["PARITY_NAMES"] + [
        name for name, _, _ in CONSTANTS[6:]] + [
        "SerialException", "SerialTimeoutException", "PortNotOpenError"]
    assert native.__all__[: len(expected)] == expected
    assert native.__all__[-1] == "tools"


def test_module_docstrings():
    assert native.__doc__ == ""
    assert quorvelin.tools.__doc__ is None


def test_exception_hierarchy():
    base = quorvelin.SerialException
    assert base.__mro__[1] is OSError
    for cls in (quorvelin.SerialTimeoutException, quorvelin.PortNotOpenError):
        assert cls.__bases__ == (base,)
        assert issubclass(cls, OSError)
    for cls, name in ((base, "SerialException"),
                      (quorvelin.SerialTimeoutException, "SerialTimeoutException"),
                      (quorvelin.PortNotOpenError, "PortNotOpenError")):
        assert cls.__module__ == "quorvelin"
        assert cls.__name__ == name
        assert cls.__doc__ is None
    assert not issubclass(ValueError, base)


def test_exception_errno_rules():
    error = quorvelin.SerialException(13, "denied")
    assert (error.errno, error.strerror) == (13, "denied")
    assert quorvelin.SerialException("plain").errno is None


def test_submodules_in_sys_modules():
    import quorvelin.tools.list_ports as list_ports

    assert sys.modules["quorvelin.tools"] is quorvelin.tools
    assert sys.modules["quorvelin.tools.list_ports"] is quorvelin.tools.list_ports is list_ports
    assert quorvelin.tools.__all__ == ["list_ports"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_import_starts_no_thread():
    result = run_python("""
        import os, threading
        before = len(os.listdir('/proc/self/task'))
        import quorvelin, quorvelin.tools.list_ports
        assert len(os.listdir('/proc/self/task')) == before, os.listdir('/proc/self/task')
        import sys
        assert sys._is_gil_enabled() is False
    """)
    assert result.returncode == 0, result.stderr


def test_subinterpreter_refuses_the_module():
    # Its objects are process-wide, so a second interpreter must not load it.
    result = run_python("""
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec('import quorvelin._quorvelin')
        except interpreters.ExecutionFailed as error:
            print(error.excinfo.type.__name__)
        else:
            print('imported')
        import quorvelin  # the main interpreter still imports it
        print(quorvelin.__version__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "0.3.0"]

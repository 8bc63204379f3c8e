import pathlib
import threading

import pytest

from quorvelin.tools import list_ports
from quorvelin.tools.list_ports import ListPortInfo, comports


def test_surface():
    assert comports.__text_signature__ == "(include_links=False)"
    assert comports.__doc__ is None
    assert comports.__module__ == "quorvelin.tools.list_ports"
    assert list_ports.__all__.index("ListPortInfo") < list_ports.__all__.index("comports")


def _type_is_placeholder(port):
    try:
        text = pathlib.Path(f"/sys/class/tty/{port.device[len('/dev/'):]}/type").read_bytes().decode()
    except (OSError, UnicodeDecodeError):
        return False
    return text.strip() == "0"


def test_real_system_lists_hardware_ports_only():
    ports = comports()
    assert type(ports) is list
    for port in ports:
        assert type(port) is ListPortInfo
        assert port.device.startswith("/dev/"), port.device
        assert port.name == port.device[len("/dev/"):]
        assert not _type_is_placeholder(port), port.device
        assert pathlib.Path(f"/sys/class/tty/{port.name}/device").exists(), port.device


def test_non_usb_ports_keep_the_defaults():
    for port in comports():
        if port.vid is None:
            assert (port.description, port.hwid) == ("n/a", "n/a")
        else:
            assert port.hwid.startswith("USB VID:PID=")


def test_results_come_in_natural_order():
    ports = comports()
    assert ports == sorted(ports)
    assert [p.device for p in ports] == [p.device for p in sorted(ports)]


@pytest.mark.parametrize("kwargs", [{"include_links": True}, {"include_links": False}])
def test_include_links_changes_nothing(kwargs):
    assert [tuple(p) for p in comports(**kwargs)] == [tuple(p) for p in comports()]
    assert [tuple(p) for p in comports(kwargs["include_links"])] == [tuple(p) for p in comports()]


@pytest.mark.parametrize("args,kwargs,fragment", [
    ((1,), {}, "include_links"),
    ((), {"include_links": None}, "include_links"),
    ((), {"include_links": "yes"}, "include_links"),
    ((True, True), {}, "positional"),
    ((), {"links": True}, "links"),
    ((True,), {"include_links": True}, "multiple values"),
])
def test_argument_errors(args, kwargs, fragment):
    with pytest.raises(TypeError, match=fragment):
        comports(*args, **kwargs)


def test_every_call_makes_fresh_objects():
    first, second = comports(), comports()
    assert first is not second
    assert all(a is not b and a == b for a, b in zip(first, second))


def test_parallel_calls_agree():
    expected = [tuple(p) for p in comports()]
    results = []
    start = threading.Barrier(4, timeout=10)

    def worker():
        start.wait()
        for _ in range(20):
            results.append([tuple(p) for p in comports()])

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=50)
    assert not any(thread.is_alive() for thread in threads)
    assert len(results) == 80
    assert all(result == expected for result in results)

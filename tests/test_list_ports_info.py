import gc
import subprocess
import sys
import textwrap
import threading

import pytest

from quorvelin.tools import list_ports
from quorvelin.tools.list_ports import ListPortInfo
from siphash_oracle import expected_port_hash, siphash13


def test_module_exports_class_then_function():
    assert list_ports.__all__ == ["ListPortInfo", "comports"]


def test_class_surface():
    assert ListPortInfo.__text_signature__ == "(device, skip_link_detection=False)"
    assert ListPortInfo.__module__ == "quorvelin.tools.list_ports"
    assert ListPortInfo.__doc__.startswith("Describes one serial port")
    assert ListPortInfo.__repr__ is object.__repr__
    for absent in ("__len__", "__contains__"):
        assert not hasattr(ListPortInfo, absent)


@pytest.mark.parametrize("method", ["usb_description", "usb_info", "apply_usb_info"])
def test_method_text_signatures(method):
    assert getattr(ListPortInfo, method).__text_signature__ == "($self)"


def test_fresh_object():
    port = ListPortInfo("/dev/ttyUSB0")
    assert (port.device, port.name, port.description, port.hwid) == ("/dev/ttyUSB0", "ttyUSB0", "n/a", "n/a")
    for field in ("serial_number", "location", "manufacturer", "product", "interface", "vid", "pid"):
        assert getattr(port, field) is None, field
    assert str(port) == "/dev/ttyUSB0 - n/a"


@pytest.mark.parametrize("device,name", [
    ("/dev/ttyUSB0", "ttyUSB0"),
    ("/dev/ttyS1/", "ttyS1"),
    ("COM3", "COM3"),
    ("/", "/"),
    ("", ""),
    ("/dev/..", "/dev/.."),
    ("a/./", "a"),
    ("./", "./"),
    ("/dev/serial/by-id/usb-FTDI_A1-if00", "usb-FTDI_A1-if00"),
    ("/dev/tty\u00e9", "tty\u00e9"),
])
def test_name_rule(device, name):
    assert ListPortInfo(device).name == name


@pytest.mark.parametrize("args,kwargs,fragment", [
    ((), {}, "device"),
    ((1,), {}, "device"),
    ((None,), {}, "device"),
    ((b"/dev/ttyS0",), {}, "device"),
    (("/dev/ttyS0", 1), {}, "skip_link_detection"),
    (("/dev/ttyS0",), {"skip_link_detection": None}, "skip_link_detection"),
    (("/dev/ttyS0", False, 3), {}, "positional"),
    (("/dev/ttyS0",), {"nope": True}, "nope"),
])
def test_constructor_refuses(args, kwargs, fragment):
    with pytest.raises(TypeError, match=fragment):
        ListPortInfo(*args, **kwargs)


@pytest.mark.parametrize("kwargs", [{}, {"skip_link_detection": True}, {"skip_link_detection": False}])
def test_skip_link_detection_changes_nothing(kwargs):
    port = ListPortInfo(device="/dev/ttyS0", **kwargs)
    assert (port.device, port.name, port.description, port.hwid) == ("/dev/ttyS0", "ttyS0", "n/a", "n/a")


def test_device_that_cannot_be_utf8_is_refused():
    with pytest.raises(UnicodeEncodeError):
        ListPortInfo("/dev/tty\ud800")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("field,value,read_back", [
    ("device", "/dev/ttyS9", "/dev/ttyS9"),
    ("name", "other", "other"),
    ("description", "", ""),
    ("hwid", "x", "x"),
    ("serial_number", "A1", "A1"),
    ("serial_number", None, None),
    ("location", "1-1.2", "1-1.2"),
    ("manufacturer", "FTDI", "FTDI"),
    ("product", "\u00fc", "\u00fc"),
    ("interface", None, None),
    ("vid", 0, 0),
    ("vid", 65535, 65535),
    ("vid", None, None),
    ("pid", True, 1),
    ("pid", Index(0x6001), 0x6001),
])
def test_setter_accepts(field, value, read_back):
    port = ListPortInfo("/dev/ttyS0")
    setattr(port, field, value)
    assert getattr(port, field) == read_back
    assert type(getattr(port, field)) is type(read_back)


@pytest.mark.parametrize("field,value,error", [
    ("device", None, TypeError),
    ("name", 5, TypeError),
    ("description", b"x", TypeError),
    ("hwid", None, TypeError),
    ("serial_number", 1, TypeError),
    ("product", b"p", TypeError),
    ("vid", 65536, OverflowError),
    ("vid", -1, OverflowError),
    ("pid", 2**70, OverflowError),
    ("vid", 1.0, TypeError),
    ("pid", "1", TypeError),
    ("device", "\udc80", UnicodeEncodeError),
])
def test_setter_refuses_and_keeps_old_value(field, value, error):
    port = ListPortInfo("/dev/ttyS0")
    port.vid, port.pid = 1, 2
    before = getattr(port, field)
    with pytest.raises(error) as raised:
        setattr(port, field, value)
    if error is TypeError:
        assert field in str(raised.value)
    assert getattr(port, field) == before


FIELDS = ["device", "name", "description", "hwid", "serial_number", "location", "manufacturer",
          "product", "interface", "vid", "pid"]


@pytest.mark.parametrize("field", FIELDS)
def test_fields_cannot_be_deleted(field):
    port = ListPortInfo("/dev/ttyS0")
    with pytest.raises(AttributeError):
        delattr(port, field)


def test_fields_are_independent():
    port = ListPortInfo("/dev/ttyUSB0")
    port.device = "/dev/ttyACM3"
    port.product, port.interface, port.vid, port.pid = "Board", "1", 1, 2
    port.serial_number, port.location = "S", "1-1"
    assert (port.name, port.description, port.hwid) == ("ttyUSB0", "n/a", "n/a")


@pytest.mark.parametrize("settings,usb_info,usb_description", [
    ({}, "USB VID:PID=0000:0000", "ttyUSB0"),
    ({"vid": 0x0403, "pid": 0x6001, "serial_number": "A1", "location": "1-1.2"},
     "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2", "ttyUSB0"),
    ({"vid": 0xABCD, "pid": 0xEF}, "USB VID:PID=ABCD:00EF", "ttyUSB0"),
    ({"location": "2-3"}, "USB VID:PID=0000:0000 LOCATION=2-3", "ttyUSB0"),
    ({"product": "FT232R"}, "USB VID:PID=0000:0000", "FT232R"),
    ({"interface": "1"}, "USB VID:PID=0000:0000", "None - 1"),
    ({"product": "Board", "interface": "CDC"}, "USB VID:PID=0000:0000", "Board - CDC"),
])
def test_usb_texts_and_apply(settings, usb_info, usb_description):
    port = ListPortInfo("/dev/ttyUSB0")
    for field, value in settings.items():
        setattr(port, field, value)
    assert port.usb_info() == usb_info
    assert port.usb_description() == usb_description
    assert port.apply_usb_info() is None
    assert (port.hwid, port.description) == (usb_info, usb_description)


@pytest.mark.parametrize("index,expected", [(0, "/dev/ttyS0"), (1, "desc"), (2, "hw"), (True, "desc")])
def test_getitem(index, expected):
    port = ListPortInfo("/dev/ttyS0")
    port.description, port.hwid = "desc", "hw"
    assert port[index] == expected


@pytest.mark.parametrize("index,error", [
    (3, IndexError), (-1, IndexError), (2**70, OverflowError), (-(2**70), OverflowError),
    # the bound is the platform's signed word
    (sys.maxsize, IndexError), (-sys.maxsize - 1, IndexError),
    (sys.maxsize + 1, OverflowError), (-sys.maxsize - 2, OverflowError),
    ("0", TypeError), (1.0, TypeError), (slice(0, 1), TypeError),
])
def test_getitem_refuses(index, error):
    with pytest.raises(error) as raised:
        ListPortInfo("/dev/ttyS0")[index]
    if error is IndexError:
        assert str(raised.value) == "list index out of range"


def test_iteration_is_a_snapshot():
    port = ListPortInfo("/dev/ttyS0")
    items = iter(port)
    port.description = "changed"
    assert list(items) == ["/dev/ttyS0", "n/a", "n/a"]
    assert tuple(port) == ("/dev/ttyS0", "changed", "n/a")
    device, description, hwid = port
    assert device == "/dev/ttyS0"


def test_equality_by_device_only():
    a, b = ListPortInfo("/dev/ttyS0"), ListPortInfo("/dev/ttyS0")
    b.description = "other"
    assert a == b and not (a != b)
    assert hash(a) == hash(b)
    b.device = "/dev/ttyS1"
    assert a != b and not (a == b)
    assert hash(b) == hash(ListPortInfo("/dev/ttyS1"))


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = None


@pytest.mark.parametrize("other", ["/dev/ttyS0", b"/dev/ttyS0", None, 0, ("/dev/ttyS0", "n/a", "n/a"),
                                   EqualsEverything()])
def test_never_equal_to_other_types(other):
    port = ListPortInfo("/dev/ttyS0")
    assert port.__eq__(other) is False  # not NotImplemented: the other side is never asked
    assert (port == other) is False
    assert (port != other) is True


def test_not_equal_goes_through_the_equality_protocol():
    class Loose(ListPortInfo):
        def __eq__(self, other):
            return True

    class Failing(ListPortInfo):
        def __eq__(self, other):
            raise LookupError("from eq")

    class Falsy:
        def __bool__(self):
            raise ArithmeticError("from bool")

    class Odd(ListPortInfo):
        def __eq__(self, other):
            return Falsy()

    assert (Loose("/dev/a") != Loose("/dev/b")) is False
    with pytest.raises(LookupError):
        Failing("/dev/a") != Failing("/dev/a")
    with pytest.raises(ArithmeticError):
        Odd("/dev/a") != Odd("/dev/a")


def test_subclass_instances_compare_with_the_base():
    class Sub(ListPortInfo):
        pass

    assert Sub("/dev/ttyS0") == ListPortInfo("/dev/ttyS0")
    assert ListPortInfo("/dev/ttyS0") == Sub("/dev/ttyS0")
    assert ListPortInfo("/dev/ttyS0") < Sub("/dev/ttyS1")


HASH_DEVICES = ["/dev/ttyUSB0", "/dev/ttyS0", "COM3", "", "/dev/tty\u00e9\u4e2d", "x" * 7, "y" * 8, "z" * 65]


@pytest.mark.parametrize("device", HASH_DEVICES)
def test_hash_matches_independent_siphash(device):
    assert hash(ListPortInfo(device)) == expected_port_hash(device, sys.hash_info.width)


@pytest.mark.parametrize("device,digest", [
    ("/dev/ttyUSB0", 6446636222193941940),
    ("/dev/ttyS0", -3007146999624241898),
    ("COM3", -1839669187439469309),
    ("", 3476900567878811119),
])
def test_hash_reference_values(device, digest):
    # The references are full 64-bit digests; a narrower interpreter keeps their low bits, signed.
    width = sys.hash_info.width
    low = digest & ((1 << width) - 1)
    assert hash(ListPortInfo(device)) == (low - (1 << width) if low >> (width - 1) else low)


def test_oracle_agrees_with_the_interpreters_own_siphash():
    # With randomisation off, the interpreter hashes bytes with SipHash-1-3 and zero keys:
    # a check of the oracle that shares no code with it.
    if sys.hash_info.algorithm != "siphash13":
        pytest.skip("the interpreter does not use SipHash-1-3")
    samples = [d.encode() + b"\xff" for d in HASH_DEVICES]
    script = textwrap.dedent(f"""
        import sys
        print([hash(s) & ((1 << sys.hash_info.width) - 1) for s in {samples!r}])
    """)
    out = subprocess.run([sys.executable, "-c", script], env={"PYTHONHASHSEED": "0"}, capture_output=True,
                         text=True, timeout=30, check=True).stdout
    mask = (1 << sys.hash_info.width) - 1
    assert eval(out) == [siphash13(s) & mask for s in samples]


def test_hash_is_stable_across_processes():
    script = "from quorvelin.tools.list_ports import ListPortInfo; print(hash(ListPortInfo('/dev/ttyUSB0')))"
    runs = {subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                           check=True).stdout for _ in range(2)}
    assert runs == {f"{hash(ListPortInfo('/dev/ttyUSB0'))}\n"}


def test_sorting_is_natural():
    ports = [ListPortInfo(d) for d in ("/dev/ttyUSB10", "/dev/ttyUSB9", "/dev/ttyS0")]
    assert [p.device for p in sorted(ports)] == ["/dev/ttyS0", "/dev/ttyUSB9", "/dev/ttyUSB10"]


@pytest.mark.parametrize("smaller,larger", [
    ("ttyUSB9", "ttyUSB10"),
    ("ttyACM0", "ttyS0"),
    ("a", "100"),
    ("tty", "tty0"),
    ("tty" + "9" * 40, "ttz"),
    # 39 nines exceed 128 bits and compare as bytes (57, ...), below the number 10**38 - 1.
    ("tty" + "9" * 39, "tty" + "9" * 38),
    ("x\u0663", "x\u0664"),  # non-ASCII digits compare as bytes
])
def test_less_than(smaller, larger):
    a, b = ListPortInfo(smaller), ListPortInfo(larger)
    assert a < b and not (b < a)
    assert b > a and not (a > b)  # through the reflected less-than


@pytest.mark.parametrize("a,b", [("a1", "a01"), ("ttyS0", "ttyS0"), ("", "")])
def test_equal_keys_are_not_less(a, b):
    assert not ListPortInfo(a) < ListPortInfo(b)
    assert not ListPortInfo(b) < ListPortInfo(a)


@pytest.mark.parametrize("other,type_name", [("x", "str"), (3, "int"), (None, "NoneType"), ([], "list")])
def test_less_than_foreign_type(other, type_name):
    with pytest.raises(TypeError) as raised:
        ListPortInfo("/dev/ttyS0") < other
    assert str(raised.value) == f"unorderable types: ListPortInfo() and {type_name}()"


@pytest.mark.parametrize("op", [lambda a, b: a <= b, lambda a, b: a >= b])
def test_other_orderings_are_not_defined(op):
    with pytest.raises(TypeError):
        op(ListPortInfo("/dev/a"), ListPortInfo("/dev/b"))


def test_instance_dict_and_subclassing():
    class Named(ListPortInfo):
        def __init__(self, device, label):
            super().__init__()
            self.label = label

        def __new__(cls, device, label):
            return super().__new__(cls, device)

    port = ListPortInfo("/dev/ttyS0")
    port.extra = 5
    assert port.__dict__ == {"extra": 5}
    named = Named("/dev/ttyS1", "console")
    assert (named.name, named.label) == ("ttyS1", "console")


def test_cycles_through_the_instance_dict_are_collected():
    collected = threading.Event()

    class Marker:
        def __del__(self):
            collected.set()

    port = ListPortInfo("/dev/ttyS0")
    port.me, port.marker = port, Marker()
    del port
    gc.collect()
    assert collected.is_set()


def test_setter_converts_before_it_borrows():
    # __index__ reads the very object being set; it must not meet a held borrow.
    port = ListPortInfo("/dev/ttyS0")
    port.pid = 7

    class FromPort:
        def __index__(self):
            return port.pid + 1

    port.vid = FromPort()
    assert port.vid == 8


def test_concurrent_use_fails_fast_or_succeeds():
    # A call that meets another thread's borrow fails at once with RuntimeError; the others
    # succeed. Each thread must see successes to the end, and the object must be fully usable
    # afterwards: a borrow left held would make every later call fail.
    port = ListPortInfo("/dev/ttyS0")
    devices = {"/dev/ttyS0", "/dev/ttyUSB1"}
    refusals = {"ListPortInfo is being changed by another thread", "ListPortInfo is being used by another thread"}
    calls = 20000
    start = threading.Barrier(3, timeout=10)
    unexpected = []
    # Per thread: successes in the first and in the second half of its calls.
    succeeded = {}

    def run(name, call):
        counts = succeeded[name] = [0, 0]
        start.wait()
        for i in range(calls):
            try:
                call(i)
            except RuntimeError as error:
                if str(error) not in refusals:
                    unexpected.append(error)
            except BaseException as error:  # noqa: BLE001 - collected for the assertion
                unexpected.append(error)
            else:
                counts[2 * i // calls] += 1

    def write(i):
        port.device = "/dev/ttyUSB1" if i % 2 else "/dev/ttyS0"
        port.apply_usb_info()

    def read(i):
        assert port.device in devices
        assert str(port).split(" - ")[0] in devices
        hash(port)
        port[0]

    threads = [threading.Thread(target=run, args=(name, call))
               for name, call in (("writer", write), ("reader 1", read), ("reader 2", read))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=50)
    assert not any(thread.is_alive() for thread in threads)
    assert unexpected == []
    assert all(first > 0 and second > 0 for first, second in succeeded.values()), succeeded
    assert port.device in devices
    # Usable alone afterwards, for reading and for writing.
    port.device = "/dev/ttyUSB1"
    port.description = "after"
    port.apply_usb_info()
    assert port.device == port[0] == "/dev/ttyUSB1"
    assert str(port).startswith("/dev/ttyUSB1 - ")
    hash(port)

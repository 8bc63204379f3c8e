import math
import re

import pytest

import quorvelin
from quorvelin import Baudrate, PortNotOpenError, Serial, SerialBase, SerialException
from pty_support import pty_pair

NAN = float("nan")


@pytest.fixture
def port():
    s = Serial()
    yield s
    s.close()


@pytest.fixture
def loop():
    s = Serial("loop://", timeout=0.5)
    yield s
    s.close()


# --- the classes ---------------------------------------------------------------------------


def test_serial_base_cannot_be_instantiated():
    with pytest.raises(TypeError):
        SerialBase()


def test_class_shapes():
    assert SerialBase.__module__ == "quorvelin" and Serial.__module__ == "quorvelin"
    assert Serial.__mro__ == (Serial, SerialBase, object)
    assert type(Serial) is type
    assert SerialBase.__doc__ == "Properties and non-I/O methods shared by `quorvelin.Serial` and `quorvelin.aio.Serial`."
    s = Serial()
    with pytest.raises(AttributeError):
        s.__dict__
    with pytest.raises(TypeError):
        __import__("weakref").ref(s)


def test_python_subclass_of_base_is_not_instantiable_either():
    class Mine(SerialBase):
        pass

    with pytest.raises(TypeError):
        Mine()


def test_class_constants():
    assert SerialBase.PARITIES == ("N", "E", "O", "M", "S")
    assert SerialBase.BYTESIZES == (5, 6, 7, 8)
    assert SerialBase.STOPBITS == (1, 1.5, 2)
    assert [type(x) for x in SerialBase.STOPBITS] == [int, float, int]
    assert len(SerialBase.BAUDRATES) == 30
    assert SerialBase.BAUDRATES[0] is Baudrate.B50
    assert Serial.BAUDRATES is SerialBase.BAUDRATES


RATES = [50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
         230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000,
         3500000, 4000000]


def test_baudrate_enum():
    assert [m.value for m in Baudrate] == RATES
    assert [m.name for m in Baudrate] == [f"B{r}" for r in RATES]
    assert Baudrate.__module__ == "quorvelin"
    assert Baudrate.__name__ == Baudrate.__qualname__ == "Baudrate"
    assert Baudrate.B115200 == 115200
    assert Baudrate(9600) is Baudrate.B9600
    assert Baudrate(134) is Baudrate.B134 and Baudrate(1152000) is Baudrate.B1152000
    with pytest.raises(ValueError):
        Baudrate(14400)
    assert isinstance(Baudrate.B50, int)


def test_repr_of_fresh_object():
    s = Serial()
    expected = (f"Serial<id=0x{id(s):x}, open=False>(port=None, baudrate=9600, bytesize=8, parity='N', "
                "stopbits=1, timeout=None, xonxoff=False, rtscts=False, dsrdtr=False)")
    assert repr(s) == expected


def test_repr_uses_subclass_name_and_properties():
    class Mine(Serial):
        @property
        def portstr(self):
            return "shown"

    s = Mine("loop://", timeout=1.5)
    text = repr(s)
    assert text.startswith(f"Mine<id=0x{id(s):x}, open=True>(port='shown', ")
    assert "timeout=1.5" in text
    s.close()


def test_repr_propagates_a_raising_property():
    class Broken(Serial):
        @property
        def baudrate(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        repr(Broken())


# --- conversions ---------------------------------------------------------------------------

class NulInRepr:
    # A repr that goes on past a NUL: messages must carry all of it.
    def __repr__(self):
        return "a\x00b"


BAUDRATE_VALUES = [
    (0, 0), (4294967295, 4294967295), (9600.7, 9600), ("9600", 9600), (b"9600", 9600),
    (Baudrate.B19200, 19200),
]
BAUDRATE_REFUSED = [
    (4294967296, "4294967296"), (-1, "-1"), (-5.5, "-5"), ("abc", "'abc'"), (None, "None"),
    (2**64, str(2**64)), (1e20, "1e+20"), (NulInRepr(), "a\x00b"),
]


@pytest.mark.parametrize("value,stored", BAUDRATE_VALUES)
def test_baudrate_accepted(port, value, stored):
    port.baudrate = value
    assert port.baudrate == stored and type(port.baudrate) is int
    assert Serial(baudrate=value).baudrate == stored


@pytest.mark.parametrize("value,shown", BAUDRATE_REFUSED)
def test_baudrate_refused(port, value, shown):
    message = f"Not a valid baudrate: {shown}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        port.baudrate = value
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        Serial(baudrate=value)
    assert port.baudrate == 9600


def test_baudrate_of_unprintable_object(port):
    class Unprintable:
        def __repr__(self):
            raise RuntimeError

    with pytest.raises(ValueError, match=r"^Not a valid baudrate: <unprintable>$"):
        port.baudrate = Unprintable()


@pytest.mark.parametrize("value,stored", [(5, 5), (8, 8), (8.0, 8), (6, 6)])
def test_bytesize_accepted(port, value, stored):
    port.bytesize = value
    assert port.bytesize == stored


@pytest.mark.parametrize("value,shown", [(7.5, "7.5"), ("8", "'8'"), (9, "9"), (True, "1"), (NAN, "nan"),
                                         (1e300, "9223372036854775807"), (None, "None"),
                                         (NulInRepr(), "a\x00b")])
def test_bytesize_refused(port, value, shown):
    with pytest.raises(ValueError, match=f"^{re.escape('Not a valid byte size: ' + shown)}$"):
        port.bytesize = value
    assert port.bytesize == 8


@pytest.mark.parametrize("value", ["N", "E", "O", "M", "S"])
def test_parity_accepted(port, value):
    port.parity = value
    assert port.parity == value


@pytest.mark.parametrize("value", ["n", "NO", "", "X", "é"])
def test_parity_refused(port, value):
    with pytest.raises(ValueError) as info:
        port.parity = value
    assert str(info.value) == f"Not a valid parity: '{value}'"


@pytest.mark.parametrize("value", [0, None, b"N"])
def test_parity_wrong_type(port, value):
    with pytest.raises(TypeError):
        port.parity = value


@pytest.mark.parametrize("value,stored,kind", [(1, 1, int), (1.0, 1, int), (1.5, 1.5, float), (2, 2, int),
                                                (2.0, 2, int)])
def test_stopbits_accepted(port, value, stored, kind):
    port.stopbits = value
    assert port.stopbits == stored and type(port.stopbits) is kind


STOPBITS_REFUSED = [
    (3, "3.0"), (1.25, "1.25"), (NAN, "NaN"), (-1, "-1.0"), (0.0001, "0.0001"), (1e-5, "1e-5"),
    (2.5e-7, "2.5e-7"), (1e16, "1e16"), (float("inf"), "inf"), (float("-inf"), "-inf"), (-0.0, "-0.0"),
    (123456.789, "123456.789"), (1.5e300, "1.5e300"),
]


@pytest.mark.parametrize("value,shown", STOPBITS_REFUSED)
def test_stopbits_refused(port, value, shown):
    with pytest.raises(ValueError) as info:
        port.stopbits = value
    assert str(info.value) == f"Not a valid stop bit size: {shown}"
    assert port.stopbits == 1


@pytest.mark.parametrize("value", ["1", None, object()])
def test_stopbits_wrong_type(port, value):
    with pytest.raises(TypeError):
        port.stopbits = value


TIMEOUT_ACCEPTED = [(None, None, type(None)), (0, 0, int), (0.0, 0.0, float), (2, 2, int), (2.0, 2.0, float),
                    (float("inf"), float("inf"), float), (True, 1, int), (2**70, float(2**70), float)]
TIMEOUT_REFUSED = [(-1, "-1"), (-0.5, "-0.5"), (NAN, "NaN"), ("1", "'1'"), (-(2**70), "-1.1805916207174113e21"),
                   (object, "<class 'object'>"), (NulInRepr(), "a\x00b")]
TIMEOUTS = ["timeout", "write_timeout", "inter_byte_timeout"]


@pytest.mark.parametrize("name", TIMEOUTS)
@pytest.mark.parametrize("value,stored,kind", TIMEOUT_ACCEPTED)
def test_timeout_accepted(port, name, value, stored, kind):
    setattr(port, name, value)
    assert getattr(port, name) == stored and type(getattr(port, name)) is kind
    assert getattr(Serial(**{name: value}), name) == stored


@pytest.mark.parametrize("name", TIMEOUTS)
@pytest.mark.parametrize("value,shown", TIMEOUT_REFUSED)
def test_timeout_refused(port, name, value, shown):
    port.timeout = 3
    with pytest.raises(ValueError) as info:
        setattr(port, name, value)
    assert str(info.value) == f"Not a valid timeout: {shown}"
    with pytest.raises(ValueError) as info:
        Serial(**{name: value})
    assert str(info.value) == f"Not a valid timeout: {shown}"
    assert port.timeout == 3


@pytest.mark.parametrize("name", ["xonxoff", "rtscts", "dsrdtr", "rts", "dtr", "break_condition"])
@pytest.mark.parametrize("value,stored", [(1, True), ("no", True), ("", False), (0, False), ([], False)])
def test_truth_settings(port, name, value, stored):
    setattr(port, name, value)
    assert getattr(port, name) is stored


@pytest.mark.parametrize("name", ["xonxoff", "rtscts", "dsrdtr", "exclusive", "rts", "dtr", "break_condition"])
def test_truth_test_exception_propagates(port, name):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    before = getattr(port, name)
    with pytest.raises(ZeroDivisionError):
        setattr(port, name, Bad())
    assert getattr(port, name) == before


@pytest.mark.parametrize("value,stored", [(None, None), (True, True), (0, False), ("x", True)])
def test_exclusive(port, value, stored):
    port.exclusive = value
    assert port.exclusive is stored


def test_dsrdtr_none_follows_rtscts(port):
    port.rtscts = True
    port.dsrdtr = None
    assert port.dsrdtr is True
    port.rtscts = False
    port.dsrdtr = None
    assert port.dsrdtr is False
    assert Serial(dsrdtr=None, rtscts=True).dsrdtr is True
    assert Serial(xonxoff="no").xonxoff is True


@pytest.mark.parametrize("name", ["baudrate", "bytesize", "parity", "stopbits", "xonxoff", "rtscts", "dsrdtr",
                                  "timeout", "write_timeout", "inter_byte_timeout", "exclusive", "port", "rts",
                                  "dtr", "break_condition"])
def test_deleting_a_property(port, name):
    with pytest.raises(AttributeError):
        delattr(port, name)


@pytest.mark.parametrize("name", ["is_open", "name", "portstr", "cd", "ri", "cts", "dsr", "in_waiting",
                                  "out_waiting", "closed"])
def test_read_only_properties(port, name):
    with pytest.raises(AttributeError):
        setattr(port, name, 1)


CONSTRUCTOR_ORDER = [
    (dict(parity="X", stopbits=3), ValueError, "Not a valid parity: 'X'"),
    (dict(timeout=-1, inter_byte_timeout=-1), ValueError, "Not a valid timeout: -1"),
    (dict(parity="X", timeout="abc"), ValueError, "Not a valid timeout: 'abc'"),
    (dict(parity=5, baudrate="x"), ValueError, "Not a valid baudrate: 'x'"),
    (dict(parity=5), TypeError, None),
    (dict(stopbits=3, write_timeout=-2), ValueError, "Not a valid stop bit size: 3.0"),
    (dict(port=5), TypeError, None),
]


@pytest.mark.parametrize("kwargs,error,message", CONSTRUCTOR_ORDER)
def test_constructor_reports_first_failure(kwargs, error, message):
    with pytest.raises(error) as info:
        Serial(**kwargs)
    if message is not None:
        assert str(info.value) == message


def test_constructor_stores_nothing_on_failure():
    s = Serial("loop://", baudrate=19200)
    with pytest.raises(ValueError):
        s.__init__("loop://", baudrate=4800, parity="Q")
    assert s.baudrate == 19200 and s.is_open
    s.close()


def test_constructor_positional_and_keyword_clash():
    with pytest.raises(TypeError):
        Serial("loop://", port="loop://")
    with pytest.raises(TypeError):
        Serial(nonsense=1)
    with pytest.raises(TypeError):
        Serial(*range(13))


def test_new_ignores_arguments():
    s = Serial.__new__(Serial, 1, 2, x=3)
    assert s.port is None and s.baudrate == 9600 and not s.is_open

    class Mine(Serial):
        pass

    assert type(Mine.__new__(Mine)) is Mine


def test_reinit_same_name_reopens_and_none_closes():
    s = Serial("loop://", timeout=0)
    s.write(b"abc")
    s.__init__("loop://", timeout=0)
    assert s.is_open and s.in_waiting == 0  # a new loopback port
    with pytest.raises(SerialException, match=r"^Port must be configured before it can be used\.$"):
        s.__init__(None)
    assert not s.is_open and s.port is None


# --- settings dictionaries -----------------------------------------------------------------


def test_get_settings_defaults(port):
    d = port.get_settings()
    assert list(d.items()) == [("baudrate", 9600), ("bytesize", 8), ("parity", "N"), ("stopbits", 1),
                               ("xonxoff", False), ("dsrdtr", False), ("rtscts", False), ("timeout", None),
                               ("write_timeout", None), ("inter_byte_timeout", None)]
    assert type(d["stopbits"]) is int


def test_apply_settings_round_trip(port):
    port.apply_settings({"baudrate": 19200, "bytesize": 7, "parity": "E", "stopbits": 1.5, "xonxoff": 1,
                         "timeout": 2, "write_timeout": 0.5, "inter_byte_timeout": 0})
    d = port.get_settings()
    assert d == {"baudrate": 19200, "bytesize": 7, "parity": "E", "stopbits": 1.5, "xonxoff": True,
                 "dsrdtr": False, "rtscts": False, "timeout": 2, "write_timeout": 0.5, "inter_byte_timeout": 0}
    port.apply_settings(d)
    assert port.get_settings() == d


def test_apply_settings_failure_changes_nothing(port):
    with pytest.raises(ValueError, match=r"^Not a valid parity: 'X'$"):
        port.apply_settings({"baudrate": 19200, "parity": "X"})
    assert port.baudrate == 9600


def test_apply_settings_dsrdtr_none_takes_old_rtscts(port):
    port.apply_settings({"rtscts": True, "dsrdtr": None})
    assert port.rtscts is True and port.dsrdtr is False


def test_apply_settings_timeout_none_and_absent(port):
    port.timeout = 5
    port.apply_settings({})
    assert port.timeout == 5
    port.apply_settings({"timeout": None, "exclusive": True, "port": "loop://"})
    assert port.timeout is None and port.exclusive is None and port.port is None


def test_apply_settings_uses_get_by_name_and_stops_at_first_failure(port):
    asked = []

    class Mapping:
        def get(self, key, default):
            asked.append(key)
            return {"bytesize": 9}.get(key, default)

    with pytest.raises(ValueError, match="byte size"):
        port.apply_settings(Mapping())
    assert asked == ["baudrate", "bytesize"]

    class Defaults:
        def get(self, key, default):
            return default

    port.apply_settings(Defaults())
    assert port.get_settings()["baudrate"] == 9600
    with pytest.raises(AttributeError):
        port.apply_settings(object())
    port.apply_settings(d={})
    with pytest.raises(TypeError):
        port.apply_settings()


@pytest.mark.parametrize("key,value,error", [("parity", 1, TypeError), ("stopbits", "1", TypeError),
                                             ("timeout", -1, ValueError), ("baudrate", -1, ValueError)])
def test_apply_settings_refusals(port, key, value, error):
    with pytest.raises(error):
        port.apply_settings({key: value})


# --- port control --------------------------------------------------------------------------


@pytest.mark.parametrize("member", ["in_waiting", "out_waiting", "cd", "ri", "cts", "dsr"])
def test_closed_port_properties_raise(port, member):
    with pytest.raises(PortNotOpenError, match=r"^Attempting to use a port that is not open$"):
        getattr(port, member)


@pytest.mark.parametrize("method", ["reset_input_buffer", "reset_output_buffer", "fileno"])
def test_closed_port_methods_raise(port, method):
    with pytest.raises(PortNotOpenError):
        getattr(port, method)()


def test_closed_port_members_that_work(port):
    assert port.rts is True and port.dtr is True and port.break_condition is False
    assert port.is_open is False and port.port is None and port.name is None and port.portstr is None
    port.break_condition = True
    assert port.break_condition is True
    assert port.cancel_read() is None and port.cancel_write() is None
    port.close()
    port.close()


def test_open_errors(port):
    with pytest.raises(SerialException, match=r"^Port must be configured before it can be used\.$"):
        port.open()
    port.port = "loop://"
    port.open()
    with pytest.raises(SerialException, match=r"^Port is already open\.$"):
        port.open()
    assert port.is_open


def test_loopback_modem_lines_and_fileno(loop):
    assert loop.cd is True and loop.ri is False
    loop.rts = False
    loop.dtr = True
    assert loop.cts is False and loop.dsr is True
    loop.rts = True
    assert loop.cts is True
    import io

    with pytest.raises(io.UnsupportedOperation) as info:
        loop.fileno()
    assert info.value.args == ("fileno",)


@pytest.mark.parametrize("reset", ["reset_input_buffer", "reset_output_buffer"])
def test_loopback_queues(loop, reset):
    # One buffer seen from both ends: both counts report it and either reset empties it.
    loop.write(b"abcd")
    assert (loop.in_waiting, loop.out_waiting) == (4, 4)
    assert loop.read(1) == b"a"
    assert (loop.in_waiting, loop.out_waiting) == (3, 3)
    getattr(loop, reset)()
    assert (loop.in_waiting, loop.out_waiting) == (0, 0)


def test_port_setter(loop):
    assert loop.name == loop.portstr == "loop://"
    loop.write(b"x")
    loop.port = "loop://"  # the current name closes and reopens
    assert loop.is_open and loop.in_waiting == 0
    with pytest.raises(SerialException, match="configured"):
        loop.port = None
    assert not loop.is_open and loop.port is None
    for bad in (b"loop://", 5):
        with pytest.raises(TypeError):
            loop.port = bad


def test_destroying_an_open_object_closes_its_port():
    with pty_pair() as pty:
        s = Serial(pty.name, timeout=0)
        assert s.is_open
        del s
        # Released by the close: a second exclusive opener gets in again.
        t = Serial(pty.name, exclusive=True, timeout=0)
        assert t.is_open
        t.close()


def test_destroying_an_object_with_unread_output_lets_other_threads_run():
    # The slave holds output the master never reads; the close runs with the interpreter
    # released, so the ticking thread keeps going and nothing hangs.
    import threading
    import time

    with pty_pair() as pty:
        s = Serial(pty.name, timeout=0, write_timeout=0)
        s.write(b"x" * 2048)
        ticks = []
        ticking = threading.Event()
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(time.monotonic())
                ticking.set()
                time.sleep(0.005)

        t = threading.Thread(target=ticker)
        t.start()
        try:
            # The deletion takes well under a millisecond: make sure the ticker is already running
            # through it, then that it still runs after it.
            assert ticking.wait(5)
            del s
            seen = len(ticks)
            deadline = time.monotonic() + 5
            while len(ticks) == seen and time.monotonic() < deadline:
                time.sleep(0.005)
            assert len(ticks) > seen
        finally:
            stop.set()
            t.join(5)
        assert not t.is_alive()


# --- pseudo-terminals: reconfiguration and rollback -----------------------------------------


def termios_speed(fd):
    import fcntl
    import struct

    TCGETS2 = 0x802C542A
    buf = fcntl.ioctl(fd, TCGETS2, bytes(44))
    return struct.unpack("4I B 19s 2I", buf)[-1]


def test_pty_baudrate_applied_to_device():
    with pty_pair() as pty:
        s = Serial(pty.name, baudrate=19200, timeout=0)
        assert termios_speed(pty.slave) == 19200
        s.baudrate = 123457
        assert termios_speed(pty.slave) == 123457
        s.apply_settings({"baudrate": 57600, "stopbits": 2})
        assert termios_speed(pty.slave) == 57600
        s.close()
        s.baudrate = 4800  # closed: stored only, used at the next open
        assert termios_speed(pty.slave) == 57600
        s.open()
        assert termios_speed(pty.slave) == 4800
        s.close()


LINE_CHANGES = [("baudrate", 19200), ("bytesize", 7), ("parity", "E"), ("stopbits", 2), ("xonxoff", True),
                ("rtscts", True), ("dsrdtr", True)]
STORE_ONLY = [("timeout", 3), ("write_timeout", 1.5), ("inter_byte_timeout", 0), ("exclusive", True)]


@pytest.fixture
def hung_up():
    # After the master goes, every change of the device's settings fails with EIO.
    with pty_pair() as pty:
        s = Serial(pty.name, timeout=0)
        pty.hang_up()
        yield s
        s.close()


@pytest.mark.parametrize("name,value", LINE_CHANGES)
def test_failed_reconfiguration_restores_every_field(hung_up, name, value):
    before = hung_up.get_settings()
    exclusive = hung_up.exclusive
    with pytest.raises(SerialException):
        setattr(hung_up, name, value)
    assert hung_up.get_settings() == before
    assert hung_up.exclusive == exclusive
    assert hung_up.is_open  # a failed change never closes the port


def test_failed_apply_settings_restores_all(hung_up):
    before = hung_up.get_settings()
    with pytest.raises(SerialException):
        hung_up.apply_settings({"baudrate": 38400, "bytesize": 6, "parity": "O", "timeout": 7, "xonxoff": True})
    assert hung_up.get_settings() == before


@pytest.mark.parametrize("name,value", STORE_ONLY + [("baudrate", 9600), ("parity", "N"), ("bytesize", 8)])
def test_unchanged_or_store_only_settings_make_no_device_call(hung_up, name, value):
    setattr(hung_up, name, value)  # would raise if the device were touched
    assert getattr(hung_up, name) == value
    hung_up.apply_settings({})
    hung_up.apply_settings(hung_up.get_settings())


def test_failed_reinit_keeps_old_settings_and_name(hung_up):
    name = hung_up.port
    with pytest.raises(SerialException):
        hung_up.__init__("loop://", baudrate=1200)
    assert hung_up.port == name and hung_up.baudrate == 9600 and hung_up.is_open


def test_pty_modem_lines():
    with pty_pair() as pty:
        s = Serial(pty.name, timeout=0)
        # A pty has no modem lines: direct line changes report it.
        with pytest.raises(SerialException):
            s.dtr = False
        assert s.dtr is False  # the level is remembered all the same
        s.rtscts = True
        s.rts = False  # owned by flow control: remembered only
        assert s.rts is False
        assert isinstance(s.fileno(), int)
        s.close()

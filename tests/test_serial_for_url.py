import inspect
import pathlib

import pytest

import quorvelin
from quorvelin import Serial, SerialBase, SerialException, serial_for_url

ACCEPTED = ["loop://", "LOOP://", "Loop://anything", "loop://a://b"]
REFUSED = [("socket://localhost:7000", "'socket'"), ("rfc2217://host:2217", "'rfc2217'"), ("://x", "''"),
           ("SOCKET://host", "'socket'"), ("Über://x", "'über'")]


@pytest.mark.parametrize("url", ACCEPTED)
def test_loop_schemes_open(url):
    s = serial_for_url(url, timeout=0)
    assert type(s) is Serial and s.is_open and s.port == url
    s.close()


@pytest.mark.parametrize("url,shown", REFUSED)
def test_other_schemes_refused(url, shown):
    with pytest.raises(ValueError) as info:
        serial_for_url(url)
    assert str(info.value) == f"invalid URL, protocol {shown} not known"
    with pytest.raises(ValueError):
        serial_for_url(url, do_not_open=True)


def test_device_path_without_scheme_is_opened_as_a_device():
    with pytest.raises(SerialException):
        serial_for_url("/dev/does-not-exist-quorvelin")


def test_arguments_are_passed_on():
    s = serial_for_url("loop://", 19200, 7, timeout=1, do_not_open=True)
    assert s.baudrate == 19200 and s.bytesize == 7 and s.timeout == 1
    assert not s.is_open and s.port == "loop://"
    s = serial_for_url(url="loop://", do_not_open=0)
    assert s.is_open
    s.close()


@pytest.mark.parametrize("call,error", [
    (lambda: serial_for_url("loop://", port="loop://"), TypeError),
    (lambda: serial_for_url(), TypeError),
    (lambda: serial_for_url("loop://", url="loop://"), TypeError),
    (lambda: serial_for_url(b"loop://"), TypeError),
    (lambda: serial_for_url(pathlib.Path("/dev/x")), TypeError),
    (lambda: serial_for_url(None), SerialException),
    (lambda: serial_for_url("loop://", nonsense=1), TypeError),
])
def test_failures(call, error):
    with pytest.raises(error):
        call()


def test_none_without_open():
    s = serial_for_url(None, do_not_open=True)
    assert s.port is None and not s.is_open


def test_lone_surrogate_url():
    with pytest.raises(UnicodeEncodeError):
        serial_for_url("loop://\udc80")


def test_do_not_open_truth_error():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        serial_for_url("socket://x", do_not_open=Bad())


# --- overrides looked up by name -------------------------------------------------------------


class Recording(Serial):
    calls = []

    def open(self):
        self.calls.append("open")
        super().open()

    def close(self):
        self.calls.append("close")
        super().close()

    def read(self, size=1):
        self.calls.append(("read", size))
        return super().read(size)

    @property
    def in_waiting(self):
        self.calls.append("in_waiting")
        return 2


def test_constructor_calls_open():
    Recording.calls = []
    s = Recording("loop://", timeout=0)
    assert Recording.calls == ["open"]
    s.close()


def test_enter_exit_call_open_and_close():
    s = Recording(timeout=0)
    s.port = "loop://"
    Recording.calls = []
    with s:
        pass
    assert Recording.calls == ["open", "close"]
    s.open()
    Recording.calls = []
    with s:  # already open: not opened again
        pass
    assert Recording.calls == ["close"]


def test_read_all_uses_in_waiting_and_read():
    s = Recording("loop://", timeout=0)
    s.write(b"abcd")
    Recording.calls = []
    assert s.read_all() == b"ab"
    assert Recording.calls == ["in_waiting", ("read", 2)]
    s.close()


def test_for_url_builds_the_blocking_class_itself():
    s = serial_for_url("loop://", do_not_open=True)
    assert type(s) is Serial


# --- signatures and docstrings --------------------------------------------------------------

SIGNATURES = [
    (Serial.read, "($self, size=1)"),
    (Serial.read_until, "(self, /, expected=b'\\n', size=None)"),
    (Serial.readline, "(self, /, size=-1)"),
    (Serial.readlines, "(self, /, hint=-1)"),
    (Serial.readinto, "($self, b)"),
    (Serial.read_all, "($self)"),
    (Serial.write, "($self, data)"),
    (Serial.flush, "($self)"),
    (Serial.send_break, "($self, duration=0.25)"),
    (Serial.readable, "($self)"),
    (Serial.writable, "($self)"),
    (Serial.seekable, "($self)"),
    (Serial.__enter__, "($self)"),
    (Serial.__exit__, "($self, *_args)"),
    (SerialBase.open, "($self)"),
    (SerialBase.close, "($self)"),
    (SerialBase.reset_input_buffer, "($self)"),
    (SerialBase.reset_output_buffer, "($self)"),
    (SerialBase.cancel_read, "($self)"),
    (SerialBase.cancel_write, "($self)"),
    (SerialBase.fileno, "($self)"),
    (SerialBase.get_settings, "($self)"),
    (SerialBase.apply_settings, "($self, d)"),
    (serial_for_url, "(url, *args, do_not_open=False, **kwargs)"),
    (Serial, "(*_args, **_kwargs)"),
]


@pytest.mark.parametrize("member,signature", SIGNATURES)
def test_text_signatures(member, signature):
    assert member.__text_signature__ == signature


@pytest.mark.parametrize("member", [m for m, _ in SIGNATURES[:-2]])
def test_method_docstrings_are_only_signatures(member):
    assert member.__doc__ is None


def test_docstrings():
    assert serial_for_url.__doc__ == "Returns a `Serial` for `url`, which is a device name or `loop://`."
    assert Serial.__doc__ and "blocking" in Serial.__doc__
    for name in ["baudrate", "timeout", "is_open", "closed", "port"]:
        assert getattr(Serial, name).__doc__ is None
    assert serial_for_url.__module__ == quorvelin._quorvelin.__name__
    assert serial_for_url.__self__ is quorvelin._quorvelin


def test_module_all_holds_the_serial_api():
    names = quorvelin._quorvelin.__all__
    start = names.index("PortNotOpenError")
    assert names[start:start + 5] == ["PortNotOpenError", "Baudrate", "SerialBase", "Serial", "serial_for_url"]
    assert quorvelin.Serial is Serial and quorvelin.Baudrate is quorvelin._quorvelin.Baudrate

"""A short tour of quorvelin that needs no hardware: bytes through the loopback port."""

import sys

import quorvelin

print(f"quorvelin {quorvelin.__version__} on Python {sys.version.split()[0]}"
      f" (GIL enabled: {sys._is_gil_enabled()})")

with quorvelin.serial_for_url("loop://", baudrate=115200, timeout=1) as port:
    port.write(b"hello, serial world\n")
    line = port.readline()
    print(f"wrote and read back over {port.port}: {line!r}")
    port.write("text works too: \u00e9\n")
    print(f"and again: {port.readline()!r}")

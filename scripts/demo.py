"""A short tour of quorvelin that needs no hardware."""

import sys

import quorvelin

print(f"quorvelin {quorvelin.__version__} on Python {sys.version.split()[0]}"
      f" (GIL enabled: {sys._is_gil_enabled()})")
print("parities:", ", ".join(f"{k}={v}" for k, v in quorvelin.PARITY_NAMES.items()))
print("exceptions:", quorvelin.SerialException.__name__, quorvelin.SerialTimeoutException.__name__,
      quorvelin.PortNotOpenError.__name__)

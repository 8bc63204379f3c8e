"""A short tour of quorvelin that needs no hardware: bytes through the loopback port, blocking
and asyncio."""

import asyncio
import sys

import quorvelin
from quorvelin import aio

print(f"quorvelin {quorvelin.__version__} on Python {sys.version.split()[0]}"
      f" (GIL enabled: {sys._is_gil_enabled()})")

with quorvelin.serial_for_url("loop://", baudrate=115200, timeout=1) as port:
    port.write(b"hello, serial world\n")
    line = port.readline()
    print(f"wrote and read back over {port.port}: {line!r}")
    port.write("text works too: \u00e9\n")
    print(f"and again: {port.readline()!r}")


class Printer(asyncio.Protocol):
    def __init__(self):
        self.done = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):
        print(f"asyncio protocol connected over {transport.serial.port}")

    def data_received(self, data):
        print(f"  data_received({bytes(data)!r})")
        if data.endswith(b"\n"):
            self.done.set_result(None)

    def connection_lost(self, exc):
        print(f"  connection_lost({exc!r})")


async def tour():
    async with aio.serial_for_url("loop://", timeout=1) as port:
        await port.write(b"awaited\n")
        print(f"asyncio Serial: await port.readline() -> {await port.readline()!r}")

    loop = asyncio.get_running_loop()
    transport, protocol = await aio.create_serial_connection(loop, Printer, "loop://")
    transport.write(b"through the transport\n")
    await asyncio.wait_for(protocol.done, 5)
    transport.close()
    await asyncio.sleep(0.05)

    reader, writer = await aio.open_serial_connection(url="loop://")
    writer.write(b"AT\r\nOK\r\n")
    print(f"streams: {await reader.readuntil(b'OK')!r}")
    writer.close()
    await writer.wait_closed()


asyncio.run(tour())

"""Serial ports for free-threaded Python: a blocking API, an asyncio API and port listing."""

from ._quorvelin import *  # noqa: F401,F403
from ._quorvelin import __all__, __version__  # noqa: F401

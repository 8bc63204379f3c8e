import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(autouse=True, scope="session")
def _installed_package_only():
    # The tests exercise the package as installed, never the source tree.
    import quorvelin

    assert not pathlib.Path(quorvelin.__file__).resolve().is_relative_to(REPO / "quorvelin"), quorvelin.__file__
    assert sys._is_gil_enabled() is False

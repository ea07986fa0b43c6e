import pytest

import tarvik


@pytest.fixture(scope="session")
def panic_exception():
    """The exception class for internal faults. It is not a module attribute, so provoke one."""
    try:
        tarvik.PyNDArray([], [])
    except BaseException as error:  # noqa: BLE001 - the point is to catch what Exception misses
        return type(error)
    raise AssertionError("a length mismatch did not fault")

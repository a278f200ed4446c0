"""A native coroutine keeps alive what it refers to after its function changes."""
import gc
import warnings

import pytest

from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell


def fresh(text):
    """A new str object equal to `text` (never an interned or shared one)."""
    return "".join(list(text))


def observe_qualname(held):
    coro = held.pop()
    try:
        return coro.__qualname__
    finally:
        coro.close()


def observe_never_awaited(held):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        held.pop()
        gc.collect()
    messages = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(messages) == 1 and messages[0].endswith("' was never awaited"), messages
    return messages[0].split("'")[1]


@pytest.mark.parametrize("function, args", [(tidewell.get_sync_status, ()), (parcelry.list_parcelry, (1,)),
                                            (keyfolio.list_keyfolio, ())], ids=["tidewell", "parcelry", "keyfolio"])
@pytest.mark.parametrize("observe", [observe_qualname, observe_never_awaited], ids=["__qualname__", "warning"])
def test_coroutine_keeps_the_qualname_it_was_created_with(monkeypatch, function, args, observe):
    # As a Python coroutine does: rebinding the function's __qualname__ later
    # changes nothing, even when it drops the last other reference to the name.
    expected = "renamed_" + function.__name__
    monkeypatch.setattr(function, "__qualname__", "other")  # restored afterwards
    function.__qualname__ = fresh(expected)  # (monkeypatch would keep a reference to it)
    held = [function(*args)]
    function.__qualname__ = "other"
    reuse = [fresh("x" * len(expected)) for _ in range(64)]  # same size: takes a freed block back
    assert observe(held) == expected
    del reuse

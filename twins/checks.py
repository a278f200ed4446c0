"""Argument and return checks shared by the twins, with the native messages.

`entry` splits a twin into what happens when the function is called (argument
conversion, before the coroutine exists) and the coroutine body, as the native
function type does.
"""
import functools


def to_int(name, value):
    if type(value) is int:
        return value
    kind = type(value)
    if not (hasattr(kind, "__index__") or hasattr(kind, "__int__") or hasattr(kind, "__float__")
            or isinstance(value, complex)):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {kind.__name__})")
    return int(value)


def exact(name, expected, value, optional=False):
    if type(value) is expected or (optional and value is None):
        return value
    kind = type(value)
    if isinstance(value, expected):
        raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {kind.__name__}). "
                        f"Subclasses of built-in types are not accepted; an exact {expected.__name__} instance "
                        f"is required.")
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {kind.__name__})")


def expect_str(value):
    if type(value) is str or value is None:
        return value
    raise TypeError(f"Expected str, got {type(value).__name__}")


def expect_int(value):
    if type(value) is int or value is None:
        return value
    if hasattr(type(value), "__index__") or hasattr(type(value), "__int__") or hasattr(type(value), "__float__"):
        return int(value)
    raise TypeError(f"Expected int, got {type(value).__name__}")


def entry(convert):
    """Marks a twin whose arguments the native function converts at the call, before the
    coroutine exists: `convert(*args, **kwargs) -> arguments` (a tuple, in the body's order).

    The twin itself stays a plain coroutine function: its body starts with a type test that
    falls back to `convert`, which costs the timed call what the same Python would cost. The
    differential harness, which must see a refused argument at the call, wraps the marked
    twins with `at_call`."""
    def mark(body):
        body.convert_at_call = convert
        return body
    return mark


def at_call(body):
    """`body` with its arguments converted when it is called, as the native function does."""
    convert = body.convert_at_call

    def call(*args, **kwargs):
        return body(*convert(*args, **kwargs))
    return functools.wraps(body)(call)

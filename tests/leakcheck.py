"""The shared measure of the leak loops: memory blocks still allocated after many calls."""
import gc
import sys

CALLS = 100_000
ALLOWED_GROWTH = 200


def blocks_grown(step, calls=CALLS, warmup=1000):
    """Runs `step` `warmup` times, then `calls` times; returns how many more blocks are allocated."""
    for _ in range(warmup):
        step()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(calls):
        step()
    gc.collect()
    return sys.getallocatedblocks() - before


def drive(call, errors=(Exception,)):
    """One coroutine call driven to its end without an event loop: its value, or the type of its error."""
    try:
        coro = call()
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    except errors as error:
        return type(error)
    raise AssertionError("the coroutine suspended")

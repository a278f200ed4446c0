"""Plain-Python twins of the native modules' functions, one module per native module.

Each twin takes the same steps as its native function, in the same order, and finds its
collaborators the same way: as module-level names looked up when used. Whoever uses a twin
binds those names on its module, as the native import tables bind them: the differential
tests bind recording doubles (tests/differential/), the benchmarks fast ones (bench/calls.py).
So what is compared and what is timed is one and the same code.

The twins are plain Python on purpose (no frame or code-object tricks), so that they also
compile unchanged as Cython pure-Python modules.
"""

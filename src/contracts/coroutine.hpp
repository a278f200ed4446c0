// The Python coroutine and generator objects that run C++ coroutine bodies.
//
// One core follows CPython's own rules for both (Objects/genobject.c): lazy
// start, send/throw/close, am_send, delegation to the awaited or `yield from`
// iterator, "already executing", "cannot reuse already awaited coroutine",
// GeneratorExit handling, the RuntimeWarning for a coroutine that is never
// awaited, finalisation by close(), and the garbage collector's view of the
// frame. Coroutines add __await__; generators add __iter__.
#pragma once

#include "task.hpp"

namespace py {

// Creates the coroutine object for a Task that has not started yet.
// The coroutine keeps `function` (which owns `origin.code`) and the names alive.
PyObject* make_coroutine(Task body, PyObject* function, const Origin& origin) noexcept;

bool ready_coroutine_type(PyObject* module) noexcept;

}  // namespace py

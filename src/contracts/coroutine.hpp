// The Python coroutine object that runs a Task body.
//
// It follows CPython's own coroutine rules: lazy start, send/throw/close,
// __await__ returning itself, am_send, "cannot reuse already awaited
// coroutine", GeneratorExit handling and the RuntimeWarning for a coroutine
// that is never awaited.
#pragma once

#include "task.hpp"

namespace py {

// Creates the coroutine object for a Task that has not started yet.
// The coroutine keeps `function` (which owns `origin.code`) and `origin.qualname` alive.
PyObject* make_coroutine(Task body, PyObject* function, const Origin& origin) noexcept;

bool ready_coroutine_type(PyObject* module) noexcept;

}  // namespace py

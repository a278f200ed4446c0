// Rules that coroutine and generator objects share, as CPython's genobject.c has them.
#pragma once

#include <optional>

#include "py.hpp"

namespace py::protocol {

// throw(typ[, val[, tb]]): checks the arguments as the host does and sets the
// error to raise; false (with TypeError set) for arguments that cannot be raised.
bool set_thrown(PyObject* typ, PyObject* val, PyObject* tb) noexcept;

// What send(), throw() and __next__ hand back for a send result: the yielded
// value, or NULL with StopIteration carrying the returned value (wrapped when
// it is a tuple or an exception). `none_needs_stop` is false for __next__,
// which may return NULL without an error for a None result.
PyObject* call_result(PySendResult status, PyObject* result, bool none_needs_stop) noexcept;

// Sends `value` into the iterator being delegated to, as `await` and
// `yield from` do. True when it yielded (*yielded is then set); otherwise it
// ended, is dropped, and its return value is left in `sent` or its error in `thrown`.
bool send_to_delegate(Ref& delegate, PyObject* value, PyObject** yielded, Ref& sent,
                      std::optional<PyError>& thrown) noexcept;

// Calls `iterator.close()` when it has one; -1 with the error set if that failed.
int close_iterator(PyObject* iterator) noexcept;

// The error now set enters a body that is handling `handled` (an error thrown
// in, or the error its delegate raised on a throw): it takes that exception as
// its __context__, replacing any other, with cycles in the chain broken, as
// the host chains an error raised into a resumed frame.
void chain_to_handled(_PyErr_StackItem& handled) noexcept;

// A StopIteration leaving a body becomes RuntimeError "<what> raised StopIteration".
void forbid_stop_iteration(const char* what) noexcept;

}  // namespace py::protocol

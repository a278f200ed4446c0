#include "protocol.hpp"

namespace py::protocol {

bool set_thrown(PyObject* typ, PyObject* val, PyObject* tb) noexcept {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(typ)) {
        Py_INCREF(typ);
        Py_XINCREF(val);
        Py_XINCREF(tb);
        PyErr_NormalizeException(&typ, &val, &tb);
        PyErr_Restore(typ, val, tb);
        return true;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        PyObject* traceback = tb ? Py_NewRef(tb) : PyException_GetTraceback(typ);
        PyErr_Restore(Py_NewRef(PyExceptionInstance_Class(typ)), Py_NewRef(typ), traceback);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
}

PyObject* call_result(PySendResult status, PyObject* result, bool none_needs_stop) noexcept {
    if (status != PYGEN_RETURN) return result;
    if (result == Py_None) {
        if (none_needs_stop) PyErr_SetNone(PyExc_StopIteration);
    } else {
        _PyGen_SetStopIterationValue(result);
    }
    Py_DECREF(result);
    return nullptr;
}

bool send_to_delegate(Ref& delegate, PyObject* value, PyObject** yielded, Ref& sent,
                      std::optional<PyError>& thrown) noexcept {
    PyObject* result = nullptr;
    PySendResult status = PyIter_Send(delegate.get(), value, &result);
    if (status == PYGEN_NEXT) {
        *yielded = result;
        return true;
    }
    delegate.reset();
    if (status == PYGEN_RETURN) {
        sent = Ref::steal(result);
    } else {
        thrown.emplace();
    }
    return false;
}

int close_iterator(PyObject* iterator) noexcept {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(iterator, "close"_n, &close) < 0) return -1;
    if (!close) return 0;
    PyObject* result = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

void chain_to_handled(_PyErr_StackItem& handled) noexcept {
    if (!handled.exc_value || handled.exc_value == Py_None) return;
    // PyErr_SetObject chains to the innermost exception being handled: for
    // the moment, that is the body's.
    PyThreadState* tstate = PyThreadState_Get();
    _PyErr_StackItem* saved = tstate->exc_info;
    tstate->exc_info = &handled;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // As the host does, the traceback set again is the value's own __traceback__.
    PyErr_SetObject(type, value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    tstate->exc_info = saved;
}

void forbid_stop_iteration(const char* what) noexcept {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) _PyErr_FormatFromCause(PyExc_RuntimeError, "%s raised StopIteration", what);
}

}  // namespace py::protocol

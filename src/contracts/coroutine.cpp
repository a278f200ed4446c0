#include "coroutine.hpp"
#include "protocol.hpp"

#include <frameobject.h>

#include <new>
#include <optional>

namespace py {

namespace {

enum class State { created, suspended, running, finished };

struct Coroutine {
    PyObject_HEAD
    PyObject* weakrefs;
    PyObject* function;
    // C++ members, constructed in make_coroutine and destroyed in dealloc.
    struct Body {
        std::optional<Task> task;
        Driver driver;
        Origin origin;
        State state = State::created;
        // Owns origin.qualname: the function's __qualname__ may be rebound
        // while the coroutine lives, and keeps the name it was created with.
        Ref qualname;
        Ref name;  // __name__ at creation
        // The frame goes first: its destructors may still use the driver.
        ~Body() { task.reset(); }
    }* body;
};

PyTypeObject coroutine_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

Coroutine* as_coroutine(PyObject* self) { return reinterpret_cast<Coroutine*>(self); }

// While the body (or what it awaits) runs, its handled-exception state sits on
// the thread's stack of them, exactly where a Python coroutine's would.
class Running {
public:
    explicit Running(Coroutine* c) noexcept : tstate_(PyThreadState_Get()), item_(&c->body->driver.exc_state) {
        item_->previous_item = tstate_->exc_info;
        tstate_->exc_info = item_;
    }
    ~Running() {
        tstate_->exc_info = item_->previous_item;
        item_->previous_item = nullptr;
    }

private:
    PyThreadState* tstate_;
    _PyErr_StackItem* item_;
};

void finish(Coroutine* c) {
    c->body->state = State::finished;
    Py_CLEAR(c->body->driver.exc_state.exc_type);
    Py_CLEAR(c->body->driver.exc_state.exc_value);
    Py_CLEAR(c->body->driver.exc_state.exc_traceback);
    c->body->driver.delegate = nullptr;
    c->body->driver.sent = nullptr;
    c->body->driver.thrown.reset();
    c->body->driver.innermost = nullptr;
    c->body->task.reset();  // frees the frame and everything it still holds
}

// The body ended with the error now set: StopIteration may not leave a
// coroutine, and the error records that it passed through this function.
void leave_with_error(Coroutine* c) {
    protocol::forbid_stop_iteration("coroutine");
    // An error raised in the body or that came in through an await already names this function.
    add_traceback_once(c->body->origin);
}

// Resumes the body until it suspends on an awaitable that yields, or ends.
PySendResult drive(Coroutine* c, PyObject** presult) {
    Driver& d = c->body->driver;
    RunningBody running(&c->body->origin);
    for (;;) {
        d.current.resume();
        auto root = c->body->task->handle();
        if (root.done()) {
            // Take the outcome out before the frame goes: its destructors may
            // run Python code, which must not see an error already set.
            auto& promise = root.promise();
            std::optional<PyError> error = std::move(promise.error);
            Ref result = std::move(promise.result);
            finish(c);
            if (error) {
                error->restore();
                leave_with_error(c);
                return PYGEN_ERROR;
            }
            *presult = result ? result.release() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        // Suspended on a new awaitable: start it, as `await` does, with None.
        if (protocol::send_to_delegate(d.delegate, Py_None, presult, d.sent, d.thrown)) return PYGEN_NEXT;
    }
}

PySendResult resume_body(Coroutine* c, PyObject** presult) {
    c->body->state = State::running;
    PySendResult status = drive(c, presult);
    if (status == PYGEN_NEXT) c->body->state = State::suspended;
    return status;
}

// send(arg), or with `throwing` the error now set, raised where the body waits.
PySendResult send_ex(Coroutine* c, PyObject* arg, bool throwing, bool closing, PyObject** presult) {
    *presult = nullptr;
    if (c->body->state == State::running) {
        // Checked before the body's exception state is pushed: it is on the
        // thread's stack already, and pushing it twice would make a cycle.
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    Running running(c);
    auto& b = *c->body;
    switch (b.state) {
        case State::running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case State::finished:
            if (!closing) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case State::created:
            if (throwing) {
                // Thrown into before it ever ran: the body never starts.
                PyError error;
                finish(c);
                error.restore();
                leave_with_error(c);
                return PYGEN_ERROR;
            }
            if (arg && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            b.state = State::running;
            b.driver.current = b.task->handle();
            break;
        case State::suspended:
            b.state = State::running;
            if (throwing) {
                b.driver.delegate = nullptr;
                b.driver.thrown.emplace();
            } else {
                // The value goes to the awaitable the body is waiting on.
                Driver& d = b.driver;
                if (protocol::send_to_delegate(d.delegate, arg ? arg : Py_None, presult, d.sent, d.thrown)) {
                    b.state = State::suspended;
                    return PYGEN_NEXT;
                }
            }
            break;
    }
    return resume_body(c, presult);
}

PySendResult am_send(PyObject* self, PyObject* arg, PyObject** presult) {
    return send_ex(as_coroutine(self), arg, false, false, presult);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult status = send_ex(as_coroutine(self), arg, false, false, &result);
    return protocol::call_result(status, result, true);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = send_ex(as_coroutine(self), nullptr, false, false, &result);
    return protocol::call_result(status, result, false);
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

// Closes the awaitable being delegated to, as close() must before it raises
// GeneratorExit in the body. Returns -1 with an error set if that failed.
// As the host's, it runs with the caller's handled exception, not the body's.
int close_delegate(Coroutine* c) {
    Ref delegate = c->body->driver.delegate;
    if (!delegate) return 0;
    auto previous = c->body->state;
    c->body->state = State::running;
    int status = protocol::close_iterator(delegate.get());
    c->body->state = previous;
    return status;
}

PySendResult resume_with_error(Coroutine* c, PyObject** presult) {
    return send_ex(c, Py_None, true, false, presult);
}

PyObject* throw_here(Coroutine* c, PyObject* typ, PyObject* val, PyObject* tb) {
    if (!protocol::set_thrown(typ, val, tb)) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = resume_with_error(c, &result);
    return protocol::call_result(status, result, true);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    Coroutine* c = as_coroutine(self);
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    Ref delegate = c->body->driver.delegate;
    if (delegate && c->body->state == State::suspended) {
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            if (close_delegate(c) < 0) {
                c->body->driver.delegate = nullptr;
                PyObject* result = nullptr;
                PySendResult status = resume_with_error(c, &result);
                return protocol::call_result(status, result, true);
            }
            c->body->driver.delegate = nullptr;
            return throw_here(c, typ, val, tb);
        }
        PyObject* method = nullptr;
        if (_PyObject_LookupAttr(delegate.get(), "throw"_n, &method) < 0) return nullptr;
        if (!method) {
            c->body->driver.delegate = nullptr;
            return throw_here(c, typ, val, tb);
        }
        c->body->state = State::running;
        PyObject* call_args[3] = {typ, val ? val : Py_None, tb ? tb : Py_None};
        PyObject* yielded = PyObject_Vectorcall(method, call_args, static_cast<size_t>(nargs), nullptr);
        c->body->state = State::suspended;
        Py_DECREF(method);
        if (yielded) return yielded;
        // The awaitable ended: its value or its error goes on into the body.
        c->body->driver.delegate = nullptr;
        PyObject* value = nullptr;
        PyObject* result = nullptr;
        PySendResult status;
        if (_PyGen_FetchStopIterationValue(&value) == 0) {
            c->body->driver.sent = Ref::steal(value);
        } else {
            c->body->driver.thrown.emplace();
        }
        {
            Running running(c);
            status = resume_body(c, &result);
        }
        return protocol::call_result(status, result, true);
    }
    return throw_here(c, typ, val, tb);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    Coroutine* c = as_coroutine(self);
    int err = 0;
    if (c->body->driver.delegate && c->body->state == State::suspended) {
        err = close_delegate(c);
        c->body->driver.delegate = nullptr;
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* result = nullptr;
    PySendResult status = send_ex(c, Py_None, true, true, &result);
    if (status != PYGEN_ERROR) {
        Py_DECREF(result);
        // A return during close is a normal finish.
        if (status == PYGEN_RETURN) Py_RETURN_NONE;
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void coro_finalize(PyObject* self) {
    Coroutine* c = as_coroutine(self);
    if (c->body->state == State::finished) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (c->body->state == State::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->body->origin.qualname) < 0)
            PyErr_WriteUnraisable(self);
        finish(c);
    } else {
        PyObject* result = coro_close(self, nullptr);
        if (result)
            Py_DECREF(result);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Coroutine* c = as_coroutine(self);
    Py_VISIT(c->function);
    State state = c->body->state;
    return c->body->driver.traverse(visit, arg, state == State::created || state == State::suspended);
}

// Reached only for garbage, after the finaliser closed the body: what is
// left (a body that would not close) goes with its frame.
int coro_clear(PyObject* self) {
    Coroutine* c = as_coroutine(self);
    if (c->body->state != State::running) finish(c);
    return 0;
}

void coro_dealloc(PyObject* self) {
    Coroutine* c = as_coroutine(self);
    // As CPython's generators: weak references go first, and the finaliser
    // runs on a tracked object, so one it resurrects stays collectable.
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    delete c->body;
    Py_CLEAR(c->function);
    Py_TYPE(self)->tp_free(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->body->origin.qualname, self);
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->body->origin.qualname); }
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->body->name.get()); }
PyObject* get_await(PyObject* self, void*) {
    PyObject* d = as_coroutine(self)->body->driver.delegate.get();
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->body->state == State::running);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, am_send};

}  // namespace

void add_traceback(const Origin& origin) noexcept {
    if (!origin.code) {
        PyObject* name = origin.qualname;
        const char* text = name ? PyUnicode_AsUTF8(name) : nullptr;
        if (!text) {
            PyErr_Clear();
            text = "?";
        }
        _PyTraceback_Add(text, origin.file, origin.line);
        return;
    }
    // As _PyTraceback_Add does, but with the function's own code object
    // instead of a new one for every error.
    static PyObject* globals = PyDict_New();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject* frame =
        globals ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(origin.code), globals, nullptr)
                : nullptr;
    if (!frame) {
        _PyErr_ChainExceptions(type, value, tb);
        return;
    }
    frame->f_lineno = origin.line;
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void add_traceback_once(const Origin& origin) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool named = false;
    if (tb && PyTraceBack_Check(tb)) {
        PyCodeObject* code = reinterpret_cast<PyTracebackObject*>(tb)->tb_frame->f_code;
        named = origin.code ? code == reinterpret_cast<PyCodeObject*>(origin.code)
                            : PyUnicode_Compare(code->co_name, origin.qualname) == 0 &&
                                  PyUnicode_CompareWithASCIIString(code->co_filename, origin.file) == 0;
    }
    PyErr_Restore(type, value, tb);
    if (!named) add_traceback(origin);
}

PyObject* make_coroutine(Task body, PyObject* function, const Origin& origin) noexcept {
    auto* c = PyObject_GC_New(Coroutine, &coroutine_type);
    if (!c) return nullptr;
    c->weakrefs = nullptr;
    c->function = Py_NewRef(function);
    c->body = new (std::nothrow) Coroutine::Body{};
    if (!c->body) {
        Py_DECREF(c->function);
        PyObject_GC_Del(c);
        return PyErr_NoMemory();
    }
    c->body->qualname = Ref::borrow(origin.qualname);
    c->body->name = Ref::borrow(origin.name ? origin.name : origin.qualname);
    c->body->origin = origin;
    c->body->driver.origin = &c->body->origin;
    c->body->task.emplace(std::move(body));
    c->body->task->handle().promise().driver = &c->body->driver;
    c->body->driver.innermost = &c->body->task->handle().promise();
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

bool ready_coroutine_type(PyObject*) noexcept {
    if (coroutine_type.tp_flags & Py_TPFLAGS_READY) return true;
    coroutine_type.tp_name = "zentab_coroutine";
    coroutine_type.tp_basicsize = sizeof(Coroutine);
    coroutine_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    coroutine_type.tp_doc = "Coroutine object of a native coroutine function.";
    coroutine_type.tp_dealloc = coro_dealloc;
    coroutine_type.tp_repr = coro_repr;
    coroutine_type.tp_traverse = coro_traverse;
    coroutine_type.tp_clear = coro_clear;
    coroutine_type.tp_finalize = coro_finalize;
    coroutine_type.tp_weaklistoffset = offsetof(Coroutine, weakrefs);
    coroutine_type.tp_iternext = coro_iternext;
    coroutine_type.tp_methods = coro_methods;
    coroutine_type.tp_getset = coro_getset;
    coroutine_type.tp_as_async = &coro_as_async;
    return PyType_Ready(&coroutine_type) == 0;
}

}  // namespace py

// Python generator objects whose body is a C++20 coroutine.
//
//     py::Generator count(Ref limit) {
//         co_yield py::integer(1);            // yield value
//         Ref r = co_await py::yield_from(it); // yield from it
//     }
//     return py::make_generator(count(limit), origin);
//
// The object follows CPython's own generator rules (Objects/genobject.c):
// lazy start, __next__/send/throw/close, `yield from` delegation with send,
// throw and close passed on to the delegate, "generator already executing",
// StopIteration leaving the body turned into RuntimeError, "generator ignored
// GeneratorExit", and close() at finalisation of a suspended generator, so a
// body holding a resource (an open file inside a `with`) releases it however
// the consumer stops. Header-only: a module that includes it gets its own
// type object.
#pragma once

#include <coroutine>
#include <optional>

#include "coroutine.hpp"
#include "protocol.hpp"
#include "py.hpp"

namespace py {

class Generator {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // What a suspended body gets back: the value sent in, or the error thrown in.
    struct Resume {
        promise_type* promise;
        bool await_ready() noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept {}
        Ref await_resume() {
            if (promise->thrown) {
                // The error passes through this generator's frame, as in the host.
                promise->thrown->restore();
                promise->thrown.reset();
                add_traceback(*promise->origin);
                throw PyError();
            }
            return std::move(promise->sent);
        }
    };

    struct promise_type : Frame {
        using Frame::Frame;
        const Origin* origin = nullptr;  // names the generator in tracebacks
        Ref yielded;                     // the value of the last co_yield
        Ref delegate;                    // set while the body waits in yield_from
        Ref sent;                        // resumes the body with this value...
        std::optional<PyError> thrown;   // ...or raises this at the suspension point
        std::optional<PyError> error;    // how the body ended, when by an error

        Generator get_return_object() noexcept { return Generator(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        Resume yield_value(Ref value) noexcept {
            yielded = std::move(value);
            return Resume{this};
        }
        void return_void() noexcept {}
        void unhandled_exception() noexcept {
            set_error_from_current_exception();
            error.emplace();
        }
    };

    Generator(Generator&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Generator& operator=(Generator&&) = delete;
    ~Generator() {
        if (h_) h_.destroy();
    }
    Handle handle() const noexcept { return h_; }

private:
    explicit Generator(Handle h) noexcept : h_(h) {}
    Handle h_;
};

// `yield from iterable`: the generator object drives the iterator; the body
// resumes with its return value, or with its error raised.
struct YieldFrom {
    Ref iterator;
    Generator::promise_type* promise = nullptr;
    bool await_ready() noexcept { return false; }
    void await_suspend(Generator::Handle h) noexcept {
        promise = &h.promise();
        promise->delegate = std::move(iterator);
    }
    Ref await_resume() { return Generator::Resume{promise}.await_resume(); }
};

inline YieldFrom yield_from(const Ref& iterable) { return YieldFrom{Ref::checked(PyObject_GetIter(iterable.get()))}; }

namespace generator_detail {

enum class State { created, suspended, running, finished };

struct Object {
    PyObject_HEAD
    PyObject* weakrefs;
    struct Body {
        std::optional<Generator> body;
        Origin origin;
        State state = State::created;
        Ref qualname;  // keeps origin.qualname alive
    }* b;
};

inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline Object* as_gen(PyObject* self) { return reinterpret_cast<Object*>(self); }
inline Generator::promise_type& promise(Object* g) { return g->b->body->handle().promise(); }

inline void finish(Object* g) {
    g->b->state = State::finished;
    g->b->body.reset();  // the frame goes, with all it still holds
}

// The body left with the error now set.
inline void leave_with_error(Object* g) {
    protocol::forbid_stop_iteration("generator");
    add_traceback_once(g->b->origin);
}

// Resumes the body (its `sent`/`thrown` already set) until it yields or ends.
inline PySendResult run_body(Object* g, PyObject** out) {
    RunningBody running(&g->b->origin);
    for (;;) {
        g->b->state = State::running;
        auto h = g->b->body->handle();
        h.resume();
        auto& p = h.promise();
        if (h.done()) {
            std::optional<PyError> error = std::move(p.error);
            finish(g);
            if (error) {
                error->restore();
                leave_with_error(g);
                return PYGEN_ERROR;
            }
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        if (!p.delegate) {
            g->b->state = State::suspended;
            *out = p.yielded.release();
            return PYGEN_NEXT;
        }
        // A new `yield from`: start the delegate as the interpreter does, with None.
        if (protocol::send_to_delegate(p.delegate, Py_None, out, p.sent, p.thrown)) {
            g->b->state = State::suspended;
            return PYGEN_NEXT;
        }
    }
}

// send(arg); with `throwing`, the error now set is raised where the body waits.
inline PySendResult send_ex(Object* g, PyObject* arg, bool throwing, PyObject** out) {
    *out = nullptr;
    switch (g->b->state) {
        case State::running:
            if (throwing) PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            return PYGEN_ERROR;
        case State::finished:
            if (throwing) return PYGEN_ERROR;  // the error stays set
            if (arg) {
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            return PYGEN_ERROR;  // __next__: plain exhaustion, no error set
        case State::created:
            if (throwing) {
                // Raised before the first instruction: the body never runs.
                PyError error;
                finish(g);
                error.restore();
                leave_with_error(g);
                return PYGEN_ERROR;
            }
            if (arg && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
                return PYGEN_ERROR;
            }
            return run_body(g, out);
        case State::suspended:
            break;
    }
    auto& p = promise(g);
    if (throwing) {
        p.delegate = nullptr;
        p.thrown.emplace();
        return run_body(g, out);
    }
    if (p.delegate) {
        g->b->state = State::running;
        if (protocol::send_to_delegate(p.delegate, arg ? arg : Py_None, out, p.sent, p.thrown)) {
            g->b->state = State::suspended;
            return PYGEN_NEXT;
        }
    } else {
        p.sent = Ref::borrow(arg ? arg : Py_None);
    }
    return run_body(g, out);
}

inline PyObject* iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(as_gen(self), nullptr, false, &out);
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        if (out != Py_None) _PyGen_SetStopIterationValue(out);
        Py_DECREF(out);
    }
    return nullptr;
}

inline PyObject* as_call_result(PySendResult status, PyObject* out) {
    return protocol::call_result(status, out, true);
}

inline PyObject* send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(as_gen(self), arg, false, &out);
    return as_call_result(status, out);
}

inline PyObject* raise_into(Object* g) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(g, Py_None, true, &out);
    return as_call_result(status, out);
}

// The delegate's close(), if it has one; -1 with the error set when it failed.
inline int close_delegate(Object* g) {
    Ref delegate = promise(g).delegate;
    g->b->state = State::running;
    int status = protocol::close_iterator(delegate.get());
    g->b->state = State::suspended;
    return status;
}

inline PyObject* throw_here(Object* g, PyObject* typ, PyObject* val, PyObject* tb) {
    if (!protocol::set_thrown(typ, val, tb)) return nullptr;
    return raise_into(g);
}

inline PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    Object* g = as_gen(self);
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (g->b->state != State::suspended || !promise(g).delegate) return throw_here(g, typ, val, tb);
    auto& p = promise(g);
    if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
        int err = close_delegate(g);
        p.delegate = nullptr;
        if (err < 0) return raise_into(g);
        return throw_here(g, typ, val, tb);
    }
    Ref delegate = p.delegate;
    PyObject* method = nullptr;
    if (_PyObject_LookupAttr(delegate.get(), "throw"_n, &method) < 0) return nullptr;
    if (!method) {
        p.delegate = nullptr;
        return throw_here(g, typ, val, tb);
    }
    PyObject* call_args[3] = {typ, val ? val : Py_None, tb ? tb : Py_None};
    g->b->state = State::running;
    PyObject* yielded = PyObject_Vectorcall(method, call_args, static_cast<size_t>(nargs), nullptr);
    g->b->state = State::suspended;
    Py_DECREF(method);
    if (yielded) return yielded;
    // The delegate ended: its value or its error goes on into the body.
    p.delegate = nullptr;
    PyObject* value = nullptr;
    if (_PyGen_FetchStopIterationValue(&value) == 0) {
        p.sent = Ref::steal(value);
    } else {
        p.thrown.emplace();
    }
    PyObject* out = nullptr;
    PySendResult status = run_body(g, &out);
    return as_call_result(status, out);
}

inline PyObject* close(PyObject* self, PyObject*) {
    Object* g = as_gen(self);
    if (g->b->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    int err = 0;
    if (g->b->state == State::suspended && promise(g).delegate) {
        err = close_delegate(g);
        promise(g).delegate = nullptr;
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    PySendResult status = send_ex(g, Py_None, true, &out);
    if (status == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

inline void finalize(PyObject* self) {
    Object* g = as_gen(self);
    if (g->b->state != State::suspended) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* result = close(self, nullptr);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Object* g = as_gen(self);
    if (g->b->body) {
        auto& p = promise(g);
        Py_VISIT(p.delegate.get());
        Py_VISIT(p.sent.get());
        Py_VISIT(p.yielded.get());
        if (int r = traverse_value(p.thrown, visit, arg)) return r;
        // The frame's values only while it is not running (see Driver::traverse).
        if (g->b->state != State::running)
            if (int r = p.traverse(visit, arg)) return r;
    }
    return 0;
}

// Reached only for garbage, after the finaliser closed the body.
inline int clear(PyObject* self) {
    Object* g = as_gen(self);
    if (g->b->state != State::running) finish(g);
    return 0;
}

inline void dealloc(PyObject* self) {
    Object* g = as_gen(self);
    // As CPython's generators: weak references go first, and the finaliser
    // runs on a tracked object, so one it resurrects stays collectable.
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    delete g->b;
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->b->qualname.get(), self);
}

inline PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_gen(self)->b->qualname.get()); }
inline PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_gen(self)->b->state == State::running);
}
inline PyObject* get_yieldfrom(PyObject* self, void*) {
    Object* g = as_gen(self);
    PyObject* d = g->b->body ? promise(g).delegate.get() : nullptr;
    return Py_NewRef(d ? d : Py_None);
}
inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

inline PyMethodDef methods[] = {
    {"send", send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next yielded value or raise StopIteration."},
    {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef getset[] = {
    {"__name__", get_qualname, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, "object being iterated by yield from, or None", nullptr},
    {"gi_frame", get_none, nullptr, nullptr, nullptr},
    {"gi_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline bool ready() noexcept {
    if (type.tp_flags & Py_TPFLAGS_READY) return true;
    type.tp_name = "zentab_generator";
    type.tp_basicsize = sizeof(Object);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "Generator object of a native generator function.";
    type.tp_dealloc = dealloc;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_finalize = finalize;
    type.tp_repr = repr;
    type.tp_weaklistoffset = offsetof(Object, weakrefs);
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = iternext;
    type.tp_methods = methods;
    type.tp_getset = getset;
    return PyType_Ready(&type) == 0;
}

}  // namespace generator_detail

// The generator object for a body that has not started. `origin` names the
// function in tracebacks; its qualname is kept alive by the generator.
inline Ref make_generator(Generator body, const Origin& origin) {
    using namespace generator_detail;
    if (!ready()) raise();
    auto* g = PyObject_GC_New(Object, &type);
    if (!g) raise();
    g->weakrefs = nullptr;
    g->b = new (std::nothrow) Object::Body{};
    if (!g->b) {
        PyObject_GC_Del(g);
        throw std::bad_alloc();
    }
    g->b->qualname = Ref::borrow(origin.qualname);
    g->b->origin = origin;
    g->b->body.emplace(std::move(body));
    g->b->body->handle().promise().origin = &g->b->origin;
    PyObject_GC_Track(g);
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace py

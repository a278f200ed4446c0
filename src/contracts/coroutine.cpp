#include "coroutine.hpp"

#include "generator.hpp"
#include "protocol.hpp"

#include <frameobject.h>

#include <new>
#include <unordered_map>

namespace py {

namespace {

enum class State { created, suspended, running, finished };

// What differs between the two kinds of object, besides their attributes.
struct Kind {
    const char* what;  // in messages
    bool coroutine;
};
constexpr Kind coroutine_kind{"coroutine", true};
constexpr Kind generator_kind{"generator", false};

// A coroutine or generator object: a C++ coroutine body run as the host runs a frame.
struct Object {
    PyObject_HEAD
    PyObject* weakrefs;
    PyObject* function;  // a coroutine's function (owns origin.code), else NULL
    // C++ members, made in place with the object and destroyed in dealloc
    // (one allocation per coroutine, from the interpreter's allocator). Raw
    // storage keeps Object a plain C layout, as the type's slots expect.
    struct Body {
        const Kind* kind = nullptr;
        Driver driver;
        Origin origin;
        Ref qualname, name;  // fixed at creation, as the host's
        State state = State::created;
        std::coroutine_handle<> root;  // the body's outermost frame, owned
        BodyPromise* promise = nullptr;
        // The frame goes first: its destructors may still use the driver.
        ~Body() {
            if (root) root.destroy();
        }
    };
    alignas(Body) unsigned char body[sizeof(Body)];
};

PyTypeObject coroutine_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject generator_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

Object::Body& body_of(PyObject* self) {
    return *std::launder(reinterpret_cast<Object::Body*>(reinterpret_cast<Object*>(self)->body));
}

// While the body (or what it sends to) runs, its handled-exception item is
// on the thread's stack of them, exactly where a Python frame's would be.
class OnThread {
public:
    explicit OnThread(Driver& d) noexcept : tstate_(PyThreadState_Get()), item_(&d.exc_state) {
        item_->previous_item = tstate_->exc_info;
        tstate_->exc_info = item_;
    }
    ~OnThread() {
        tstate_->exc_info = item_->previous_item;
        item_->previous_item = nullptr;
    }

private:
    PyThreadState* tstate_;
    _PyErr_StackItem* item_;
};

void finish(Object::Body& b) {
    b.state = State::finished;
    if (auto root = std::exchange(b.root, {})) root.destroy();  // with all the frames still hold
    b.promise = nullptr;
    Driver& d = b.driver;
    d.innermost = nullptr;
    d.failed = false;
    d.delegate.reset();
    d.sent.reset();
    d.yielded.reset();
    d.thrown.reset();
    Py_CLEAR(d.exc_state.exc_type);
    Py_CLEAR(d.exc_state.exc_value);
    Py_CLEAR(d.exc_state.exc_traceback);
}

// The body ended with the error now set: the error records that it passed
// through this function (once), then a StopIteration becomes RuntimeError,
// which, made outside the frame, has no entry of it.
PySendResult leave_with_error(Object::Body& b) {
    add_traceback_once(b.origin);
    protocol::forbid_stop_iteration(b.kind->what);
    return PYGEN_ERROR;
}

// Resumes the body until it yields, suspends on a delegate that yields, or ends.
PySendResult drive(Object::Body& b, PyObject** out) {
    Driver& d = b.driver;
    b.state = State::running;
    RunningBody running(&b.origin);
    for (;;) {
        if (d.thrown && !static_cast<BodyPromise*>(d.innermost)->settles) {
            // The awaited object failed: the error leaves the waiting frame
            // as a value (see hand_up), named in the traceback as it passes.
            d.thrown->restore();
            d.thrown.reset();
            add_traceback(b.origin);
            hand_up(static_cast<BodyPromise*>(d.innermost), PyError()).resume();
        } else {
            d.current.resume();
        }
        if (b.root.done() || d.failed) {
            // The outcome is taken out before the frame goes: its destructors
            // may run Python code, which must not see an error already set.
            std::optional<PyError> error = std::move(b.promise->error);
            Ref result = std::move(b.promise->result);
            finish(b);
            if (error) {
                error->restore();
                return leave_with_error(b);
            }
            *out = result ? result.release() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        if (!d.delegate) {  // co_yield
            *out = d.yielded.release();
            break;
        }
        // A new delegate: started as `await` / `yield from` do, with None.
        if (protocol::send_to_delegate(d.delegate, Py_None, out, d.sent, d.thrown)) break;
    }
    b.state = State::suspended;
    return PYGEN_NEXT;
}

// send(arg), or with `throwing` the error now set, raised where the body waits.
PySendResult send_ex(Object::Body& b, PyObject* arg, bool throwing, bool closing, PyObject** out) {
    *out = nullptr;
    if (b.state == State::running) {
        PyErr_Format(PyExc_ValueError, "%s already executing", b.kind->what);
        return PYGEN_ERROR;
    }
    if (b.state == State::finished) {
        if (b.kind->coroutine && !closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (arg && !throwing) {
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        return PYGEN_ERROR;  // (__next__ of a finished generator: no error set)
    }
    OnThread on_thread(b.driver);
    Driver& d = b.driver;
    if (b.state == State::created) {
        if (throwing) {
            // Raised before the first instruction: the body never runs.
            PyError error;
            finish(b);
            error.restore();
            return leave_with_error(b);
        }
        if (arg && arg != Py_None) {
            PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", b.kind->what);
            return PYGEN_ERROR;
        }
    } else if (throwing) {
        d.delegate.reset();
        protocol::chain_to_handled(d.exc_state);
        d.thrown.emplace();
    } else if (d.delegate) {
        b.state = State::running;
        if (protocol::send_to_delegate(d.delegate, arg ? arg : Py_None, out, d.sent, d.thrown)) {
            b.state = State::suspended;
            return PYGEN_NEXT;
        }
    } else {
        d.sent = Ref::borrow(arg ? arg : Py_None);
    }
    return drive(b, out);
}

PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return send_ex(body_of(self), arg, false, false, out);
}

PyObject* send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(body_of(self), arg, false, false, &out);
    return protocol::call_result(status, out, true);
}

PyObject* iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(body_of(self), nullptr, false, false, &out);
    return protocol::call_result(status, out, false);
}

// Raises the error now set where the body waits.
PyObject* raise_here(Object::Body& b) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(b, Py_None, true, false, &out);
    return protocol::call_result(status, out, true);
}

// Closes the iterator being delegated to, as close() must before it raises
// GeneratorExit in the body; -1 with an error set if that failed. As the
// host's, it runs with the caller's handled exception, not the body's.
int close_delegate(Object::Body& b) {
    Ref delegate = std::exchange(b.driver.delegate, Ref());
    b.state = State::running;
    int status = protocol::close_iterator(delegate.get());
    b.state = State::suspended;
    return status;
}

PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    Object::Body& b = body_of(self);
    Driver& d = b.driver;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (b.state == State::suspended && d.delegate) {
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            if (close_delegate(b) < 0) return raise_here(b);  // that error instead
        } else {
            PyObject* method = nullptr;
            if (_PyObject_LookupAttr(d.delegate.get(), "throw"_n, &method) < 0) return nullptr;
            if (method) {
                PyObject* call_args[3] = {typ, val ? val : Py_None, tb ? tb : Py_None};
                b.state = State::running;
                PyObject* yielded = PyObject_Vectorcall(method, call_args, static_cast<size_t>(nargs), nullptr);
                b.state = State::suspended;
                Py_DECREF(method);
                if (yielded) return yielded;
                // The delegate ended: its value or its error goes on into the body.
                d.delegate.reset();
                PyObject* value = nullptr;
                if (_PyGen_FetchStopIterationValue(&value) == 0) {
                    d.sent = Ref::steal(value);
                } else {
                    protocol::chain_to_handled(d.exc_state);
                    d.thrown.emplace();
                }
                OnThread on_thread(d);
                PyObject* out = nullptr;
                PySendResult status = drive(b, &out);
                return protocol::call_result(status, out, true);
            }
            d.delegate.reset();
        }
    }
    if (!protocol::set_thrown(typ, val, tb)) return nullptr;
    return raise_here(b);
}

PyObject* close(PyObject* self, PyObject*) {
    Object::Body& b = body_of(self);
    int err = 0;
    if (b.state == State::suspended && b.driver.delegate) err = close_delegate(b);
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    PySendResult status = send_ex(b, Py_None, true, true, &out);
    if (status != PYGEN_ERROR) {
        Py_DECREF(out);
        // A return during close is a normal finish.
        if (status == PYGEN_RETURN) Py_RETURN_NONE;
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", b.kind->what);
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void finalize(PyObject* self) {
    Object::Body& b = body_of(self);
    if (b.state == State::finished) return;
    ErrorSaved saved;
    if (b.state == State::created && b.kind->coroutine) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", b.qualname.get()) < 0)
            PyErr_WriteUnraisable(self);
        finish(b);
    } else if (PyObject* result = close(self, nullptr)) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(self);
    }
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Object*>(self)->function);
    Object::Body& b = body_of(self);
    return b.driver.traverse(visit, arg, b.state == State::created || b.state == State::suspended);
}

// Reached only for garbage, after the finaliser closed the body: what is
// left (a body that would not close) goes with its frame.
int clear(PyObject* self) {
    Object::Body& b = body_of(self);
    if (b.state != State::running) finish(b);
    return 0;
}

void dealloc(PyObject* self) {
    Object* o = reinterpret_cast<Object*>(self);
    // As CPython's generators: weak references go first, and the finaliser
    // runs on a tracked object, so one it resurrects stays collectable.
    PyObject_GC_UnTrack(self);
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    body_of(self).~Body();
    Py_CLEAR(o->function);
    Py_TYPE(self)->tp_free(self);
}

PyObject* repr(PyObject* self) {
    Object::Body& b = body_of(self);
    return PyUnicode_FromFormat("<%s object %U at %p>", b.kind->what, b.qualname.get(), self);
}

PyObject* self_await(PyObject* self) { return Py_NewRef(self); }
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(body_of(self).name.get()); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(body_of(self).qualname.get()); }
PyObject* get_delegate(PyObject* self, void*) {
    PyObject* d = body_of(self).driver.delegate.get();
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(body_of(self).state == State::running); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

#define BODY_METHODS(what, step)                                                                              \
    {"send", send, METH_O, "send(arg) -> send 'arg' into " what ",\nreturn next " step " value or raise StopIteration."}, \
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,              \
     "throw(typ[,val[,tb]]) -> raise exception in " what ",\nreturn next " step " value or raise StopIteration."}, \
    {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside " what "."},                        \
    {nullptr, nullptr, 0, nullptr}

PyMethodDef coroutine_methods[] = {BODY_METHODS("coroutine", "iterated")};
PyMethodDef generator_methods[] = {BODY_METHODS("generator", "yielded")};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_delegate, nullptr, "object being awaited on, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_delegate, nullptr, "object being iterated by yield from, or None", nullptr},
    {"gi_frame", get_none, nullptr, nullptr, nullptr},
    {"gi_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_as_async = {self_await, nullptr, nullptr, am_send};
PyAsyncMethods generator_as_async = {nullptr, nullptr, nullptr, am_send};

bool ready(PyTypeObject& type, const char* name, const char* doc, PyMethodDef* methods, PyGetSetDef* getset,
           PyAsyncMethods* as_async) {
    if (type.tp_flags & Py_TPFLAGS_READY) return true;
    type.tp_name = name;
    type.tp_basicsize = sizeof(Object);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = doc;
    type.tp_dealloc = dealloc;
    type.tp_repr = repr;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_finalize = finalize;
    type.tp_weaklistoffset = offsetof(Object, weakrefs);
    type.tp_iternext = iternext;
    type.tp_methods = methods;
    type.tp_getset = getset;
    type.tp_as_async = as_async;
    if (&type == &generator_type) type.tp_iter = PyObject_SelfIter;
    return PyType_Ready(&type) == 0;
}

PyObject* make(PyTypeObject& type, const Kind& kind, std::coroutine_handle<> root, BodyPromise& promise,
               PyObject* function, const Origin& origin) noexcept {
    auto* o = PyObject_GC_New(Object, &type);
    if (!o) {
        root.destroy();
        return nullptr;
    }
    o->weakrefs = nullptr;
    o->function = Py_XNewRef(function);
    Object::Body& b = *new (o->body) Object::Body{};
    b.kind = &kind;
    b.qualname = Ref::borrow(origin.qualname);
    b.name = Ref::borrow(origin.name ? origin.name : origin.qualname);
    b.origin = origin;
    b.origin.detached = true;
    b.origin.qualname = b.qualname.get();
    b.origin.name = b.name.get();
    b.root = root;
    b.promise = &promise;
    promise.driver = &b.driver;
    b.driver.origin = &b.origin;
    b.driver.current = root;
    b.driver.innermost = &promise;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace

namespace {

// The newest traceback entry of the error now set forgets its caller.
void detach_newest_entry() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (tb && PyTraceBack_Check(tb)) Py_CLEAR(reinterpret_cast<PyTracebackObject*>(tb)->tb_frame->f_back);
    PyErr_Restore(type, value, tb);
}

void add_entry(const Origin& origin) noexcept {
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
    // As _PyTraceback_Add does, but with the function's own code object and
    // one frame per function, made at its first error and shared by every
    // entry after it: an entry only reads its frame (code, line, empty
    // globals). The frame holds its code object, so no other code object can
    // take that address while the frame is kept.
    static PyObject* globals = PyDict_New();
    static std::unordered_map<PyObject*, PyFrameObject*> frames;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject*& frame = frames[origin.code];
    if (!frame && globals) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(origin.code), globals, nullptr);
        if (frame) {
            // Not the caller's frame's child: it outlives every call.
            Py_CLEAR(frame->f_back);
            frame->f_lineno = origin.line;
        }
    }
    if (!frame) {
        _PyErr_ChainExceptions(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
}

}  // namespace

void add_traceback(const Origin& origin) noexcept {
    add_entry(origin);
    // (An entry with the function's own code object has its kept frame, which has no caller.)
    if (origin.detached && !origin.code) detach_newest_entry();
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
    auto h = body.release();
    return make(coroutine_type, coroutine_kind, h, h.promise(), function, origin);
}

PyObject* make_generator_object(std::coroutine_handle<> body, BodyPromise& promise, const Origin& origin) noexcept {
    if (!ready(generator_type, "zentab_generator", "Generator object of a native generator function.",
               generator_methods, generator_getset, &generator_as_async))
        return nullptr;
    return make(generator_type, generator_kind, body, promise, nullptr, origin);
}

bool ready_coroutine_type(PyObject*) noexcept {
    return ready(coroutine_type, "zentab_coroutine", "Coroutine object of a native coroutine function.",
                 coroutine_methods, coroutine_getset, &coroutine_as_async);
}

}  // namespace py

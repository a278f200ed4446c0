#include "py.hpp"
#include "task.hpp"

#include <cstdarg>
#include <cstring>
#include <typeinfo>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <new>
#include <vector>

namespace py {

namespace {
Ref checked_call_no_args(const Ref& callable) { return Ref::checked(PyObject_CallNoArgs(callable.get())); }
}  // namespace

PyError::PyError() noexcept {
    PyErr_Fetch(&type_, &value_, &tb_);
    if (!type_) {
        // A C API call failed without saying why: never lose that.
        type_ = Py_NewRef(PyExc_SystemError);
        value_ = PyUnicode_FromString("error return without exception set");
    }
}

PyError::PyError(const PyError& other) noexcept
    : type_(Py_XNewRef(other.type_)), value_(Py_XNewRef(other.value_)), tb_(Py_XNewRef(other.tb_)) {}

PyError::~PyError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

void PyError::restore() noexcept {
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(tb_, nullptr));
}

PyObject* PyError::value() noexcept {
    if (type_ && (!value_ || !PyExceptionInstance_Check(value_))) {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    }
    return value_;
}

PyError* error_in_flight() noexcept {
#if defined(__GLIBCXX__)
    // Rethrowing to find out what is in flight costs a full unwind; with
    // libstdc++ the type is known directly and an exception_ptr is the address
    // of the thrown object.
    std::type_info* type = abi::__cxa_current_exception_type();
    if (!type || *type != typeid(PyError)) return nullptr;
    std::exception_ptr current = std::current_exception();
    static_assert(sizeof(current) == sizeof(void*));
    void* object;
    std::memcpy(&object, &current, sizeof object);
    return static_cast<PyError*>(object);
#else
    return nullptr;
#endif
}

void set_error_from_current_exception() noexcept {
    if (PyError* error = error_in_flight()) {
        error->restore();
        return;
    }
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

void note_raised() noexcept {
    if (const Origin* origin = RunningBody::current()) add_traceback(*origin);
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    raise();
}

bool Ref::has_attr(PyObject* name) const {
    PyObject* value = nullptr;
    int found = _PyObject_LookupAttr(p_, name, &value);
    Py_XDECREF(value);
    return check(found) != 0;
}

namespace {

// The keyword-names tuple of a call, kept per distinct sequence of names:
// call sites repeat the same names in the same order, and interned names live
// as long as the interpreter.
PyObject* keyword_names(PyObject* const* names, Py_ssize_t count) noexcept {
    constexpr std::size_t slots = 256;
    static PyObject* cache[slots] = {};
    std::uintptr_t hash = static_cast<std::uintptr_t>(count);
    for (Py_ssize_t i = 0; i < count; ++i) hash = hash * 1000003u ^ reinterpret_cast<std::uintptr_t>(names[i]);
    PyObject*& slot = cache[(hash ^ (hash >> 17)) % slots];
    if (slot && PyTuple_GET_SIZE(slot) == count) {
        bool same = true;
        for (Py_ssize_t i = 0; i < count && same; ++i) same = PyTuple_GET_ITEM(slot, i) == names[i];
        if (same) return Py_NewRef(slot);
    }
    PyObject* tuple = PyTuple_New(count);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(names[i]));
    Py_XSETREF(slot, Py_NewRef(tuple));
    return tuple;
}

// Calls `callable` with `self` (if any) and then the braced arguments:
// positional values first, then keyword values in the order of their names,
// as vectorcall wants them; the braced list guarantees they were evaluated in
// the order written. NULL with the error set when the call failed: the caller
// throws, so that the unwinder has no cleanup to run in this frame.
PyObject* vectorcall(PyObject* callable, PyObject* self, std::initializer_list<Arg> args) noexcept {
    PyObject* small[14];
    PyObject* names_small[12];
    std::vector<PyObject*> large, names_large;
    const std::size_t needed = args.size() + 2;
    PyObject** stack = small;
    PyObject** names = names_small;
    if (needed > std::size(small)) {
        try {
            large.resize(needed);
            names_large.resize(needed);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        stack = large.data();
        names = names_large.data();
    }
    PyObject** argv = stack + 1;  // slot 0 free for PY_VECTORCALL_ARGUMENTS_OFFSET
    Py_ssize_t npos = self ? 1 : 0, nkw = 0;
    if (self) argv[0] = self;
    for (const Arg& a : args) {
        if (!a.name) ++npos;
    }
    Py_ssize_t ip = self ? 1 : 0;
    for (const Arg& a : args) {
        if (a.name) {
            names[nkw] = a.name;
            argv[npos + nkw++] = a.value;
        } else {
            argv[ip++] = a.value;
        }
    }
    PyObject* kwnames = nullptr;
    if (nkw && !(kwnames = keyword_names(names, nkw))) return nullptr;
    PyObject* result =
        PyObject_Vectorcall(callable, argv, static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    Py_XDECREF(kwnames);
    return result;
}

}  // namespace

Ref Ref::operator()(std::initializer_list<Arg> args) const { return checked(vectorcall(p_, nullptr, args)); }

PyObject* Ref::call(std::initializer_list<Arg> args) const noexcept { return vectorcall(p_, nullptr, args); }

Method Ref::method(PyObject* name) const {
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(p_, name, &found);
    if (!found) raise();
    return Method(Ref::steal(found), unbound ? *this : Ref());
}

Ref Method::operator()() const {
    if (!self_) return checked_call_no_args(callable_);
    PyObject* argv[2] = {nullptr, self_.get()};
    return Ref::checked(PyObject_Vectorcall(callable_.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref Method::operator()(std::initializer_list<Arg> args) const {
    return Ref::checked(vectorcall(callable_.get(), self_.get(), args));
}

PyObject* Method::call(std::initializer_list<Arg> args) const noexcept {
    return vectorcall(callable_.get(), self_.get(), args);
}

bool eq(const Ref& a, const Ref& b) {
    return Ref::checked(PyObject_RichCompare(a.get(), b.get(), Py_EQ)).truth();
}

bool ne(const Ref& a, const Ref& b) {
    return Ref::checked(PyObject_RichCompare(a.get(), b.get(), Py_NE)).truth();
}

Ref text(const Ref& value) {
    if (PyUnicode_CheckExact(value.get())) return value;
    Ref empty = Ref::checked(PyUnicode_FromStringAndSize("", 0));
    return Ref::checked(PyObject_Format(value.get(), empty.get()));
}

Ref concat(std::initializer_list<Ref> parts) {
    // One join, as an f-string's BUILD_STRING: no intermediate strings.
    PyObject* items[16];
    if (parts.size() > std::size(items)) {
        Ref joined = ""_s;
        for (const Ref& part : parts) joined = Ref::checked(PyUnicode_Concat(joined.get(), part.get()));
        return joined;
    }
    Py_ssize_t n = 0;
    for (const Ref& part : parts) items[n++] = part.get();
    return Ref::checked(_PyUnicode_JoinArray(""_s.get(), items, n));
}

void set_error_with(const Ref& error_type, const Ref& message) noexcept {
    Ref error = Ref::steal(PyObject_CallOneArg(error_type.get(), message.get()));
    if (!error) {
    } else if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    note_raised();
}

void raise_with(const Ref& error_type, const Ref& message) {
    set_error_with(error_type, message);
    throw PyError();
}

void raise_unbound_local(const char* name) {
    raise_format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
}

Ref str_of(const Ref& value) { return Ref::checked(PyObject_Str(value.get())); }

Handling::Handling(PyError& handled) noexcept : item_(PyThreadState_Get()->exc_info) {
    PyObject* value = handled.value();
    // As the interpreter does on catching: the error's __traceback__ is the current one.
    if (value && handled.traceback() && PyException_SetTraceback(value, handled.traceback()) < 0) PyErr_Clear();
    type_ = item_->exc_type;
    value_ = item_->exc_value;
    traceback_ = item_->exc_traceback;
    item_->exc_type = Py_XNewRef(value ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : handled.type());
    item_->exc_value = Py_XNewRef(value);
    item_->exc_traceback = Py_XNewRef(handled.traceback());
}

Handling::~Handling() {
    Py_XSETREF(item_->exc_type, type_);
    Py_XSETREF(item_->exc_value, value_);
    Py_XSETREF(item_->exc_traceback, traceback_);
}

void raise_in_handler(const Ref& error_type, const Ref& message, PyError& handled) {
    Handling handling(handled);
    raise_with(error_type, message);
}

}  // namespace py

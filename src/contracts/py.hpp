// Owned references, interned names and Python errors as C++ exceptions.
//
// Module code never touches a reference count: a `Ref` owns one reference,
// a failed C API call throws `PyError`, and every place where CPython calls
// into us catches it and restores the error (see `boundary`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string_view>
#include <type_traits>
#include <utility>

namespace py {

// A Python error fetched out of the interpreter, carried through C++ code.
class PyError : public std::exception {
public:
    // Takes over the error currently set (there must be one).
    PyError() noexcept;
    PyError(PyObject* type, PyObject* value, PyObject* tb) noexcept
        : type_(type), value_(value), tb_(tb) {}
    PyError(const PyError& other) noexcept;
    PyError(PyError&& other) noexcept
        : type_(std::exchange(other.type_, nullptr)),
          value_(std::exchange(other.value_, nullptr)),
          tb_(std::exchange(other.tb_, nullptr)) {}
    PyError& operator=(PyError other) noexcept {
        std::swap(type_, other.type_);
        std::swap(value_, other.value_);
        std::swap(tb_, other.tb_);
        return *this;
    }
    ~PyError() override;

    // Sets the error in the interpreter again; this object is left empty.
    void restore() noexcept;
    // The exception instance (normalised on first use).
    PyObject* value() noexcept;
    PyObject* type() const noexcept { return type_; }
    PyObject* peek_value() const noexcept { return value_; }  // as held, maybe not normalised
    PyObject* traceback() const noexcept { return tb_; }
    bool matches(PyObject* exc_type) const noexcept {
        return type_ && PyErr_GivenExceptionMatches(type_, exc_type);
    }
    const char* what() const noexcept override { return "Python error"; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Sets a Python error from whatever C++ exception is in flight (inside a catch).
void set_error_from_current_exception() noexcept;
// Inside a catch: the PyError being handled, or NULL when it is another
// exception (or the C++ runtime cannot tell without rethrowing it).
PyError* error_in_flight() noexcept;

// Inside a body, adds the function's traceback entry to the error now set,
// where the interpreter would add it.
void note_raised() noexcept;
// Raises the error now set. (Thrown here, inline: every frame between a throw
// and its handler costs the unwinder.)
[[noreturn]] inline void raise() {
    note_raised();
    throw PyError();
}
// Raises `type(message)`, like the C API's PyErr_SetString.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

inline PyObject* check(PyObject* p) {
    if (!p) raise();
    return p;
}
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

// An interned name, made once per spelling: "status"_n.
// Where a module-level name was last found: valid while the dict's version
// tag is unchanged (any change to the dict changes the tag), exactly as the
// interpreter's own global-name cache.
struct GlobalCache {
    PyObject* dict = nullptr;
    std::uint64_t version = 0;
    PyObject* value = nullptr;  // borrowed from the dict
};

struct Name {
    PyObject* object;
    GlobalCache* cache = nullptr;
    operator PyObject*() const noexcept { return object; }
};

template <std::size_t N>
struct Literal {
    std::array<char, N> text{};
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text.begin()); }
};

template <Literal L>
Name intern() {
    // Interned strings live as long as the interpreter; a module is only ever
    // loaded into one interpreter, so caching them here is safe.
    static PyObject* object = PyUnicode_InternFromString(L.text.data());
    static GlobalCache cache;
    if (!object) raise();
    return Name{object, &cache};
}

class Ref;

// A keyword argument in a call: "name"_kw = value.
struct Kw {
    PyObject* name;
    PyObject* value;  // borrowed from the Ref it was made from
};

template <Literal L>
struct KwName {
    Kw operator=(const Ref& value) const;
};

// Every Ref starts with this word, which no other value in a coroutine frame
// is likely to hold: the garbage collector finds a suspended body's Refs by
// scanning its frames for it (see Frame in task.hpp), whatever the compiler
// keeps there across a suspension, locals and temporaries included.
inline constexpr std::uint64_t ref_mark = 0x5a3c'e1d2'7b9f'4e61;

// One owned reference, or none.
class Ref {
public:
    Ref() noexcept = default;
    // No Ref from nullptr: an empty Ref is Ref(), and reset() empties one.
    void reset() noexcept { Py_CLEAR(p_); }
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Steals a new reference returned by the C API, throwing when it is NULL.
    static Ref checked(PyObject* p) { return Ref(check(p)); }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    // Emptied before the reference goes: a collection that runs while it goes
    // must not see it, and a frame scanned later finds no mark here.
    ~Ref() {
        // A volatile store: a store to an object whose lifetime ends is one the
        // compiler may drop, and a mark left in freed frame memory would lead
        // the collector to a freed object.
        *const_cast<volatile std::uint64_t*>(&mark_) = 0;
        Py_XDECREF(std::exchange(p_, nullptr));
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }
    bool is_none() const noexcept { return p_ == Py_None; }

    // obj.name
    Ref attr(PyObject* name) const { return checked(PyObject_GetAttr(p_, name)); }
    // hasattr(obj, name): True, False, or the error of the lookup.
    bool has_attr(PyObject* name) const;
    // obj(...): positional values and "name"_kw = value pairs, evaluated left
    // to right because they stand in a braced list.
    Ref operator()() const { return checked(PyObject_CallNoArgs(p_)); }
    Ref operator()(std::initializer_list<struct Arg> args) const;
    // The same call without raising: a new reference, or NULL with the error set.
    PyObject* call(std::initializer_list<struct Arg> args) const noexcept;
    // obj.name(...) as the interpreter calls a method: looked up now, called
    // without making a bound method: obj.method("name"_n)({args}).
    class Method method(PyObject* name) const;
    // bool(obj)
    bool truth() const { return check(PyObject_IsTrue(p_)) != 0; }
    Ref type() const noexcept { return borrow(reinterpret_cast<PyObject*>(Py_TYPE(p_))); }
    const char* type_name() const noexcept { return Py_TYPE(p_)->tp_name; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    std::uint64_t mark_ = ref_mark;  // (first: a frame scan reads the word after it)
    PyObject* p_ = nullptr;
};

// A method looked up for a call, as LOAD_METHOD leaves it: the function and
// the object to pass as its first argument, or an attribute to call as it is.
class Method {
public:
    Method(Ref callable, Ref self) noexcept : callable_(std::move(callable)), self_(std::move(self)) {}
    Ref operator()() const;
    Ref operator()(std::initializer_list<struct Arg> args) const;
    // The same call without raising: a new reference, or NULL with the error set.
    PyObject* call(std::initializer_list<struct Arg> args) const noexcept;

private:
    Ref callable_;
    Ref self_;  // empty when callable_ is already bound
};

struct Arg {
    Arg(const Ref& v) noexcept : name(nullptr), value(v.get()) {}
    // Anything that stands for a Ref (a body's named argument).
    template <class T>
        requires(!std::is_same_v<T, Ref> && std::is_convertible_v<const T&, const Ref&>)
    Arg(const T& v) noexcept : Arg(static_cast<const Ref&>(v)) {}
    Arg(Kw kw) noexcept : name(kw.name), value(kw.value) {}
    PyObject* name;
    PyObject* value;
};

template <Literal L>
Kw KwName<L>::operator=(const Ref& value) const {
    return Kw{intern<L>(), value.get()};
}

template <Literal L>
Name operator""_n() { return intern<L>(); }
template <Literal L>
KwName<L> operator""_kw() { return {}; }
// A constant str, made once: "N/A"_s.
template <Literal L>
Ref operator""_s() { return Ref::borrow(intern<L>().object); }

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) {
    return Ref::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return Ref::checked(PyLong_FromLongLong(v)); }

// Python's `a == b` and `a != b` in an `if`: rich comparison, then truth.
// Named rather than operators: a C++ `==` on references reads as identity,
// and C++ leaves the order of its operands unspecified. Read a side that has
// effects into a variable first (Python evaluates the left side first).
bool eq(const Ref& a, const Ref& b);
bool ne(const Ref& a, const Ref& b);

// format(value, ""), the text of a value as an f-string would give it.
Ref text(const Ref& value);
// a + b for two str objects.
Ref concat(std::initializer_list<Ref> parts);

// for (Ref item : iterate(obj)): Python's for loop over any iterable.
class iterate {
public:
    explicit iterate(const Ref& iterable) : it_(Ref::checked(PyObject_GetIter(iterable.get()))) {}
    struct sentinel {};
    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { ++*this; }
        const Ref& operator*() const noexcept { return item_; }
        iterator& operator++() {
            item_ = Ref::steal(PyIter_Next(it_));
            if (!item_ && PyErr_Occurred()) raise();
            return *this;
        }
        bool operator!=(sentinel) const noexcept { return static_cast<bool>(item_); }

    private:
        PyObject* it_;
        Ref item_;
    };
    iterator begin() { return iterator(it_.get()); }
    sentinel end() const noexcept { return {}; }

private:
    Ref it_;
};

// A new empty list, and list.append.
inline Ref new_list() { return Ref::checked(PyList_New(0)); }
inline void append(const Ref& list, const Ref& item) { check(PyList_Append(list.get(), item.get())); }

// Raises `error_type(message)` as Python's `raise error_type(message)` would.
[[noreturn]] void raise_with(const Ref& error_type, const Ref& message);
// Sets that error (or the error making it raised), with the running
// function's traceback entry, without throwing: for `co_return py::failure(...)`.
void set_error_with(const Ref& error_type, const Ref& message) noexcept;

// UnboundLocalError for a local that a suppressed error left unset.
[[noreturn]] void raise_unbound_local(const char* name);

// str(value).
Ref str_of(const Ref& value);

// While alive, `handled` is the exception being handled, as inside an
// `except` block or a `with` statement's exit: sys.exc_info() shows it, and an
// error raised meanwhile records it as __context__ (never as __cause__). As
// the interpreter's own handlers do, it sets the thread's current
// handled-exception item in place and puts the old values back at the end.
// Inside a body that item is the body's own (saved with it when it suspends),
// so the scope may span a co_await.
class Handling {
public:
    explicit Handling(PyError& handled) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    _PyErr_StackItem* item_;
    PyObject *type_, *value_, *traceback_;  // what the item held before
};

// Keeps the error now set (if any) aside while alive, and sets it again after.
class ErrorSaved {
public:
    ErrorSaved() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ErrorSaved() { PyErr_Restore(type_, value_, traceback_); }
    ErrorSaved(const ErrorSaved&) = delete;
    ErrorSaved& operator=(const ErrorSaved&) = delete;

private:
    PyObject *type_, *value_, *traceback_;
};

// `raise error_type(message)` inside `except` for `handled`: the new error
// carries `handled` as its __context__ and has no __cause__.
[[noreturn]] void raise_in_handler(const Ref& error_type, const Ref& message, PyError& handled);

}  // namespace py

// C++20 coroutine bodies that await Python awaitables.
//
// A body is a `Task` (or a `Generator`, generator.hpp). `co_await
// py::await(obj)` hands the awaitable's iterator to the `Driver` (the Python
// coroutine or generator object running the body) and suspends; the driver
// delegates to that iterator exactly as Python's `await` / `yield from` does
// and resumes the body with the result or the error. A body may also
// `co_await` a Task (symmetric transfer): both share one driver.
#pragma once

#include <array>
#include <coroutine>
#include <optional>
#include <type_traits>

#include "py.hpp"

namespace py {

// Where an error leaving a body is said to have passed, for its traceback.
struct Origin {
    PyObject* qualname;  // borrowed: whoever keeps an Origin keeps its own reference
    const char* file;
    int line;
    PyObject* code = nullptr;  // the traceback entry's code object, made once per function
    PyObject* name = nullptr;  // __name__, when it differs from qualname (borrowed)
    // A coroutine's or generator's entry: as the host's frame once it suspends or
    // ends, it keeps no caller (f_back), so an error does not hold the frames
    // that drove the body, nor what they hold.
    bool detached = false;
};

// Adds a traceback entry "File <file>, line <line>, in <qualname>" to the error being set.
void add_traceback(const Origin& origin) noexcept;
// The same, unless the error's newest entry already names `origin`.
void add_traceback_once(const Origin& origin) noexcept;

// The function whose body runs now: an error our code raises (py::raise)
// gets its traceback entry at once, as the interpreter adds a frame's entry
// where the error is raised, so exits see the traceback the host would give.
class RunningBody {
public:
    explicit RunningBody(const Origin* origin) noexcept : saved_(current_) { current_ = origin; }
    ~RunningBody() { current_ = saved_; }
    RunningBody(const RunningBody&) = delete;
    RunningBody& operator=(const RunningBody&) = delete;
    static const Origin* current() noexcept { return current_; }

private:
    static inline const Origin* current_ = nullptr;  // under the GIL, one interpreter
    const Origin* saved_;
};

// What the garbage collector must see of a value a frame holds besides its
// Refs (which it finds by their mark, see Frame): errors held as values.
inline int traverse_value(const PyError& error, visitproc visit, void* arg) {
    Py_VISIT(error.type());
    Py_VISIT(error.peek_value());
    Py_VISIT(error.traceback());
    return 0;
}
inline int traverse_value(const std::optional<PyError>& error, visitproc visit, void* arg) {
    return error ? traverse_value(*error, visit, arg) : 0;
}
template <class T>
concept Traversable = requires(const T& value, visitproc visit, void* arg) { traverse_value(value, visit, arg); };

// Memory for coroutine frames, kept for reuse (always under the GIL). The
// block just allocated is where the next frame's promise finds itself; it is
// handed out once. A frame the compiler placed inside its caller's frame
// (allocation elision, which clang does) allocates nothing and gets no block:
// its Refs lie in the caller's block, which is scanned already.
void* frame_allocate(std::size_t size);
void frame_release(void* frame, std::size_t size) noexcept;
struct FrameBlock {
    const std::byte* start = nullptr;
    std::size_t size = 0;
};
FrameBlock take_frame_block() noexcept;
// Visits every Ref in [start, start + size): each begins with ref_mark.
int traverse_refs(FrameBlock block, visitproc visit, void* arg);

// The Python values a C++ coroutine frame holds across a suspension, for the
// garbage collector: every Ref in the frame's memory (parameters, locals,
// temporaries, awaiters: whatever the compiler keeps there, found by their
// mark) and the other values registered as the frame is made (an Env's
// arguments, which live in their own block) or kept (`frame->keep(x)`, for an
// error held as a value). A Ref must be visited once: nothing registered may
// visit a Ref that lives in the frame.
struct Frame {
    Frame* parent = nullptr;  // the frame awaiting this one

    Frame() noexcept : block_(take_frame_block()) {}
    template <class... Params>
    explicit Frame(Params&... params) noexcept : block_(take_frame_block()) {
        (keep_parameter(params), ...);
    }

    template <class T>
    void keep(const T& local) noexcept {
        if constexpr (Traversable<T>) {
            if (count_ == kept_.size()) return;  // unseen is only a leak, never a wrong count
            kept_[count_++] = {&local, [](const void* p, visitproc visit, void* arg) {
                                   return traverse_value(*static_cast<const T*>(p), visit, arg);
                               }};
        }
    }
    int traverse(visitproc visit, void* arg) const {
        if (int r = traverse_refs(block_, visit, arg)) return r;
        for (std::size_t i = 0; i < count_; ++i)
            if (int r = kept_[i].visit(kept_[i].object, visit, arg)) return r;
        return 0;
    }

private:
    template <class T>
    void keep_parameter(T& param) noexcept {
        // A const parameter may be a reference to a value another frame owns.
        if constexpr (!std::is_const_v<T>) keep(param);
    }
    struct Kept {
        const void* object;
        int (*visit)(const void*, visitproc, void*);
    };
    FrameBlock block_;
    std::array<Kept, 4> kept_{};
    std::size_t count_ = 0;
};

// `co_await this_frame()` gives a body its own Frame without suspending.
struct this_frame {
    Frame* frame = nullptr;
    bool await_ready() noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) noexcept {
        frame = &h.promise();
        return false;
    }
    Frame* await_resume() noexcept { return frame; }
};

// What a running body needs from the object that drives it.
struct Driver {
    const Origin* origin = nullptr;
    std::coroutine_handle<> current;  // innermost suspended Task, resumed next
    Ref delegate;                     // the iterator being awaited, if any
    Ref sent;                         // value for the resumed `await`, or
    std::optional<PyError> thrown;    // the error it must raise
    Ref yielded;                      // a generator's co_yield value, when no delegate
    // The body's "exception being handled", seen by sys.exc_info() and used
    // for implicit chaining while the body runs, as a Python frame's would be.
    _PyErr_StackItem exc_state{};
    Frame* innermost = nullptr;  // where the body is suspended, with its parents
    bool failed = false;         // an error was handed up to the outermost frame (see hand_up)

    // Everything above; the frames only while the body is suspended (a
    // running body may have destroyed an inner frame since it last suspended).
    int traverse(visitproc visit, void* arg, bool frames) const {
        Py_VISIT(delegate.get());
        Py_VISIT(sent.get());
        Py_VISIT(yielded.get());
        if (int r = traverse_value(thrown, visit, arg)) return r;
        Py_VISIT(exc_state.exc_type);
        Py_VISIT(exc_state.exc_value);
        Py_VISIT(exc_state.exc_traceback);
        for (const Frame* f = frames ? innermost : nullptr; f; f = f->parent)
            if (int r = f->traverse(visit, arg)) return r;
        return 0;
    }

    // What the suspended body resumes with: the value sent in, or the error,
    // raised where it waits, passing through this function as through a frame.
    Ref resume_value() {
        if (thrown) {
            thrown->restore();
            thrown.reset();
            add_traceback(*origin);
            throw PyError();
        }
        return std::move(sent);
    }
};

// What the object driving a body needs from its outermost frame: the driver
// it shares with the frames it awaits, and the outcome.
struct BodyPromise : Frame {
    BodyPromise() noexcept = default;
    template <class... Params>
    explicit BodyPromise(Params&... params) noexcept : Frame(params...) {}

    // Frames come from a small pool (a call makes and drops several), which
    // also tells each frame where it lies, for the garbage collector.
    static void* operator new(std::size_t size) { return frame_allocate(size); }
    static void operator delete(void* frame, std::size_t size) noexcept { frame_release(frame, size); }

    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;  // the frame awaiting this one, if any
    // How this frame takes what it awaits now: true when it wants an error as
    // a value (co_await x.settled()); false when an error simply leaves it.
    bool settles = false;
    Ref result;
    std::optional<PyError> error;

    void unhandled_exception() noexcept {
        if (PyError* in_flight = error_in_flight()) {
            error.emplace(std::move(*in_flight));
            return;
        }
        set_error_from_current_exception();
        error.emplace();
    }
};

// `co_await this_driver()` gives a body its driver without suspending.
struct this_driver {
    Driver* driver = nullptr;
    bool await_ready() noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) noexcept {
        driver = h.promise().driver;
        return false;
    }
    Driver* await_resume() noexcept { return driver; }
};

// Errors travel without unwinding. An error that leaves `from` (its awaited
// object failed, or its body ended with the error) goes up past every frame
// that would only let it pass, as unwinding would, and is handed as a value
// to the child of the first frame that settles; that frame is resumed (the
// frames passed over are destroyed with their owner, which runs their
// destructors). Without such a frame the outermost one holds the error and
// the driver ends the body. Returns the frame to resume.
inline std::coroutine_handle<> hand_up(BodyPromise* from, PyError error) noexcept {
    BodyPromise* child = from;
    while (child->parent && !static_cast<BodyPromise*>(child->parent)->settles)
        child = static_cast<BodyPromise*>(child->parent);
    child->result.reset();
    child->error.emplace(std::move(error));
    if (!child->parent) {
        child->driver->failed = true;
        return std::noop_coroutine();
    }
    return child->continuation;
}


// A Task's outcome taken without raising: its value, or its error.
struct Settled {
    Ref result;
    std::optional<PyError> error;
};

// The outcome of a call made without raising: `result` is its new reference,
// or NULL with the error set, which then gets this function's traceback entry
// as a raise would give it.
inline Settled outcome_of(PyObject* result) noexcept {
    if (result) return Settled{Ref::steal(result), std::nullopt};
    note_raised();
    return Settled{Ref(), PyError()};
}

// An argument of a call made as a parameter pack, whose evaluation order C++
// leaves open: a variable or a "name"_kw pair, never an expression still to
// evaluate (read it into a variable first, in Python's order).
template <class A>
concept Evaluated = std::is_lvalue_reference_v<A> || std::is_same_v<std::remove_cvref_t<A>, Kw>;

// (Its result is a Ref, found in the frame.)
inline int traverse_value(const Settled& settled, visitproc visit, void* arg) {
    return traverse_value(settled.error, visit, arg);
}

// `co_return Failure{error};` ends a Task with `error` without throwing it
// (unwinding costs far more than the rest of an error path).
struct Failure {
    PyError error;
};

// `co_return py::failure(error_type, message);`: Python's `raise error_type(message)`
// ending the body, without a throw.
inline Failure failure(const Ref& error_type, const Ref& message) noexcept {
    set_error_with(error_type, message);
    return Failure{PyError()};
}

class Task {
public:
    struct promise_type : BodyPromise {
        using BodyPromise::BodyPromise;

        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        auto final_suspend() noexcept {
            struct Resume {
                bool await_ready() noexcept { return false; }
                std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
                    auto& p = h.promise();
                    if (!p.continuation) return std::noop_coroutine();
                    if (p.error && !static_cast<BodyPromise*>(p.parent)->settles) {
                        PyError error = std::move(*p.error);
                        p.error.reset();
                        return hand_up(&p, std::move(error));
                    }
                    return p.continuation;
                }
                void await_resume() noexcept {}
            };
            return Resume{};
        }
        void return_value(Ref value) noexcept { result = std::move(value); }
        void return_value(Failure failure) noexcept { error.emplace(std::move(failure.error)); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }
    Handle handle() const noexcept { return h_; }
    Handle release() noexcept { return std::exchange(h_, {}); }

    // Awaiting a Task from another Task runs it on the same driver.
    struct Awaiter {
        Handle h;
        bool settles = false;
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> outer) noexcept {
            outer.promise().settles = settles;
            h.promise().driver = outer.promise().driver;
            h.promise().continuation = outer;
            h.promise().parent = &outer.promise();
            return h;
        }
        Ref await_resume() {
            auto& p = h.promise();
            if (p.error) throw PyError(std::move(*p.error));
            return std::move(p.result);
        }
    };
    Awaiter operator co_await() && noexcept { return Awaiter{h_}; }

    // `co_await task.settled()`: the outcome, without raising the error.
    struct SettledAwaiter : Awaiter {
        Settled await_resume() noexcept {
            auto& p = h.promise();
            return Settled{std::move(p.result), std::move(p.error)};
        }
    };
    SettledAwaiter settled() && noexcept { return SettledAwaiter{{h_, true}}; }

private:
    explicit Task(Handle h) noexcept : h_(h) {}
    Handle h_;
};

// The iterator `await obj` delegates to, with Python's own checks and messages.
Ref awaitable_iterator(const Ref& obj);

struct PyAwait {
    Ref awaitable;
    bool iterator = false;  // `yield from`: already the iterator to delegate to
    bool settles = false;   // (see BodyPromise::settles)
    Driver* driver = nullptr;
    std::optional<PyError> failed;

    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
        driver = h.promise().driver;
        if (!failed) {
            try {
                // As GET_AWAITABLE, the awaitable is replaced by its iterator.
                Ref obj = std::exchange(awaitable, Ref());
                driver->delegate = iterator ? std::move(obj) : awaitable_iterator(obj);
            } catch (...) {
                set_error_from_current_exception();
                failed.emplace();
            }
        }
        if (failed) {
            // Nothing to wait for: the error is raised here at once. A frame
            // that settles takes it as a value; otherwise it leaves this frame
            // as a value too (see hand_up), and this frame is never resumed.
            if (settles) return h;
            PyError error = std::move(*failed);
            failed.reset();
            return hand_up(&h.promise(), std::move(error));
        }
        driver->current = h;
        driver->innermost = &h.promise();
        h.promise().settles = settles;
        return std::noop_coroutine();
    }
    Ref await_resume() {
        if (failed) throw PyError(std::move(*failed));
        return driver->resume_value();
    }
};

// `co_await settle(obj)`: awaits obj and gives its outcome, the error as a value.
struct PySettle : PyAwait {
    Settled await_resume() noexcept {
        if (failed) return Settled{Ref(), std::move(failed)};
        Settled outcome{std::move(driver->sent), std::move(driver->thrown)};
        driver->thrown.reset();
        if (outcome.error) {
            // It passes through this function, as through a frame waiting here.
            outcome.error->restore();
            add_traceback(*driver->origin);
            outcome.error.emplace();
        }
        return outcome;
    }
};
inline PySettle settle(Ref&& obj) noexcept { return PySettle{{std::move(obj), false, true}}; }
inline PySettle settle(Ref& obj) noexcept { return PySettle{{std::move(obj), false, true}}; }

// `await obj` inside a body. The awaitable is taken from the local that holds
// it (it can be awaited only once), so that the frame holds it no more and
// the garbage collector sees it through the driver alone.
inline PyAwait await(Ref&& obj) noexcept { return PyAwait{std::move(obj)}; }
inline PyAwait await(Ref& obj) noexcept { return PyAwait{std::move(obj)}; }

// `await obj.name(args)`: `co_await await(obj.method("name"_n), args...)`.
// The call is made at once; an error it raises leaves the body as a value,
// as the error of an awaited object does, without unwinding. The arguments
// are a parameter pack (a braced list may not share a statement with
// co_await in GCC 12), so each must be Evaluated.
template <Evaluated... Args>
PyAwait await(Method method, Args&&... args) noexcept {
    Settled call = outcome_of(method.call({Arg(args)...}));
    if (call.error) return PyAwait{Ref(), false, false, nullptr, std::move(call.error)};
    return PyAwait{std::move(call.result)};
}

// `yield from iterable` inside a generator's body (or a Task it awaits): the
// generator object drives the iterator; the body resumes with its return
// value, or with its error raised.
inline PyAwait yield_from(const Ref& iterable) {
    return PyAwait{Ref::checked(PyObject_GetIter(iterable.get())), true};
}

}  // namespace py

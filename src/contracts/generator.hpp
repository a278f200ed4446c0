// Python generator objects whose body is a C++20 coroutine.
//
//     py::Generator count(Env env) {
//         co_yield py::integer(1);                     // yield value
//         Ref r = co_await py::yield_from(it);         // yield from it
//         co_await py::with(manager, [&](Ref v) -> Task { co_await py::yield_from(v); co_return py::none(); });
//     }
//     return py::make_generator(count(env), origin);
//
// The object is the coroutine object's core (coroutine.cpp) with the
// generator's messages and attributes: lazy start, __next__/send/throw/close,
// `yield from` delegation, "generator already executing", StopIteration
// leaving the body turned into RuntimeError, "generator ignored
// GeneratorExit", and close() at finalisation, so a body holding a resource
// (an open file inside a `with`) releases it however the consumer stops.
#pragma once

#include "task.hpp"

namespace py {

class Generator {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct promise_type : BodyPromise {
        using BodyPromise::BodyPromise;

        // `co_yield value`: the value goes out; the body resumes with what is
        // sent in, or with the error thrown in raised.
        struct Yield {
            Driver* driver;
            bool await_ready() noexcept { return false; }
            void await_suspend(Handle h) noexcept {
                driver->current = h;
                driver->innermost = &h.promise();
            }
            Ref await_resume() { return driver->resume_value(); }
        };

        Generator get_return_object() noexcept { return Generator(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        Yield yield_value(Ref value) noexcept {
            driver->yielded = std::move(value);
            return Yield{driver};
        }
        void return_void() noexcept {}
    };

    Generator(Generator&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Generator& operator=(Generator&&) = delete;
    ~Generator() {
        if (h_) h_.destroy();
    }
    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    explicit Generator(Handle h) noexcept : h_(h) {}
    Handle h_;
};

PyObject* make_generator_object(std::coroutine_handle<> body, BodyPromise& promise, const Origin& origin) noexcept;

// The generator object for a body that has not started. `origin` names the
// function in tracebacks; its qualname is kept alive by the generator.
inline Ref make_generator(Generator body, const Origin& origin) {
    auto h = body.release();
    return Ref::checked(make_generator_object(h, h.promise(), origin));
}

}  // namespace py

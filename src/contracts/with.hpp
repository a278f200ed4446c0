// `with manager as value: <body>` for Task bodies.
//
//     Ref r = co_await with(get_db_session_context(), [&](Ref session) -> Task { ...; co_return x; });
//
// The synchronous twin of async_with: __exit__ is looked up before __enter__
// (so a manager lacking both is reported as lacking __exit__), __enter__() is
// called without awaiting, and __exit__ gets the error's type, value and
// traceback, or three Nones. A true __exit__ result suppresses the error and
// the block's value comes back empty; the caller decides what an unset value
// means. The body may still await; it runs on the same driver.
#pragma once

#include "async_with.hpp"

namespace py {

template <class Body>
Task with(Ref manager, Body body) {
    Ref exit = lookup_special(manager, "__exit__"_n);
    Ref value = lookup_special(manager, "__enter__"_n)();

    Settled block = co_await body(std::move(value)).settled();
    if (!block.error) {
        exit({none(), none(), none()});
        co_return std::move(block.result);
    }
    std::optional<PyError>& error = block.error;

    // The exit runs while the error counts as the exception being handled, as
    // the interpreter's own `with` does; an error it raises takes the place of
    // the block's, chained to it.
    std::optional<PyError> raised;
    {
        Handling handling(*error);
        try {
            ExitArgs args = exit_args(*error);
            Ref suppress = exit({args.type, args.value, args.traceback});
            if (suppress.truth()) co_return Ref();
        } catch (PyError& e) {
            raised.emplace(std::move(e));
        }
    }
    if (raised) {
        chain_context(*raised, *error);
        co_return Failure{std::move(*raised)};
    }
    co_return Failure{std::move(*error)};
}

}  // namespace py

// `async with manager as value: <body>` for Task bodies.
//
//     Ref r = co_await async_with(get_db_session_context(), [&](Ref db) -> Task { ...; co_return x; });
//
// The block's value comes back, or an empty Ref when __aexit__ suppressed an
// error (the caller then decides what an unset value means). __aexit__ gets
// the error's type, value and traceback, or three Nones, and runs exactly
// once on every way out, cancellation included.
#pragma once

#include "task.hpp"

namespace py {

// type(obj).name bound to obj, as the interpreter looks up special methods.
Ref lookup_special(const Ref& obj, PyObject* name);
// The iterator for awaiting what __aenter__/__aexit__ returned, with the
// interpreter's message for an object that cannot be awaited there.
Ref with_awaitable(Ref obj, const char* method);
// A new error raised while another was being handled records it as context.
void chain_context(PyError& raised, PyError& handled) noexcept;

// What an exit method receives for `error`: its type, value and traceback,
// with the value's __traceback__ set as the interpreter does when it catches.
struct ExitArgs {
    Ref type, value, traceback;
};
ExitArgs exit_args(PyError& error);

// The frame keeps the block's error where the garbage collector sees it
// (its Refs, the manager and the exit included, are found in the frame).
template <class Body>
Task async_with(Ref manager, Body body) {
    Frame* frame = co_await this_frame();
    Ref exit;
    Settled block;
    frame->keep(block);
    Ref entering;
    {
        Ref enter = lookup_special(manager, "__aenter__"_n);
        exit = lookup_special(manager, "__aexit__"_n);
        entering = with_awaitable(enter(), "__aenter__");
    }
    Ref value = co_await await(entering);

    block = co_await body(std::move(value)).settled();
    if (!block.error) {
        // (A braced argument list may not share a statement with co_await in GCC 12.)
        Ref exited = with_awaitable(exit({none(), none(), none()}), "__aexit__");
        co_await await(exited);
        co_return std::move(block.result);
    }
    std::optional<PyError>& error = block.error;

    // The exit runs while the error counts as the exception being handled;
    // an error it raises takes the place of the block's, chained to it. The
    // outcomes travel as values (Settled), without unwinding.
    std::optional<PyError> raised;
    {
        Handling handling(*error);
        try {
            ExitArgs args = exit_args(*error);
            Ref exiting = with_awaitable(exit({args.type, args.value, args.traceback}), "__aexit__");
            args = {};
            Settled exited = co_await settle(exiting);
            if (exited.error)
                raised = std::move(exited.error);
            else if (exited.result.truth())
                co_return Ref();
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

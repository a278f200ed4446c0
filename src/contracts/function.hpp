// Module functions declared as tables.
//
// A row names the function, its parameters (name, kind, annotation text,
// default), its return annotation, its description and its body. The one
// function type below binds arguments, converts them by kind, builds the
// metadata (__doc__ with its signature line, __annotations__ as strings,
// __defaults__, __code__, __globals__, _is_coroutine) and starts the body: a Task for
// a coroutine function, a plain call otherwise.
#pragma once

#include <array>
#include <source_location>

#include "task.hpp"

namespace contracts {

using py::Ref;

// How an argument is checked and converted at the call.
enum class Kind {
    any,            // passed on untouched
    integer,        // exact int kept; other numbers through int(); else TypeError
    str,            // exact str only
    optional_bool,  // None or exact bool
    optional_str,   // None or exact str
    truth_bool,     // any object, by its truth value
};

struct Default {
    enum class Tag { required, none, integer } tag = Tag::required;
    long long value = 0;
};
inline constexpr Default none_default{Default::Tag::none, 0};
constexpr Default int_default(long long v) { return {Default::Tag::integer, v}; }

struct Param {
    const char* name = nullptr;
    Kind kind = Kind::any;
    const char* annotation = nullptr;
    Default default_value{};
};

inline constexpr std::size_t max_params = 9;

// What a body sees: the converted arguments and the module's namespace.
class Env {
public:
    // A module-level name, looked up now (module dict, then builtins).
    Ref operator[](py::Name name) const;
    const Ref& arg(std::size_t i) const noexcept { return args_[i]; }

private:
    friend struct FunctionAccess;
    // A suspended body's arguments are seen by the garbage collector.
    friend int traverse_value(const Env& env, visitproc visit, void* arg) {
        Py_VISIT(env.globals_.get());
        for (const Ref& a : env.args_) Py_VISIT(a.get());
        return 0;
    }
    Ref globals_;
    std::array<Ref, max_params> args_;
};

using CoroutineBody = py::Task (*)(Env);
using PlainBody = Ref (*)(const Env&);

struct FunctionSpec {
    const char* name;
    std::array<Param, max_params> params{};
    const char* returns = nullptr;  // the return annotation text
    const char* doc = nullptr;      // the description after the signature line
    CoroutineBody coroutine = nullptr;
    PlainBody plain = nullptr;
    std::source_location where = std::source_location::current();
};

// Creates the Python function object for `spec`, whose names resolve in `globals`.
Ref make_function(const FunctionSpec& spec, const Ref& globals, const Ref& module_name, const char* source_file);

bool ready_function_type() noexcept;

// The table row behind a function object made by make_function, else nullptr:
// lets a module tell its own functions from whatever a caller rebound.
const FunctionSpec* spec_of(PyObject* object) noexcept;

// The return checks of functions annotated `-> str` and `-> int`: an exact
// instance or None passes; for int, another number goes through int().
Ref expect_str(Ref value);
Ref expect_int(Ref value);

}  // namespace contracts

// Module functions declared as tables.
//
// A row names the function, its parameters (name, kind, annotation text,
// default), its return annotation, its description and its body. The one
// function type below binds arguments, converts them by kind, builds the
// metadata (__doc__ with its signature line, __annotations__ as strings,
// __defaults__, __code__, __globals__, _is_coroutine) and starts the body: a
// coroutine object for a Task body, a generator object for a Generator body,
// a plain call otherwise.
#pragma once

#include <initializer_list>
#include <memory>
#include <source_location>
#include <span>
#include <type_traits>
#include <utility>

#include "generator.hpp"
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

// What a body sees: the module's namespace and the converted arguments.
class Env {
public:
    // A module-level name, looked up now (module dict, then builtins).
    Ref operator[](py::Name name) const;
    // The same lookup without raising: borrowed, or NULL with the error set.
    PyObject* find(py::Name name) const noexcept;
    // `name(args)` inside a `try` whose handler the body writes out: the
    // outcome, the error (of the lookup or the call) as a value with this
    // function's traceback entry, without a throw.
    template <py::Evaluated... Args>
    py::Settled attempt(py::Name name, Args&&... args) const noexcept {
        PyObject* callable = find(name);
        return py::outcome_of(callable ? Ref::borrow(callable).call({py::Arg(args)...}) : nullptr);
    }
    // The converted arguments in declaration order; a body receives them by
    // name (Arg), this is for whoever must visit them all.
    std::span<const Ref> args() const noexcept { return {args_.get(), nargs_}; }

private:
    friend struct FunctionAccess;
    // A suspended body's arguments are seen by the garbage collector. (The
    // globals are a Ref in the body's frame, found there.)
    friend int traverse_value(const Env& env, visitproc visit, void* arg) {
        for (const Ref& a : env.args()) Py_VISIT(a.get());
        return 0;
    }
    // The arguments live in their own block (from the interpreter's small-object
    // allocator, not the C heap): Args keep pointing at them when Env moves.
    struct FreeArgs {
        std::size_t n;
        void operator()(Ref* args) const noexcept {
            std::destroy_n(args, n);
            PyMem_Free(args);
        }
    };
    Ref globals_;
    std::unique_ptr<Ref[], FreeArgs> args_{nullptr, FreeArgs{0}};
    std::size_t nargs_ = 0;
};

// One converted argument, received by the body under its parameter's name:
//     Task get_sync_errors(Env env, Arg<"limit"> limit, Arg<"skip"> skip, Arg<"viewed"> viewed)
// The names are checked against the table row when the module compiles. An
// Arg refers to the value its Env owns, so it is valid while the Env lives.
template <py::Literal Name>
class Arg {
public:
    static constexpr const char* name = Name.text.data();
    explicit Arg(const Ref& value) noexcept : value_(&value) {}
    operator const Ref&() const noexcept { return *value_; }
    // As on the Ref itself.
    PyObject* get() const noexcept { return value_->get(); }
    Ref attr(PyObject* attribute) const { return value_->attr(attribute); }
    py::Method method(PyObject* method_name) const { return value_->method(method_name); }
    bool truth() const { return value_->truth(); }
    bool is_none() const noexcept { return value_->is_none(); }

private:
    const Ref* value_;
};
// An Arg is a view of a value its Env owns and visits: a frame keeping both
// must not show the collector the same reference twice.
template <py::Literal Name>
int traverse_value(const Arg<Name>&, visitproc, void*) = delete;

// The body of a table row: a coroutine (returns Task), a generator (returns
// Generator) or a plain function (returns Ref), with its Arg parameters.
struct Body {
    enum class Type { none, plain, coroutine, generator } type = Type::none;
    std::size_t arity = 0;
    const char* const* names = nullptr;
    Ref (*plain)(Env&) = nullptr;
    py::Task (*coroutine)(Env&) = nullptr;
    py::Generator (*generator)(Env&) = nullptr;
};

namespace detail {
template <class F>
struct BodyOf;
template <class R, class E, py::Literal... Names>
struct BodyOf<R (*)(E, Arg<Names>...)> {
    static constexpr const char* names[sizeof...(Names) + 1] = {Arg<Names>::name..., nullptr};
    template <auto F, std::size_t... I>
    static R call(Env& env, std::index_sequence<I...>) {
        std::span<const Ref> args = env.args();
        if constexpr (std::is_same_v<E, Env>)
            return F(std::move(env), Arg<Names>(args[I])...);
        else
            return F(env, Arg<Names>(args[I])...);
    }
    template <auto F>
    static R invoke(Env& env) {
        return call<F>(env, std::index_sequence_for<Arg<Names>...>{});
    }
    template <auto F>
    static constexpr Body body() {
        Body b{.arity = sizeof...(Names), .names = names};
        if constexpr (std::is_same_v<R, py::Task>) {
            b.type = Body::Type::coroutine;
            b.coroutine = invoke<F>;
        } else if constexpr (std::is_same_v<R, py::Generator>) {
            b.type = Body::Type::generator;
            b.generator = invoke<F>;
        } else {
            static_assert(std::is_same_v<R, Ref>, "a body returns Task, Generator or Ref");
            b.type = Body::Type::plain;
            b.plain = invoke<F>;
        }
        return b;
    }
};
}  // namespace detail

// `.body = body<get_sync_errors>` in a table row.
template <auto F>
inline constexpr Body body = detail::BodyOf<decltype(F)>::template body<F>();

struct FunctionSpec {
    const char* name;
    std::initializer_list<Param> params{};
    const char* returns = nullptr;  // the return annotation text
    const char* doc = nullptr;      // the description after the signature line
    Body body{};
    std::source_location where = std::source_location::current();
};

namespace detail {
constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
}  // namespace detail

// Every row has a body whose Arg names are the row's parameter names, in order.
template <std::size_t N>
constexpr bool well_formed(const FunctionSpec (&table)[N]) {
    for (const FunctionSpec& row : table) {
        if (row.body.type == Body::Type::none || row.params.size() != row.body.arity) return false;
        std::size_t i = 0;
        for (const Param& p : row.params)
            if (!detail::same_text(p.name, row.body.names[i++])) return false;
    }
    return true;
}

// Creates the Python function object for `spec`, whose names resolve in `globals`.
Ref make_function(const FunctionSpec& spec, const Ref& globals, const Ref& module_name, const char* source_file);

bool ready_function_type() noexcept;

// True when `object` is a function made by make_function that runs `body`:
// lets a module tell its own functions from whatever a caller rebound.
bool runs(PyObject* object, const Body& body) noexcept;

// The return checks of functions annotated `-> str` and `-> int`: an exact
// instance or None passes; for int, another number goes through int().
Ref expect_str(Ref value);
Ref expect_int(Ref value);

}  // namespace contracts

// Multi-phase module initialisation from an import table and a function table.
//
//     ZENTAB_MODULE(tidewell, "zentab_api.python_api.sync", source_file, imports, functions)
//
// Create refuses a second interpreter and hands back the module already
// initialised, if any; exec runs the import steps in order (one
// `from module import names` each), then any extra definitions, then defines
// the functions. A failed exec leaves nothing behind, so a later import
// starts afresh; exec on another module object after success is refused.
#pragma once

#include <span>

#include "function.hpp"

namespace contracts {

struct ImportName {
    const char* name = nullptr;
    const char* as = nullptr;  // bound under this name instead, if given
};

// One import step: `from module import names...`, or with no names `import module`.
struct Import {
    const char* module;
    std::array<ImportName, 6> names{};
};

struct ModuleDef {
    const char* qualified_name;  // "zentab_api.python_api.sync.tidewell"
    const char* short_name;      // "tidewell", for messages
    const char* source_file;     // named in tracebacks
    std::span<const Import> imports;
    std::span<const FunctionSpec> functions;
    void (*extra)(const Ref& module) = nullptr;  // definitions between imports and functions

    PyModuleDef def{};
    PyModuleDef_Slot slots[3]{};
    PyObject* instance = nullptr;  // the initialised module, kept for the process
};

PyObject* create_module(PyObject* spec, ModuleDef& m) noexcept;
int exec_module(PyObject* module, ModuleDef& m) noexcept;
PyObject* init_module(ModuleDef& m, void* create, void* exec) noexcept;

template <ModuleDef& M>
PyObject* init() noexcept {
    return init_module(
        M, reinterpret_cast<void*>(+[](PyObject* spec, PyModuleDef*) { return create_module(spec, M); }),
        reinterpret_cast<void*>(+[](PyObject* module) { return exec_module(module, M); }));
}

}  // namespace contracts

// ZENTAB_MODULE(tidewell, "zentab_api.python_api.sync", source_file, imports, functions[, .extra = f]):
// the module's definition and entry point from its tables. The function
// table is checked when the module compiles: every row has a body, and the
// body's Arg names are the row's parameters, in order.
#define ZENTAB_MODULE(name, package, source, import_table, function_table, ...)                              \
    static_assert(contracts::well_formed(function_table),                                                     \
                  "a row's body must take Arg<\"name\"> parameters named as the row's parameters");           \
    namespace contracts {                                                                                      \
    ModuleDef name##_module{.qualified_name = package "." #name,                                               \
                            .short_name = #name,                                                               \
                            .source_file = source,                                                             \
                            .imports = import_table,                                                           \
                            .functions = function_table __VA_OPT__(, ) __VA_ARGS__};                          \
    }                                                                                                          \
    PyMODINIT_FUNC PyInit_##name() { return contracts::init<contracts::name##_module>(); }

// Multi-phase module initialisation from an import table and a function table.
//
//     constinit contracts::ModuleDef tidewell_module{...};
//     PyMODINIT_FUNC PyInit_tidewell() { return contracts::init<tidewell_module>(); }
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

#define ZENTAB_MODULE(name, package, source, ...)                                                              \
    namespace contracts {                                                                                      \
    ModuleDef name##_module{.qualified_name = package "." #name,                                               \
                            .short_name = #name,                                                               \
                            .source_file = source,                                                             \
                            .imports = imports,                                                                \
                            .functions = functions __VA_OPT__(, ) __VA_ARGS__};                               \
    }                                                                                                          \
    PyMODINIT_FUNC PyInit_##name() { return contracts::init<contracts::name##_module>(); }

#include "module.hpp"

#include "coroutine.hpp"

namespace contracts {

using py::operator""_n;

namespace {

// `from package import name`: the attribute, else the submodule already in
// sys.modules, else the interpreter's ImportError.
Ref import_from(const Ref& package, const char* name) {
    Ref key = py::str(name);
    PyObject* found = nullptr;
    if (py::check(_PyObject_LookupAttr(package.get(), key.get(), &found))) return Ref::steal(found);
    Ref package_name = package.attr("__name__"_n);
    Ref full = Ref::checked(PyUnicode_FromFormat("%U.%U", package_name.get(), key.get()));
    if (PyObject* sub = PyImport_GetModule(full.get())) return Ref::steal(sub);
    if (PyErr_Occurred()) py::raise();
    PyObject* path = PyModule_Check(package.get()) ? PyModule_GetFilenameObject(package.get()) : nullptr;
    Ref location = Ref::steal(path);
    Ref message;
    if (!location || !PyUnicode_Check(location.get())) {
        PyErr_Clear();
        message = Ref::checked(
            PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", key.get(), package_name.get()));
    } else {
        message = Ref::checked(PyUnicode_FromFormat("cannot import name %R from %R (%S)", key.get(),
                                                    package_name.get(), location.get()));
    }
    PyErr_SetImportError(message.get(), package_name.get(), location.get());
    py::raise();
}

void run_import(const Import& step, const Ref& globals) {
    Py_ssize_t count = 0;
    while (count < static_cast<Py_ssize_t>(step.names.size()) && step.names[count].name) ++count;
    if (count == 0) {
        Ref module = Ref::checked(PyImport_ImportModuleLevel(step.module, globals.get(), nullptr, nullptr, 0));
        py::check(PyDict_SetItemString(globals.get(), step.module, module.get()));
        return;
    }
    Ref fromlist = Ref::checked(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(fromlist.get(), i, py::str(step.names[i].name).release());
    Ref module = Ref::checked(PyImport_ImportModuleLevel(step.module, globals.get(), nullptr, fromlist.get(), 0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const ImportName& n = step.names[i];
        Ref value = import_from(module, n.name);
        py::check(PyDict_SetItemString(globals.get(), n.as ? n.as : n.name, value.get()));
    }
}

}  // namespace

PyObject* create_module(PyObject* spec, ModuleDef& m) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (m.instance) return Py_NewRef(m.instance);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int exec_module(PyObject* module, ModuleDef& m) noexcept {
    if (m.instance) {
        if (m.instance == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     m.short_name);
        return -1;
    }
    try {
        if (!py::ready_coroutine_type(module) || !ready_function_type()) py::raise();
        Ref mod = Ref::borrow(module);
        Ref globals = Ref::borrow(PyModule_GetDict(module));
        for (const Import& step : m.imports) run_import(step, globals);
        if (m.extra) m.extra(mod);
        Ref module_name = mod.attr("__name__"_n);
        for (const FunctionSpec& spec : m.functions) {
            Ref function = make_function(spec, globals, module_name, m.source_file);
            py::check(PyDict_SetItemString(globals.get(), spec.name, function.get()));
        }
        m.instance = Py_NewRef(module);
        return 0;
    } catch (...) {
        py::set_error_from_current_exception();
        return -1;
    }
}

PyObject* init_module(ModuleDef& m, void* create, void* exec) noexcept {
    m.slots[0] = {Py_mod_create, create};
    m.slots[1] = {Py_mod_exec, exec};
    m.slots[2] = {0, nullptr};
    m.def = {PyModuleDef_HEAD_INIT, m.qualified_name, nullptr, 0, nullptr, m.slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&m.def);
}

}  // namespace contracts

#include "function.hpp"

#include <string>

#include "coroutine.hpp"

namespace contracts {

using py::operator""_n;
using py::operator""_kw;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* code;       // names this function in tracebacks
    const FunctionSpec* spec;
    const char* source_file;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
};

struct FunctionAccess {
    static Ref& globals(Env& env) { return env.globals_; }
    static Ref& arg(Env& env, std::size_t i) { return env.args_[i]; }
    static bool allocate(Env& env, std::size_t n) {
        if (n == 0) return true;
        void* block = PyMem_Malloc(n * sizeof(Ref));
        if (!block) {
            PyErr_NoMemory();
            return false;
        }
        env.args_ = {std::uninitialized_value_construct_n(static_cast<Ref*>(block), n) - n, Env::FreeArgs{n}};
        env.nargs_ = n;
        return true;
    }
};

namespace {

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

const Param& param(const FunctionObject* f, Py_ssize_t i) { return f->spec->params.begin()[i]; }

// Binding and conversion report a refused call by setting the error and
// returning false: a refused call is common enough in user code that a C++
// unwind per refusal would cost more than the rest of the call.

bool refuse_count(const FunctionObject* f, const char* qualifier, Py_ssize_t bound, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->spec->name,
                 qualifier, bound, plural(bound), given);
    return false;
}

// The messages and their order: too many positionals, then the first missing
// required parameter, then the first bad keyword.
bool bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Env& env) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t n = f->nparams;
    if (n == 0) {
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f->spec->name);
            return false;
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f->spec->name, nargs);
            return false;
        }
        return true;
    }
    if (nargs > n) return refuse_count(f, f->nrequired == n ? "exactly" : "at most", n, nargs);
    if (!FunctionAccess::allocate(env, static_cast<std::size_t>(n))) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) FunctionAccess::arg(env, i) = Ref::borrow(args[i]);

    PyObject* bad_keyword = nullptr;
    const char* bad_format = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        if (PyUnicode_Check(key)) {
            for (Py_ssize_t i = 0; i < n && index < 0; ++i)
                if (PyUnicode_CompareWithASCIIString(key, param(f, i).name) == 0) index = i;
        } else if (!bad_format) {
            bad_format = "%.200s() keywords must be strings";
            bad_keyword = key;
            continue;
        }
        if (index < 0 || index < nargs) {
            if (!bad_format) {
                bad_format = index < 0 ? "%s() got an unexpected keyword argument '%U'"
                                       : "%s() got multiple values for keyword argument '%U'";
                bad_keyword = key;
            }
        } else {
            FunctionAccess::arg(env, index) = Ref::borrow(args[nargs + k]);
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (FunctionAccess::arg(env, i)) continue;
        const Default& d = param(f, i).default_value;
        switch (d.tag) {
            case Default::Tag::required:
                return refuse_count(f, f->nrequired == n ? "exactly" : "at least", f->nrequired, i);
            case Default::Tag::none:
                FunctionAccess::arg(env, i) = py::none();
                break;
            case Default::Tag::integer:
                FunctionAccess::arg(env, i) = Ref::steal(PyLong_FromLongLong(d.value));
                if (!FunctionAccess::arg(env, i)) return false;
                break;
        }
    }
    if (bad_format) {
        if (PyUnicode_Check(bad_keyword))
            PyErr_Format(PyExc_TypeError, bad_format, f->spec->name, bad_keyword);
        else
            PyErr_Format(PyExc_TypeError, bad_format, f->spec->name);
        return false;
    }
    return true;
}

bool refuse_type(const Param& p, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected, Py_TYPE(value)->tp_name);
    return false;
}

bool convert_int(const Param& p, Ref& value) {
    PyObject* v = value.get();
    if (PyLong_CheckExact(v)) return true;
    if (!PyNumber_Check(v)) return refuse_type(p, "int", v);
    value = Ref::steal(PyNumber_Long(v));
    return static_cast<bool>(value);
}

bool check_exact(const Param& p, const Ref& value, PyTypeObject* expected, bool none_allowed) {
    PyObject* v = value.get();
    if (Py_TYPE(v) == expected || (none_allowed && v == Py_None)) return true;
    if (!PyObject_TypeCheck(v, expected)) return refuse_type(p, expected->tp_name, v);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                 "Subclasses of built-in types are not accepted; an exact %.200s instance is required.",
                 p.name, expected->tp_name, Py_TYPE(v)->tp_name, expected->tp_name);
    return false;
}

// All int conversions first, in declaration order; then the type tests.
bool convert(const FunctionObject* f, Env& env) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (param(f, i).kind == Kind::integer && !convert_int(param(f, i), FunctionAccess::arg(env, i))) return false;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        const Param& p = param(f, i);
        Ref& value = FunctionAccess::arg(env, i);
        bool ok = true;
        switch (p.kind) {
            case Kind::any:
            case Kind::integer:
                break;
            case Kind::str:
                ok = check_exact(p, value, &PyUnicode_Type, false);
                break;
            case Kind::optional_str:
                ok = check_exact(p, value, &PyUnicode_Type, true);
                break;
            case Kind::optional_bool:
                ok = check_exact(p, value, &PyBool_Type, true);
                break;
            case Kind::truth_bool: {
                int truth = PyObject_IsTrue(value.get());
                ok = truth >= 0;
                if (ok) value = py::boolean(truth != 0);
                break;
            }
        }
        if (!ok) return false;
    }
    return true;
}

py::Origin origin_of(FunctionObject* f) {
    return py::Origin{f->qualname, f->source_file, static_cast<int>(f->spec->where.line()), f->code, f->name};
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    Env env;
    FunctionAccess::globals(env) = Ref::borrow(f->globals);
    if (!bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, env) || !convert(f, env)) {
        py::add_traceback(origin_of(f));
        return nullptr;
    }
    py::Origin origin = origin_of(f);
    // (Outside the try: a destructor inside it would cost the unwinder a landing pad.)
    py::RunningBody running(&origin);
    try {
        const Body& body = f->spec->body;
        switch (body.type) {
            case Body::Type::coroutine: return py::make_coroutine(body.coroutine(env), self, origin);
            case Body::Type::generator: return py::make_generator(body.generator(env), origin).release();
            case Body::Type::plain:
            case Body::Type::none: break;
        }
        return body.plain(env).release();
    } catch (...) {
        py::set_error_from_current_exception();
        py::add_traceback_once(origin);
        return nullptr;
    }
}

std::string signature_line(const FunctionSpec& spec) {
    std::string line = spec.name;
    line += '(';
    for (const Param& p : spec.params) {
        if (&p != spec.params.begin()) line += ", ";
        switch (p.kind) {
            case Kind::integer: line += "int "; break;
            case Kind::str:
            case Kind::optional_str: line += "str "; break;
            case Kind::optional_bool:
            case Kind::truth_bool: line += "bool "; break;
            case Kind::any: break;
        }
        line += p.name;
        if (p.annotation) (line += ": ") += p.annotation;
        if (p.default_value.tag == Default::Tag::none) line += " = None";
        if (p.default_value.tag == Default::Tag::integer) line += " = " + std::to_string(p.default_value.value);
    }
    line += ')';
    if (spec.returns) (line += " -> ") += spec.returns;
    return line;
}

// A code object that describes the parameters (co_argcount, co_varnames), so
// inspect builds the signature itself, as for a Python function, with the
// annotations resolved in __globals__ when asked (eval_str=True). It also
// names the function in tracebacks.
Ref make_code(const FunctionSpec& spec, Py_ssize_t nparams, const char* source_file) {
    Ref varnames = Ref::checked(PyTuple_New(nparams));
    for (Py_ssize_t i = 0; i < nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, py::str(spec.params.begin()[i].name).release());
    Ref empty_bytes = Ref::checked(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty = Ref::checked(PyTuple_New(0));
    Ref filename = Ref::checked(PyUnicode_FromString(source_file));
    Ref name = py::str(spec.name);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.body.type == Body::Type::coroutine ? CO_COROUTINE : 0);
    int argcount = static_cast<int>(nparams);
    return Ref::checked(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, argcount, 0, flags, empty_bytes.get(), empty.get(), empty.get(), varnames.get(), empty.get(),
        empty.get(), filename.get(), name.get(), static_cast<int>(spec.where.line()), empty_bytes.get())));
}

PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }

PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
// The module's namespace, where the annotation strings resolve (typing.get_type_hints).
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }

// __name__, __qualname__, __module__ and __doc__ read and write like a Python function's.
template <PyObject* FunctionObject::*Field, bool RequireStr>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = as_function(self)->*Field;
    return Py_NewRef(v ? v : Py_None);
}
template <PyObject* FunctionObject::*Field, bool RequireStr>
int set_field(PyObject* self, PyObject* value, void*) {
    if (RequireStr && (!value || !PyUnicode_Check(value))) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->*Field, Py_XNewRef(value ? value : Py_None));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionObject::name, true>, set_field<&FunctionObject::name, true>, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname, true>, set_field<&FunctionObject::qualname, true>, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module, false>, set_field<&FunctionObject::module, false>, nullptr, nullptr},
    {"__doc__", get_field<&FunctionObject::doc, false>, set_field<&FunctionObject::doc, false>, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Like a built-in function, it does not bind as a method; having __get__
// lets inspect and pydoc treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

}  // namespace

PyObject* Env::find(py::Name name) const noexcept {
    auto* dict = reinterpret_cast<PyDictObject*>(globals_.get());
    py::GlobalCache* cache = name.cache;
    if (cache && cache->dict == globals_.get() && cache->version == dict->ma_version_tag) return cache->value;
    PyObject* value = PyDict_GetItemWithError(globals_.get(), name);
    if (value) {
        if (cache) *cache = {globals_.get(), dict->ma_version_tag, value};
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.object);
    return value;
}

Ref Env::operator[](py::Name name) const {
    PyObject* value = find(name);
    if (!value) py::raise();
    return Ref::borrow(value);
}

Ref make_function(const FunctionSpec& spec, const Ref& globals, const Ref& module_name, const char* source_file) {
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t nrequired = 0;
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (spec.params.begin()[i].default_value.tag == Default::Tag::required) nrequired = i + 1;
    Ref annotations = Ref::checked(PyDict_New());
    Ref defaults;
    if (nrequired < nparams) defaults = Ref::checked(PyTuple_New(nparams - nrequired));
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& p = spec.params.begin()[i];
        if (p.annotation) py::check(PyDict_SetItemString(annotations.get(), p.name, py::str(p.annotation).get()));
        if (i >= nrequired) {
            Ref d = p.default_value.tag == Default::Tag::integer ? py::integer(p.default_value.value) : py::none();
            PyTuple_SET_ITEM(defaults.get(), i - nrequired, d.release());
        }
    }
    if (spec.returns) py::check(PyDict_SetItemString(annotations.get(), "return", py::str(spec.returns).get()));
    std::string doc = signature_line(spec);
    if (spec.doc) (doc += "\n\n") += spec.doc;

    auto* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) py::raise();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->globals = Py_NewRef(globals.get());
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = Py_NewRef(module_name.get());
    f->doc = nullptr;
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->code = nullptr;
    f->spec = &spec;
    f->source_file = source_file;
    f->nparams = nparams;
    f->nrequired = nrequired;
    PyObject_GC_Track(f);
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = py::str(spec.name).release();
    f->qualname = Py_NewRef(f->name);
    f->doc = py::str(doc).release();
    f->code = make_code(spec, nparams, source_file).release();
    if (spec.body.type == Body::Type::coroutine) {
        // asyncio.iscoroutinefunction() looks for this marker.
        Ref coroutines = Ref::checked(PyImport_ImportModule("asyncio.coroutines"));
        py::check(PyObject_SetAttr(function.get(), "_is_coroutine"_n, coroutines.attr("_is_coroutine"_n).get()));
    }
    return function;
}

bool ready_function_type() noexcept {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
    function_type.tp_name = "zentab_function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    function_type.tp_doc = "Function of a native module.";
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_repr = function_repr;
    function_type.tp_getset = function_getset;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    return PyType_Ready(&function_type) == 0;
}

bool runs(PyObject* object, const Body& body) noexcept {
    if (!object || Py_TYPE(object) != &function_type) return false;
    const Body& own = as_function(object)->spec->body;
    return own.plain == body.plain && own.coroutine == body.coroutine && own.generator == body.generator;
}

Ref expect_str(Ref value) {
    if (PyUnicode_CheckExact(value.get()) || value.is_none()) return value;
    py::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", value.type_name());
}

Ref expect_int(Ref value) {
    if (PyLong_CheckExact(value.get()) || value.is_none()) return value;
    if (PyNumber_Check(value.get())) return Ref::checked(PyNumber_Long(value.get()));
    py::raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", value.type_name());
}

}  // namespace contracts

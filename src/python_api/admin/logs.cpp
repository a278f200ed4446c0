// zentab_api.python_api.admin.logs: the last n records of a service's log,
// read across one rotation, multi-line records kept whole.
//
// Two paths, one result. The generic path is the module's own generators
// looked up as module attributes, so a caller that rebinds any of them is
// honoured. While the pipeline's names are still the originals and the path
// is a plain pathlib path, log_tail reads the same records natively: from the
// end backwards for n > 0, forward once for n < 0.
#include "contracts/contracts.hpp"
#include "contracts/generator.hpp"
#include "contracts/with.hpp"
#include "log_tail.hpp"

namespace {

using namespace contracts;
using py::Generator;

constexpr const char* source_file = "zentab_api/python_api/admin/logs.cpp";

constexpr Import imports[] = {
    {"re"},
    {"collections", {{{"deque"}}}},
    {"enum", {{{"Enum"}}}},
    {"pathlib", {{{"Path"}}}},
    {"typing", {{{"Iterator"}, {"List"}}}},
    {"zentab_client.settings.folders", {{{"get_log_dir"}}}},
    {"zentab_api", {{{"LOG_FILE_NAME", "API_LOG_FILE_NAME"}}}},
    {"zentab_tidewell", {{{"LOG_FILE_NAME", "TIDEWELL_LOG_FILE_NAME"}}}},
    {"zentab_api.app.exceptions.admin.logs_handler", {{{"LogFileNotFoundError"}}}},
};

// The objects the native path stands in for, as initialisation left them.
// Held for the life of the process, like the module itself.
struct Originals {
    PyObject* deque = nullptr;
    PyObject* path = nullptr;
    PyObject* record_start = nullptr;
    PyObject* posix_path = nullptr;
    PyObject* windows_path = nullptr;
} originals;

void define_globals(const Ref& module) {
    Ref globals = Ref::borrow(PyModule_GetDict(module.get()));
    auto get = [&](PyObject* name) {
        PyObject* value = PyDict_GetItemWithError(globals.get(), name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, name);
            py::raise();
        }
        return Ref::borrow(value);
    };
    auto set = [&](const char* name, const Ref& value) {
        py::check(PyDict_SetItemString(globals.get(), name, value.get()));
    };
    Ref module_name = module.attr("__name__"_n);

    Ref members = Ref::checked(Py_BuildValue("[(ss)(ss)]", "api", "api", "tidewell", "tidewell"));
    Ref str_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Ref log_service = get("Enum"_n)({"LogService"_s, members, "module"_kw = module_name,
                                     "qualname"_kw = "LogService"_s, "type"_kw = str_type});
    set("LogService", log_service);

    Ref names = Ref::checked(PyDict_New());
    Ref api = get("LogService"_n).attr("api"_n);
    py::check(PyDict_SetItem(names.get(), api.get(), get("API_LOG_FILE_NAME"_n).get()));
    Ref tidewell = get("LogService"_n).attr("tidewell"_n);
    py::check(PyDict_SetItem(names.get(), tidewell.get(), get("TIDEWELL_LOG_FILE_NAME"_n).get()));
    set("_LOG_FILE_NAMES", names);

    Ref pattern = get("re"_n).method("compile"_n)({py::str(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} )")});
    set("_RECORD_START", pattern);

    Ref pathlib = Ref::checked(PyImport_ImportModule("pathlib"));
    originals.deque = Py_NewRef(get("deque"_n).get());
    originals.path = Py_NewRef(get("Path"_n).get());
    originals.record_start = Py_NewRef(pattern.get());
    originals.posix_path = pathlib.attr("PosixPath"_n).release();
    originals.windows_path = pathlib.attr("WindowsPath"_n).release();
}

// ---- the generic path: two generators ---------------------------------------

// For the backup (when it exists), then the current file:
//     with path.open("r", encoding="utf-8", errors="replace") as lines: yield from lines
// (opened by log_tail::open_text, which refuses a FIFO, a device or a socket).
// The exit runs on every way out, a close() of the generator included.
Generator iter_rotated_and_current(Env, Arg<"current"> current) {
    Ref parent = current.attr("parent"_n);
    Ref name = current.attr("name"_n);
    Ref backup_name = Ref::checked(PyNumber_Add(name.get(), ".1"_s.get()));
    Ref backup = Ref::checked(PyNumber_TrueDivide(parent.get(), backup_name.get()));
    bool backup_exists = backup.method("exists"_n)().truth();
    for (int stage = backup_exists ? 0 : 1; stage < 2; ++stage) {
        // (A reference to the argument itself: a copy would be a hidden
        // reference the collector cannot see while the generator is suspended.)
        const Ref& path = stage == 0 ? backup : static_cast<const Ref&>(current);
        // As path.open("r", encoding="utf-8", errors="replace"), refusing
        // what is not a regular file before reading from it.
        Ref file = log_tail::open_text(path);
        co_await py::with(std::move(file), [](Ref lines) -> Task {
            co_await py::yield_from(lines);
            co_return py::none();
        });
    }
}

Generator iter_log_records(Env env, Arg<"raw_lines"> raw_lines) {
    Ref newline = "\n"_s;
    Ref lines = Ref::checked(PyObject_GetIter(raw_lines.get()));
    Ref buffer = Ref::checked(PyList_New(0));
    for (;;) {
        Ref raw = Ref::steal(PyIter_Next(lines.get()));
        if (!raw) {
            if (PyErr_Occurred()) py::raise();
            break;
        }
        Ref line = raw.method("rstrip"_n)({newline});
        Ref matched = env["_RECORD_START"_n].method("match"_n)({line});
        if (matched.truth() && PyList_GET_SIZE(buffer.get()) > 0) {
            Ref record = Ref::checked(PyUnicode_Join(newline.get(), buffer.get()));
            co_yield record;
            buffer = Ref::checked(PyList_New(0));
        }
        py::check(PyList_Append(buffer.get(), line.get()));
    }
    if (PyList_GET_SIZE(buffer.get()) > 0) co_yield Ref::checked(PyUnicode_Join(newline.get(), buffer.get()));
}

// ---- the entry point ---------------------------------------------------------

// True while every name the pipeline goes through is still what
// initialisation made, so the native reader gives the generic path's result.
bool pipeline_is_original(const Env& env, const Ref& log_path) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(log_path.get()));
    if (type != originals.posix_path && type != originals.windows_path) return false;
    try {
        return env["deque"_n].is(originals.deque) &&
               runs(env["_iter_log_records"_n].get(), body<iter_log_records>) &&
               runs(env["_iter_rotated_and_current"_n].get(), body<iter_rotated_and_current>) &&
               env["Path"_n].is(originals.path) && env["_RECORD_START"_n].is(originals.record_start);
    } catch (py::PyError&) {
        return false;  // a name gone missing: the generic path reports it
    }
}

Ref get_recent_log_lines(const Env& env, Arg<"service"> service, Arg<"n"> n) {
    Ref path_type = env["Path"_n];
    Ref log_dir = env["get_log_dir"_n]();
    Ref directory = path_type({log_dir});
    Ref file_name = Ref::checked(PyObject_GetItem(env["_LOG_FILE_NAMES"_n].get(), service.get()));
    Ref log_path = Ref::checked(PyNumber_TrueDivide(directory.get(), file_name.get()));

    if (!log_path.method("exists"_n)().truth()) {
        // A plain string naming the service has no `value`: it names itself.
        PyObject* value = nullptr;
        py::check(_PyObject_LookupAttr(service.get(), "value"_n, &value));
        Ref shown = value ? Ref::steal(value) : service;
        Ref message = py::concat({"No log file found for service '"_s, py::text(shown), "' at "_s,
                                  py::text(log_path)});
        py::raise_with(env["LogFileNotFoundError"_n], message);
    }
    const int sign = _PyLong_Sign(n.get());
    if (sign == 0) return Ref::checked(PyList_New(0));

    if (pipeline_is_original(env, log_path)) {
        // deque(maxlen=n) would refuse what does not fit a Py_ssize_t, before reading.
        Py_ssize_t count = sign < 0 ? -1 : PyLong_AsSsize_t(n.get());
        if (count == -1 && sign > 0) py::raise();
        Ref records = log_tail::recent_records(log_path, count, Ref::borrow(originals.record_start));
        if (records) return records;
    }

    Ref bound = sign < 0 ? py::none() : n;
    Ref deque = env["deque"_n];
    Ref group = env["_iter_log_records"_n];
    Ref read = env["_iter_rotated_and_current"_n];
    Ref lines = read({log_path});
    Ref pipeline = group({lines});
    Ref records = deque({pipeline, "maxlen"_kw = bound});
    return Ref::checked(PySequence_List(records.get()));
}

constexpr FunctionSpec functions[] = {
    {.name = "_iter_rotated_and_current",
     .params = {Param{"current", Kind::any, "Path"}},
     .returns = "Iterator[str]",
     .body = body<iter_rotated_and_current>},
    {.name = "_iter_log_records",
     .params = {Param{"raw_lines", Kind::any, "Iterator[str]"}},
     .returns = "Iterator[str]",
     .body = body<iter_log_records>},
    {.name = "get_recent_log_lines",
     .params = {Param{"service", Kind::any, "LogService"}, Param{"n", Kind::integer, "int"}},
     .returns = "List[str]",
     .body = body<get_recent_log_lines>},
};

}  // namespace

ZENTAB_MODULE(logs, "zentab_api.python_api.admin", source_file, imports, functions, .extra = define_globals)

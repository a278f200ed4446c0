// zentab_api.python_api.sync.tidewell: the background sync agent's service
// state, start and stop, its status, its error log and problem reports.
#include "contracts/contracts.hpp"

namespace {

using namespace contracts;

constexpr Import imports[] = {
    {"typing", {{{"List"}, {"Optional"}}}},
    {"zentab_tidewell.db", {{{"get_db_session_context"}}}},
    {"zentab_tidewell.crud.sync_status", {{{"crud_sync_status"}}}},
    {"zentab_tidewell.models.enums", {{{"SyncLoopStatus"}}}},
    {"zentab_api.app.schemas.sync.sync_status",
     {{{"SyncStatusErrors"}, {"SyncStatusReadV1"}, {"ServiceStatus"}, {"TidewellStatus"}}}},
    {"zentab_api.app.exceptions.sync.tidewell_handler",
     {{{"TidewellNotInstalledError"}, {"TidewellAlreadyRunningError"}, {"TidewellAlreadyStoppedError"}}}},
    {"zentab_api.python_api.sync.utils", {{{"REPORT_TEMPLATE_TIDEWELL"}, {"format_sync_source_errors"}}}},
    {"zentab_client.remote.endpoints.bug_report", {{{"report_bug"}, {"BugReportCreateV3"}}}},
    {"zentab_service_manager.services", {{{"tidewell"}, {"sync_api"}}}},
    {"zentab_service_manager", {{{"ServiceManager"}}}},
    {"zentab_service_manager.status", {{{"InstallationStatus"}, {"EnablementStatus"}, {"RunningStatus"}}}},
};

// ---- service state and status ----------------------------------------------

Ref get_service_status_safe(const Env& env, Arg<"service_module"> service_module) {
    try {
        Ref service = service_module.method("get_service"_n)();
        Ref status = service.attr("status"_n);
        // Each snapshot attribute is read before the member it is compared with, as in Python.
        Ref installation = status.attr("installation_status"_n);
        if (py::eq(installation, env["InstallationStatus"_n].attr("NOT_INSTALLED"_n)))
            return env["ServiceStatus"_n].attr("NOT_INSTALLED"_n);
        Ref running = status.attr("running_status"_n);
        if (py::eq(running, env["RunningStatus"_n].attr("RUNNING"_n))) return env["ServiceStatus"_n].attr("RUNNING"_n);
        Ref enablement = status.attr("enablement_status"_n);
        if (py::eq(enablement, env["EnablementStatus"_n].attr("DISABLED"_n)))
            return env["ServiceStatus"_n].attr("NOT_ENABLED"_n);
        return env["ServiceStatus"_n].attr("NOT_RUNNING"_n);
    } catch (py::PyError& error) {
        // A service that cannot be asked counts as not installed.
        if (!error.matches(PyExc_Exception)) throw;
    }
    return env["ServiceStatus"_n].attr("NOT_INSTALLED"_n);
}

Ref create_response(const Env& env, Arg<"status_model"> status_model) {
    Ref agent_status = env["_get_service_status_safe"_n]({env["tidewell"_n]});
    Ref api_status = env["_get_service_status_safe"_n]({env["sync_api"_n]});
    Ref tidewell_status = env["TidewellStatus"_n].attr("UNAVAILABLE"_n);
    if (py::eq(agent_status, env["ServiceStatus"_n].attr("RUNNING"_n)))
        tidewell_status = env["TidewellStatus"_n]({status_model.attr("status"_n).attr("value"_n)});
    return env["SyncStatusReadV1"_n]({
        "tidewell_service"_kw = agent_status,
        "sync_api_service"_kw = api_status,
        "tidewell_status"_kw = tidewell_status,
        "sync_iteration_count"_kw = status_model.attr("sync_iteration_count"_n),
        "last_update"_kw = status_model.attr("last_update"_n),
    });
}

Task start_tidewell(Env env) {
    Ref service = env["tidewell"_n].method("get_service"_n)();
    Ref status = service.attr("status"_n);
    Ref installation = status.attr("installation_status"_n);
    if (py::eq(installation, env["InstallationStatus"_n].attr("NOT_INSTALLED"_n)))
        py::raise_with(env["TidewellNotInstalledError"_n], "Tidewell is not installed, cannot start"_s);
    Ref running = status.attr("running_status"_n);
    if (py::eq(running, env["RunningStatus"_n].attr("RUNNING"_n))) {
        Ref tidewell_status = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
            Ref status_model = co_await await(env["crud_sync_status"_n].method("get_status"_n), db);
            co_return env["TidewellStatus"_n]({status_model.attr("status"_n).attr("value"_n)});
        });
        if (!tidewell_status) py::raise_unbound_local("tidewell_status");
        if (py::eq(tidewell_status, env["TidewellStatus"_n].attr("RUNNING"_n)))
            py::raise_with(env["TidewellAlreadyRunningError"_n], "Tidewell is already running"_s);
    }
    service.method("start"_n)();
    Ref response = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Method update_status = env["crud_sync_status"_n].method("update_status"_n);
        Ref running = env["SyncLoopStatus"_n].attr("RUNNING"_n);
        Ref status_model = co_await await(std::move(update_status), db, running);
        co_return env["_create_response"_n]({status_model});
    });
    co_return response ? response : py::none();
}

Task stop_tidewell(Env env) {
    Ref service = env["tidewell"_n].method("get_service"_n)();
    Ref status = service.attr("status"_n);
    Ref running = status.attr("running_status"_n);
    if (py::ne(running, env["RunningStatus"_n].attr("RUNNING"_n)))
        py::raise_with(env["TidewellAlreadyStoppedError"_n], "Tidewell is not running, cannot stop"_s);
    service.method("stop"_n)();
    co_return co_await await(env["get_sync_status"_n]());
}

Task get_sync_status(Env env) {
    Ref response = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref status_model = co_await await(env["crud_sync_status"_n].method("get_status"_n), db);
        co_return env["_create_response"_n]({status_model});
    });
    co_return response ? response : py::none();
}

// ---- the error log ------------------------------------------------------------

Task get_sync_errors(Env env, Arg<"limit"> limit, Arg<"skip"> skip, Arg<"viewed"> viewed) {
    Ref records = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref errors = co_await await(env["crud_sync_status"_n].method("read_sync_status_errors"_n), db, skip, limit, "viewed"_kw = viewed);
        Ref result = py::new_list();
        for (const Ref& e : py::iterate(errors))
            py::append(result, env["SyncStatusErrors"_n].method("model_validate"_n)({e}));
        co_return result;
    });
    co_return records ? records : py::none();
}

Task set_sync_status_error_viewed(Env env, Arg<"error_id"> error_id, Arg<"viewed"> viewed) {
    Ref record = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref updated = co_await await(env["crud_sync_status"_n].method("set_sync_status_error_viewed"_n), db, error_id, viewed);
        co_return env["SyncStatusErrors"_n].method("model_validate"_n)({updated});
    });
    co_return record ? record : py::none();
}

Task mark_all_sync_status_errors_viewed(Env env) {
    Ref count = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref flipped = co_await await(env["crud_sync_status"_n].method("mark_all_sync_status_errors_viewed"_n), db);
        co_return expect_int(flipped);
    });
    co_return count ? count : py::none();
}

// ---- problem reports ------------------------------------------------------------

Task generate_tidewell_report(Env env, Arg<"message"> message) {
    Ref status = co_await await(env["get_sync_status"_n]());
    Ref reading = env["get_sync_errors"_n]({"limit"_kw = py::integer(10), "skip"_kw = py::integer(0)});
    Ref errors = co_await await(reading);
    Ref report = env["REPORT_TEMPLATE_TIDEWELL"_n].method("format"_n)({
        "message"_kw = message,
        "sync_api_service"_kw = status.attr("sync_api_service"_n).attr("value"_n),
        "tidewell_service"_kw = status.attr("tidewell_service"_n).attr("value"_n),
        "tidewell_status"_kw = status.attr("tidewell_status"_n).has_attr("value"_n)
                                   ? status.attr("tidewell_status"_n).attr("value"_n)
                                   : status.attr("tidewell_status"_n),
        "sync_iteration_count"_kw = status.attr("sync_iteration_count"_n),
        "last_update"_kw = status.attr("last_update"_n).truth() ? status.attr("last_update"_n).method("isoformat"_n)()
                                                                : "N/A"_s,
        "errors"_kw = env["format_sync_source_errors"_n]({errors}),
    });
    co_return expect_str(report);
}

Task get_tidewell_error_report(Env env, Arg<"message"> message) {
    Ref generating = env["generate_tidewell_report"_n]({message});
    Ref report = co_await await(generating);
    co_return expect_str(report);
}

Task report_tidewell(Env env, Arg<"message"> message) {
    Ref generating = env["generate_tidewell_report"_n]({message});
    Ref report_content = co_await await(generating);
    Ref bug_report =
        env["BugReportCreateV3"_n]({"subject"_kw = "Tidewell BUG REPORT"_s, "description"_kw = report_content});
    env["report_bug"_n]({bug_report});
    co_return py::none();
}

constexpr const char* sync_status = "SyncStatusReadV1";
constexpr Param message{"message", Kind::str, "str"};
// The report functions share these docstring sections (adjacent literals join).
#define MESSAGE_ARGS \
    "Args:\n"       \
    "    message: A message describing the reason for the report (e.g., error description)."
#define RETURNS_REPORT \
    "Returns:\n"      \
    "    The generated report content as a string."

constexpr FunctionSpec functions[] = {
    {.name = "_get_service_status_safe",
     .params = {Param{"service_module"}},
     .returns = "ServiceStatus",
     .body = body<get_service_status_safe>},
    {.name = "_create_response", .params = {Param{"status_model"}}, .returns = sync_status, .body = body<create_response>},
    {.name = "start_tidewell", .returns = sync_status, .body = body<start_tidewell>},
    {.name = "stop_tidewell", .returns = sync_status, .body = body<stop_tidewell>},
    {.name = "get_sync_status", .returns = sync_status, .body = body<get_sync_status>},
    {.name = "get_sync_errors",
     .params = {Param{"limit", Kind::integer, "int", int_default(10)}, Param{"skip", Kind::integer, "int", int_default(0)},
                Param{"viewed", Kind::optional_bool, "Optional[bool]", none_default}},
     .returns = "List[SyncStatusErrors]",
     .doc = "Read error-log records for the Tidewell.\n"
            "\n"
            "Args:\n"
            "    limit: Page size.\n"
            "    skip: Offset for pagination.\n"
            "    viewed: If not None, only return errors whose ``viewed`` flag matches (pass ``False``\n"
            "            for unread-only).",
     .body = body<get_sync_errors>},
    {.name = "set_sync_status_error_viewed",
     .params = {Param{"error_id", Kind::integer, "int"}, Param{"viewed", Kind::truth_bool, "bool"}},
     .returns = "SyncStatusErrors",
     .doc = "Set the viewed flag on a single sync-status error record.\n"
            "\n"
            "Raises:\n"
            "    SyncStatusErrorRecordNotFoundError: If no record with ``error_id`` exists.",
     .body = body<set_sync_status_error_viewed>},
    {.name = "mark_all_sync_status_errors_viewed",
     .returns = "int",
     .doc = "Mark every sync-status error as viewed. Returns the number flipped.",
     .body = body<mark_all_sync_status_errors_viewed>},
    {.name = "generate_tidewell_report",
     .params = {message},
     .returns = "str",
     .doc = "Generate a detailed report for the Tidewell.\n\n" MESSAGE_ARGS "\n\n" RETURNS_REPORT,
     .body = body<generate_tidewell_report>},
    {.name = "get_tidewell_error_report",
     .params = {message},
     .returns = "str",
     .doc = "Get an error report for the Tidewell without sending it.\n"
            "\n"
            "This is useful when the server cannot send the report automatically,\n"
            "allowing the user to retrieve and send it manually.\n\n" MESSAGE_ARGS "\n\n" RETURNS_REPORT,
     .body = body<get_tidewell_error_report>},
    {.name = "report_tidewell",
     .params = {message},
     .returns = "None",
     .doc = "Generate and send a detailed report for the Tidewell to Velmora.\n\n" MESSAGE_ARGS,
     .body = body<report_tidewell>},
};

}  // namespace

ZENTAB_MODULE(tidewell, "zentab_api.python_api.sync", "zentab_api/python_api/sync/tidewell.cpp", imports, functions)

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

Ref get_service_status_safe(const Env& env) {
    const Ref& service_module = env.arg(0);
    try {
        Ref service = service_module.attr("get_service"_n)();
        Ref status = service.attr("status"_n);
        if (status.attr("installation_status"_n) == env["InstallationStatus"_n].attr("NOT_INSTALLED"_n))
            return env["ServiceStatus"_n].attr("NOT_INSTALLED"_n);
        if (status.attr("running_status"_n) == env["RunningStatus"_n].attr("RUNNING"_n))
            return env["ServiceStatus"_n].attr("RUNNING"_n);
        if (status.attr("enablement_status"_n) == env["EnablementStatus"_n].attr("DISABLED"_n))
            return env["ServiceStatus"_n].attr("NOT_ENABLED"_n);
        return env["ServiceStatus"_n].attr("NOT_RUNNING"_n);
    } catch (py::PyError& error) {
        // A service that cannot be asked counts as not installed.
        if (!error.matches(PyExc_Exception)) throw;
    }
    return env["ServiceStatus"_n].attr("NOT_INSTALLED"_n);
}

Ref create_response(const Env& env) {
    const Ref& status_model = env.arg(0);
    Ref agent_status = env["_get_service_status_safe"_n]({env["tidewell"_n]});
    Ref api_status = env["_get_service_status_safe"_n]({env["sync_api"_n]});
    Ref tidewell_status = env["TidewellStatus"_n].attr("UNAVAILABLE"_n);
    if (agent_status == env["ServiceStatus"_n].attr("RUNNING"_n))
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
    Ref service = env["tidewell"_n].attr("get_service"_n)();
    Ref status = service.attr("status"_n);
    if (status.attr("installation_status"_n) == env["InstallationStatus"_n].attr("NOT_INSTALLED"_n))
        py::raise_with(env["TidewellNotInstalledError"_n], py::str("Tidewell is not installed, cannot start"));
    if (status.attr("running_status"_n) == env["RunningStatus"_n].attr("RUNNING"_n)) {
        Ref tidewell_status = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
            Ref reading = env["crud_sync_status"_n].attr("get_status"_n)({db});
            Ref status_model = co_await await(reading);
            co_return env["TidewellStatus"_n]({status_model.attr("status"_n).attr("value"_n)});
        });
        if (!tidewell_status) py::raise_unbound_local("tidewell_status");
        if (tidewell_status == env["TidewellStatus"_n].attr("RUNNING"_n))
            py::raise_with(env["TidewellAlreadyRunningError"_n], py::str("Tidewell is already running"));
    }
    service.attr("start"_n)();
    Ref response = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref updating = env["crud_sync_status"_n].attr("update_status"_n)({db, env["SyncLoopStatus"_n].attr("RUNNING"_n)});
        Ref status_model = co_await await(updating);
        co_return env["_create_response"_n]({status_model});
    });
    co_return response ? response : py::none();
}

Task stop_tidewell(Env env) {
    Ref service = env["tidewell"_n].attr("get_service"_n)();
    Ref status = service.attr("status"_n);
    if (status.attr("running_status"_n) != env["RunningStatus"_n].attr("RUNNING"_n))
        py::raise_with(env["TidewellAlreadyStoppedError"_n], py::str("Tidewell is not running, cannot stop"));
    service.attr("stop"_n)();
    co_return co_await await(env["get_sync_status"_n]());
}

Task get_sync_status(Env env) {
    Ref response = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref reading = env["crud_sync_status"_n].attr("get_status"_n)({db});
        Ref status_model = co_await await(reading);
        co_return env["_create_response"_n]({status_model});
    });
    co_return response ? response : py::none();
}

constexpr const char* sync_status = "SyncStatusReadV1";

const FunctionSpec functions[] = {
    {.name = "_get_service_status_safe",
     .params = {Param{"service_module"}},
     .returns = "ServiceStatus",
     .plain = get_service_status_safe},
    {.name = "_create_response", .params = {Param{"status_model"}}, .returns = sync_status, .plain = create_response},
    {.name = "start_tidewell", .returns = sync_status, .coroutine = start_tidewell},
    {.name = "stop_tidewell", .returns = sync_status, .coroutine = stop_tidewell},
    {.name = "get_sync_status", .returns = sync_status, .coroutine = get_sync_status},
};

}  // namespace

namespace contracts {
ModuleDef tidewell_module{
    .qualified_name = "zentab_api.python_api.sync.tidewell",
    .short_name = "tidewell",
    .source_file = "zentab_api/python_api/sync/tidewell.cpp",
    .imports = imports,
    .functions = functions,
};
}  // namespace contracts

PyMODINIT_FUNC PyInit_tidewell() { return contracts::init<contracts::tidewell_module>(); }

// zentab_api.python_api.sync.parcelry: the items the sync agent works on:
// listing and lookup, reset and prioritisation, and problem reports.
#include "contracts/contracts.hpp"

namespace {

using namespace contracts;

constexpr Import imports[] = {
    {"typing", {{{"List"}, {"Optional"}}}},
    {"zentab_tidewell.db", {{{"get_db_session_context"}}}},
    {"zentab_tidewell.crud.parcelry", {{{"crud_parcelry"}, {"SyncItemSortKey"}, {"OrderDirection"}}}},
    {"zentab_tidewell.crud.sync_sources", {{{"crud_sync_sources"}}}},
    {"zentab_tidewell.connectors", {{{"get_sync_connectors"}}}},
    {"zentab_client.remote.endpoints.bug_report", {{{"report_bug"}, {"BugReportCreateV3"}}}},
    {"zentab_api.app.schemas.sync.parcelry", {{{"SyncItemReadV1"}, {"SyncItemReadSummaryV1"}}}},
    {"zentab_api.app.schemas.sync.connectors", {{{"ConnectorRead"}}}},
    {"zentab_api.python_api.sync.utils",
     {{{"REPORT_TEMPLATE_SYNC_ITEM"}, {"format_connector_info"}, {"format_sync_record_logs"}}}},
};

// ---- listing and lookup -----------------------------------------------------

Task list_parcelry(Env env, Arg<"source_id"> source_id, Arg<"is_synchronized"> is_synchronized, Arg<"has_priority"> has_priority, Arg<"scope_identifier"> scope_identifier, Arg<"query"> query, Arg<"order_by"> order_by, Arg<"order_direction"> order_direction, Arg<"offset"> offset, Arg<"limit"> limit) {
    Ref summaries = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        // The store gets every argument as given: paging and filters are its business.
        Ref items = co_await await(env["crud_parcelry"_n].method("list_parcelry"_n), db, "source_id"_kw = source_id, "is_synchronized"_kw = is_synchronized, "has_priority"_kw = has_priority, "scope_identifier"_kw = scope_identifier, "order_by"_kw = order_by, "order_direction"_kw = order_direction, "offset"_kw = offset, "limit"_kw = limit, "query"_kw = query);
        Ref result = py::new_list();
        for (const Ref& item : py::iterate(items))
            py::append(result, env["SyncItemReadSummaryV1"_n].method("model_validate"_n)({item}));
        co_return result;
    });
    co_return summaries ? summaries : py::none();
}

Task get_sync_item(Env env, Arg<"sync_item_id"> sync_item_id) {
    Ref record = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref item = co_await await(env["crud_parcelry"_n].method("read_sync_item"_n), db, sync_item_id);
        co_return env["SyncItemReadV1"_n].method("model_validate"_n)({item});
    });
    co_return record ? record : py::none();
}

// ---- actions ------------------------------------------------------------------

Task reset_sync_item(Env env, Arg<"sync_item_id"> sync_item_id) {
    co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        co_await await(env["crud_parcelry"_n].method("update_sync_item"_n), db, sync_item_id, "attempts"_kw = py::integer(0), "synchronized"_kw = py::boolean(false), "has_priority"_kw = py::boolean(false));
        co_return py::none();
    });
    co_return py::none();
}

Task prioritize_sync_item(Env env, Arg<"sync_item_id"> sync_item_id) {
    co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        // Only the flag: turning it into a priority value is the store's decision.
        co_await await(env["crud_parcelry"_n].method("update_sync_item"_n), db, sync_item_id, "has_priority"_kw = py::boolean(true));
        co_return py::none();
    });
    co_return py::none();
}

// ---- problem reports --------------------------------------------------------

// `value or "N/A"`
Ref or_na(Ref value) { return value.truth() ? value : "N/A"_s; }

Task generate_sync_item_report(Env env, Arg<"sync_item_id"> sync_item_id, Arg<"message"> message) {
    Ref report = co_await async_with(env["get_db_session_context"_n](), [&](Ref db) -> Task {
        Ref item = co_await await(env["crud_parcelry"_n].method("read_sync_item"_n), db, sync_item_id);
        Method read_sync_source = env["crud_sync_sources"_n].method("read_sync_source"_n);
        Ref source_id = item.attr("sync_source_id"_n);
        Ref sync_source = co_await await(std::move(read_sync_source), db, source_id);
        Ref connectors = env["get_sync_connectors"_n]();
        Ref connector = connectors.method("get"_n)({sync_source.attr("connector"_n)});
        Ref connector_read = py::none();
        if (connector.truth()) connector_read = env["ConnectorRead"_n].method("model_validate"_n)({connector});
        Ref item_read = env["SyncItemReadV1"_n].method("model_validate"_n)({item});

        // Each value is read where it stands, in keyword order, as the template call
        // would evaluate them; the conditional reads repeat the attribute lookup.
        Ref format = env["REPORT_TEMPLATE_SYNC_ITEM"_n].attr("format"_n);
        Ref text = format({
            "message"_kw = message,
            "sync_item_id"_kw = item_read.attr("id"_n),
            "data_identifier"_kw = item_read.attr("dataIdentifier"_n),
            "dataset_uuid"_kw = item_read.attr("datasetUUID"_n),
            "sync_priority"_kw = item_read.attr("syncPriority"_n),
            "has_priority"_kw = item_read.attr("hasPriority"_n),
            "attempts"_kw = item_read.attr("attempts"_n),
            "status"_kw = item_read.attr("status"_n).attr("value"_n),
            "last_update"_kw = item_read.attr("last_update"_n).truth()
                                   ? item_read.attr("last_update"_n).method("isoformat"_n)()
                                   : "N/A"_s,
            "sync_source_name"_kw = sync_source.attr("name"_n),
            "sync_source_connector"_kw = sync_source.attr("connector"_n),
            "sync_source_status"_kw = sync_source.attr("status"_n).has_attr("value"_n)
                                          ? sync_source.attr("status"_n).attr("value"_n)
                                          : sync_source.attr("status"_n),
            "sync_source_owner"_kw = or_na(sync_source.attr("owner"_n)),
            "sync_source_default_scope"_kw = or_na(sync_source.attr("default_scope"_n)),
            "sync_source_config_data"_kw = sync_source.attr("config_data"_n),
            "connector_info"_kw = env["format_connector_info"_n]({connector_read}),
            "logs"_kw = env["format_sync_record_logs"_n]({item_read.attr("sync_record"_n)}),
        });
        co_return expect_str(std::move(text));
    });
    co_return report ? report : py::none();
}

Task get_sync_item_error_report(Env env, Arg<"sync_item_id"> sync_item_id, Arg<"message"> message) {
    Ref generating = env["generate_sync_item_report"_n]({sync_item_id, message});
    Ref report = co_await await(generating);
    co_return expect_str(std::move(report));
}

Task report_sync_item(Env env, Arg<"sync_item_id"> sync_item_id, Arg<"message"> message) {
    Ref generating = env["generate_sync_item_report"_n]({sync_item_id, message});
    Ref report_content = co_await await(generating);
    // Sent after the session is closed: report_bug blocks on the network.
    Ref bug_report = env["BugReportCreateV3"_n]({
        "subject"_kw = "Sync Item BUG REPORT"_s,
        "description"_kw = report_content,
    });
    env["report_bug"_n]({bug_report});
    co_return py::none();
}

// ---- function table ---------------------------------------------------------

constexpr Param sync_item_id{"sync_item_id", Kind::integer, "int"};
constexpr Param message{"message", Kind::str, "str"};

constexpr FunctionSpec functions[] = {
    {.name = "list_parcelry",
     .params = {Param{"source_id", Kind::integer, "int"},
                Param{"is_synchronized", Kind::optional_bool, "Optional[bool]", none_default},
                Param{"has_priority", Kind::optional_bool, "Optional[bool]", none_default},
                Param{"scope_identifier", Kind::optional_str, "Optional[str]", none_default},
                Param{"query", Kind::optional_str, "Optional[str]", none_default},
                Param{"order_by", Kind::any, "Optional[SyncItemSortKey]", none_default},
                Param{"order_direction", Kind::any, "Optional[OrderDirection]", none_default},
                Param{"offset", Kind::integer, "int", int_default(0)},
                Param{"limit", Kind::integer, "int", int_default(100)}},
     .returns = "List[SyncItemReadSummaryV1]",
     .doc = "List sync items of a source through the CRUD layer, with optional filters, ordering and paging.",
     .body = body<list_parcelry>},
    {.name = "get_sync_item",
     .params = {sync_item_id},
     .returns = "SyncItemReadV1",
     .doc = "Get a single sync item by id using the CRUD layer.",
     .body = body<get_sync_item>},
    {.name = "reset_sync_item",
     .params = {sync_item_id},
     .returns = "None",
     .doc = "Reset attempts and synchronized state for a sync item.",
     .body = body<reset_sync_item>},
    {.name = "prioritize_sync_item",
     .params = {sync_item_id},
     .returns = "None",
     .doc = "Prioritize a sync item by setting its sync priority to the maximum float value.",
     .body = body<prioritize_sync_item>},
    {.name = "generate_sync_item_report",
     .params = {sync_item_id, message},
     .returns = "str",
     .doc = "Generate a detailed report for a sync item.\n\n"
            "Args:\n"
            "    sync_item_id: The ID of the sync item to report on.\n"
            "    message: A message describing the reason for the report (e.g., error description).\n\n"
            "Returns:\n"
            "    The generated report content as a string.",
     .body = body<generate_sync_item_report>},
    {.name = "get_sync_item_error_report",
     .params = {sync_item_id, message},
     .returns = "str",
     .doc = "Get an error report for a sync item without sending it.\n\n"
            "This is useful when the server cannot send the report automatically,\n"
            "allowing the user to retrieve and send it manually.\n\n"
            "Args:\n"
            "    sync_item_id: The ID of the sync item to report on.\n"
            "    message: A message describing the reason for the report (e.g., error description).\n\n"
            "Returns:\n"
            "    The generated report content as a string.",
     .body = body<get_sync_item_error_report>},
    {.name = "report_sync_item",
     .params = {sync_item_id, message},
     .returns = "None",
     .doc = "Generate and send a detailed report for a sync item to Velmora.\n\n"
            "Args:\n"
            "    sync_item_id: The ID of the sync item to report on.\n"
            "    message: A message describing the reason for the report (e.g., error description).",
     .body = body<report_sync_item>},
};

}  // namespace

ZENTAB_MODULE(parcelry, "zentab_api.python_api.sync", "zentab_api/python_api/sync/parcelry.cpp", imports, functions)

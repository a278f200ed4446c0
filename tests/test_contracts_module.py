"""Module initialisation: import tables, functions, one initialisation, one interpreter."""
import ctypes
import importlib
import subprocess
import sys
import textwrap
import types

import pytest

BINDINGS = {
    "zentab_api.python_api.sync.tidewell": [
        "List", "Optional", "get_db_session_context", "crud_sync_status", "SyncLoopStatus", "SyncStatusErrors",
        "SyncStatusReadV1", "ServiceStatus", "TidewellStatus", "TidewellNotInstalledError",
        "TidewellAlreadyRunningError", "TidewellAlreadyStoppedError", "REPORT_TEMPLATE_TIDEWELL",
        "format_sync_source_errors", "report_bug", "BugReportCreateV3", "tidewell", "sync_api", "ServiceManager",
        "InstallationStatus", "EnablementStatus", "RunningStatus",
        "_get_service_status_safe", "_create_response", "start_tidewell", "stop_tidewell", "get_sync_status",
        "get_sync_errors", "set_sync_status_error_viewed", "mark_all_sync_status_errors_viewed",
        "generate_tidewell_report", "get_tidewell_error_report", "report_tidewell",
    ],
    "zentab_api.python_api.sync.parcelry": [
        "List", "Optional", "get_db_session_context", "crud_parcelry", "SyncItemSortKey", "OrderDirection",
        "crud_sync_sources", "get_sync_connectors", "report_bug", "BugReportCreateV3", "SyncItemReadV1",
        "SyncItemReadSummaryV1", "ConnectorRead", "REPORT_TEMPLATE_SYNC_ITEM", "format_connector_info",
        "format_sync_record_logs",
        "list_parcelry", "get_sync_item", "reset_sync_item", "prioritize_sync_item", "generate_sync_item_report",
        "get_sync_item_error_report", "report_sync_item",
    ],
    "zentab_api.python_api.auth.local.keyfolio": [
        "List", "get_db_session_context", "dao_api_token", "Users", "generate_token_name", "store_API_token",
        "test_api_token", "TOKEN_CACHE", "api_token_create", "api_token_delete", "APIKeyInfo", "get_user_settings",
        "APIKeyInvalidException", "select", "APITokenCreateResponse", "APITokenReadLocal", "APITokenCheckResponse",
        "UserAlreadyHasTokenError", "TokenNotFoundError", "NoUserLoggedInError", "ServerUnreachableError",
        "ServerOperationError",
        "create_api_token", "list_keyfolio", "delete_api_token", "check_api_token",
    ],
    "zentab_api.python_api.admin.logs": [
        "re", "deque", "Enum", "Path", "Iterator", "List", "get_log_dir", "API_LOG_FILE_NAME",
        "TIDEWELL_LOG_FILE_NAME", "LogFileNotFoundError", "LogService", "_LOG_FILE_NAMES", "_RECORD_START",
        "_iter_rotated_and_current", "_iter_log_records", "get_recent_log_lines",
    ],
}
SHORT = {name: name.rsplit(".", 1)[1] for name in BINDINGS}


def run_python(code):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.mark.parametrize("name", sorted(BINDINGS))
def test_imports_then_functions_in_order_and_nothing_else(name):
    module = importlib.import_module(name)
    own = [key for key in vars(module) if not key.startswith("__")]
    assert own == BINDINGS[name]


@pytest.mark.parametrize("name", sorted(BINDINGS))
def test_a_second_import_gets_the_same_module(name):
    module = importlib.import_module(name)
    del sys.modules[name]
    try:
        assert importlib.import_module(name) is module
    finally:
        sys.modules[name] = module


@pytest.mark.parametrize("name", sorted(BINDINGS))
def test_reinitialisation_with_another_module_object_is_refused(name):
    module = importlib.import_module(name)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)
    with pytest.raises(RuntimeError) as raised:
        api.PyModule_ExecDef(types.ModuleType(name), definition)
    assert str(raised.value) == (
        f"Module '{SHORT[name]}' has already been imported. Re-initialisation is not supported.")
    assert api.PyModule_ExecDef(module, definition) == 0  # the module itself: nothing to do


@pytest.mark.parametrize(
    "name, missing, expected",
    [
        ("zentab_api.python_api.sync.tidewell", "zentab_service_manager.status", "import of zentab_service_manager.status halted"),
        ("zentab_api.python_api.sync.parcelry", "zentab_tidewell.connectors", "import of zentab_tidewell.connectors halted"),
        ("zentab_api.python_api.auth.local.keyfolio", "sqlalchemy", "import of sqlalchemy halted"),
        ("zentab_api.python_api.admin.logs", "zentab_client.settings.folders", "import of zentab_client.settings.folders halted"),
    ],
)
def test_a_failed_import_leaves_nothing_and_a_later_import_starts_afresh(name, missing, expected):
    out = run_python(f"""
        import importlib, sys
        sys.modules[{missing!r}] = None
        try:
            importlib.import_module({name!r})
        except ImportError as error:
            print("failed:", error)
        assert {name!r} not in sys.modules
        del sys.modules[{missing!r}]
        module = importlib.import_module({name!r})
        print("then:", sorted(k for k in vars(module) if not k.startswith("__"))[-1])
    """)
    assert expected in out and "then:" in out


def test_a_missing_name_fails_the_import_with_the_host_message():
    out = run_python("""
        import sys, types
        sys.modules["zentab_api.python_api.sync.utils"] = types.ModuleType("zentab_api.python_api.sync.utils")
        try:
            import zentab_api.python_api.sync.tidewell
        except ImportError as error:
            print(error)
    """)
    assert "cannot import name 'REPORT_TEMPLATE_TIDEWELL' from 'zentab_api.python_api.sync.utils' (unknown location)" in out


@pytest.mark.parametrize("name", sorted(BINDINGS))
def test_a_second_interpreter_is_refused(name):
    out = run_python(f"""
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import {name}")
        except interpreters.RunFailedError as error:
            print(error)
        finally:
            interpreters.destroy(interp)
    """)
    assert "ImportError" in out
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out


def test_names_are_looked_up_at_use(monkeypatch):
    from zentab_api.python_api.sync import tidewell

    class Snapshot:
        installation_status = running_status = enablement_status = None

    class Service:
        status = Snapshot()

    class Module:
        @staticmethod
        def get_service():
            return Service()

    monkeypatch.setattr(tidewell, "ServiceStatus", types.SimpleNamespace(NOT_RUNNING="rebound", NOT_INSTALLED="x"))
    assert tidewell._get_service_status_safe(Module) == "rebound"


def test_every_built_module_is_checked_here():
    from module_list import native_modules

    assert sorted(native_modules()) == sorted(BINDINGS)

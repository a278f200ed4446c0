"""A tour of the four native modules on the embedded default application.

Runs on a fresh data directory (a temporary one, removed at the end, unless
ZENTAB_DATA_DIR is set), starts the loopback stand-in of the remote server and the
two background services, and stops everything it started.
"""
import asyncio
import os
import shutil
import sys
import tempfile

# Made only when needed (an empty value counts as unset, as it does for the data directory
# itself, which would otherwise be the user's own).
TEMPORARY_DATA_DIR = None
if not os.environ.get("ZENTAB_DATA_DIR"):
    TEMPORARY_DATA_DIR = tempfile.mkdtemp(prefix="zentab-demo-")
    os.environ["ZENTAB_DATA_DIR"] = TEMPORARY_DATA_DIR
os.environ.setdefault("ZENTAB_AGENT_INTERVAL", "0.1")

import httpx  # noqa: E402

from zentab_api.app.address import wait_for_address  # noqa: E402
from zentab_api.python_api.admin import logs  # noqa: E402
from zentab_api.python_api.auth.local import keyfolio  # noqa: E402
from zentab_api.python_api.sync import parcelry, tidewell  # noqa: E402
from zentab_client.settings.user_settings import login  # noqa: E402
from zentab_server import start_server  # noqa: E402
from zentab_service_manager.services import sync_api  # noqa: E402


def heading(text):
    print(f"\n=== {text} " + "=" * max(0, 70 - len(text)))


def show_status(label, status):
    print(f"{label:<22} tidewell={status.tidewell_service.value:<13} sync_api={status.sync_api_service.value:<13} "
          f"loop={status.tidewell_status.value:<11} iterations={status.sync_iteration_count}")


async def demo_tidewell(server):
    heading("tidewell: the background sync agent")
    show_status("before start", await tidewell.get_sync_status())
    show_status("start_tidewell()", await tidewell.start_tidewell())
    for _ in range(3):
        await asyncio.sleep(0.6)
        show_status("while running", await tidewell.get_sync_status())

    heading("tidewell: the agent's error log")
    page = await tidewell.get_sync_errors(limit=3, skip=0)
    for error in page:
        print(f"  #{error.id:<3} viewed={error.viewed!s:<5} {error.message}")
    unread = await tidewell.get_sync_errors(viewed=False)
    print(f"unread entries: {len(unread)}")
    marked = await tidewell.set_sync_status_error_viewed(page[0].id, True)
    print(f"set_sync_status_error_viewed({marked.id}, True) -> viewed={marked.viewed}")
    print(f"mark_all_sync_status_errors_viewed() -> {await tidewell.mark_all_sync_status_errors_viewed()} flipped")

    heading("tidewell: a problem report")
    print(await tidewell.get_tidewell_error_report("Demo: the agent looks stuck {sometimes}"))
    await tidewell.report_tidewell("Demo: the agent looks stuck {sometimes}")
    received = server.bug_reports
    print(f"reports received by the server: {len(received)}, subject {received[-1]['subject']!r}")

    heading("tidewell: stop")
    show_status("stop_tidewell()", await tidewell.stop_tidewell())
    try:
        await tidewell.stop_tidewell()
    except tidewell.TidewellAlreadyStoppedError as error:
        print(f"second stop_tidewell(): {type(error).__name__}: {error}")


async def demo_parcelry():
    heading("parcelry: synchronised items")
    page = await parcelry.list_parcelry(1, is_synchronized=False, order_by="attempts", order_direction="desc",
                                        offset=0, limit=4)
    print("source 1, not synchronised, most attempts first, first page of 4:")
    for summary in page:
        print(f"  #{summary.id:<3} {summary.dataIdentifier:<34} attempts={summary.attempts} "
              f"status={summary.status.value}")
    item_id = page[0].id
    item = await parcelry.get_sync_item(item_id)
    print(f"get_sync_item({item_id}): {item.dataIdentifier} priority={item.syncPriority} attempts={item.attempts}")
    await parcelry.prioritize_sync_item(item_id)
    item = await parcelry.get_sync_item(item_id)
    print(f"after prioritize_sync_item: hasPriority={item.hasPriority} syncPriority={item.syncPriority:.3g}")
    await parcelry.reset_sync_item(item_id)
    item = await parcelry.get_sync_item(item_id)
    print(f"after reset_sync_item: attempts={item.attempts} synchronized={item.synchronized} "
          f"hasPriority={item.hasPriority}")
    print(await parcelry.get_sync_item_error_report(item_id, "Demo: this item keeps failing"))


async def demo_keyfolio(server):
    heading("keyfolio: local API tokens")
    login("demo-user", "Ada", "Lovelace", server.url, access_token=server.issue_login("demo-user"))
    created = await keyfolio.create_api_token()
    print(f"create_api_token(): uid={created.uid} name={created.name!r} (secret returned once, not shown)")
    for record in await keyfolio.list_keyfolio():
        print(f"  listed: user={record.user_sub} name={record.user_name!r} token={record.api_key_name!r}")
    print("check_api_token:", (await keyfolio.check_api_token(created.uid)).valid)
    server.revoke(created.uid)
    print("check after the server revoked it:", (await keyfolio.check_api_token(created.uid)).valid)
    await keyfolio.delete_api_token(created.uid)
    print("delete_api_token: listed now:", await keyfolio.list_keyfolio())
    await keyfolio.create_api_token("demo laptop")
    try:
        await keyfolio.create_api_token("second")
    except keyfolio.UserAlreadyHasTokenError as error:
        print(f"second create_api_token: {type(error).__name__}: {error}")


async def demo_http(api_pid):
    heading("the local API over HTTP (the sync_api service)")
    address = wait_for_address(api_pid)
    print(f"listening on {address.url}; OpenAPI page: {address.url}/docs")
    calls = [("GET", "/sync/status", None), ("GET", "/sync/sources/1/items?limit=2&order_by=attempts", None),
             ("GET", "/sync/items/3", None), ("POST", "/sync/items/3/prioritize", None),
             ("GET", "/sync/items/999999", None), ("POST", "/auth/local/tokens", {"name": "another"}),
             ("GET", "/admin/logs/tidewell?n=1", None)]
    async with httpx.AsyncClient(base_url=address.url, headers=address.headers, timeout=10) as client:
        for method, path, body in calls:
            response = await client.request(method, path, json=body)
            text = response.text if len(response.text) <= 110 else response.text[:107] + "..."
            print(f"{method:<5} {path:<48} -> {response.status_code} {text}")
    await asyncio.sleep(0.2)  # the service's log thread writes just after each answer
    print(f"--- the last {len(calls)} records of api.log, as logs.get_recent_log_lines reads them ---")
    for record in logs.get_recent_log_lines(logs.LogService.api, len(calls)):
        print(record)


def demo_logs():
    heading("logs: the last records of each service's log")
    for service in logs.LogService:
        print(f"--- get_recent_log_lines({service}, 4) ---")
        try:
            for record in logs.get_recent_log_lines(service, 4):
                print(record)
        except logs.LogFileNotFoundError as error:
            print(error)


async def main():
    print(f"data directory: {os.environ['ZENTAB_DATA_DIR']}"
          + (" (temporary, removed at the end; set ZENTAB_DATA_DIR to keep one)" if TEMPORARY_DATA_DIR else ""))
    server = start_server()
    api_service = sync_api.get_service()
    api_pid = api_service.start()
    try:
        login("demo-user", "Ada", "Lovelace", server.url, access_token=server.issue_login("demo-user"))
        await demo_tidewell(server)
        await demo_parcelry()
        await demo_keyfolio(server)
        await demo_http(api_pid)
        demo_logs()
    finally:
        api_service.stop()
        tidewell_service = tidewell.tidewell.get_service()
        tidewell_service.stop()
        server.stop()
    print("\ndemo finished")


def run():
    try:
        asyncio.run(main())
    except BaseException:
        if TEMPORARY_DATA_DIR:
            print(f"\nthe demo failed; its data directory is kept for a look: {TEMPORARY_DATA_DIR}", file=sys.stderr)
        raise
    if TEMPORARY_DATA_DIR:
        shutil.rmtree(TEMPORARY_DATA_DIR)


if __name__ == "__main__":
    run()

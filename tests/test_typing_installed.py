"""A user's program type-checked by mypy against the installed package, as a user's checker sees it.

The stubs beside the extension modules only count if the packages are marked typed (py.typed):
without the marker mypy skips them and every call is Any. The program's expected diagnostics are
written on its lines (`# E:` an error, `# N:` a note such as reveal_type's), and mypy must report
exactly those: a wrong argument that passes unnoticed, or a correct call reported, fails.
"""
import re
import subprocess
import sys

PROGRAM = '''\
import asyncio
from typing import List

from zentab_api.app.schemas.auth.local.keyfolio import APITokenCreateResponse, APITokenReadLocal
from zentab_api.app.schemas.sync.parcelry import SyncItemReadSummaryV1, SyncItemReadV1
from zentab_api.app.schemas.sync.sync_status import SyncStatusErrors, SyncStatusReadV1
from zentab_api.python_api.admin import logs
from zentab_api.python_api.admin.logs import LogService
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell
from zentab_tidewell.crud.parcelry import OrderDirection, SyncItemSortKey


async def correct() -> None:
    items: List[SyncItemReadSummaryV1] = await parcelry.list_parcelry(
        1, is_synchronized=False, order_by=SyncItemSortKey.ATTEMPTS, order_direction=OrderDirection.DESC, limit=4)
    item: SyncItemReadV1 = await parcelry.get_sync_item(items[0].id)
    await parcelry.prioritize_sync_item(item.id)
    report: str = await parcelry.get_sync_item_error_report(item.id, "stuck")
    status: SyncStatusReadV1 = await tidewell.get_sync_status()
    errors: List[SyncStatusErrors] = await tidewell.get_sync_errors(limit=3, viewed=None)
    flipped: int = await tidewell.mark_all_sync_status_errors_viewed()
    created: APITokenCreateResponse = await keyfolio.create_api_token("laptop")
    listed: List[APITokenReadLocal] = await keyfolio.list_keyfolio()
    valid: bool = (await keyfolio.check_api_token(created.uid)).valid
    lines: List[str] = logs.get_recent_log_lines(LogService.api, 5)
    print(report, status, errors, flipped, listed, valid, lines)


async def revealed() -> None:
    reveal_type(await parcelry.list_parcelry(1))  # N: Revealed type is "list[zentab_api.app.schemas.sync.parcelry.SyncItemReadSummaryV1]"
    reveal_type((await parcelry.get_sync_item(1)).status)  # N: Revealed type is "zentab_tidewell.models.enums.SyncItemStatus"
    reveal_type(await tidewell.start_tidewell())  # N: Revealed type is "zentab_api.app.schemas.sync.sync_status.SyncStatusReadV1"
    reveal_type(await keyfolio.check_api_token("uid"))  # N: Revealed type is "zentab_api.app.schemas.auth.local.keyfolio.APITokenCheckResponse"
    reveal_type(await keyfolio.delete_api_token("uid"))  # N: Revealed type is "None"
    reveal_type(logs.get_recent_log_lines(LogService.tidewell, 1))  # N: Revealed type is "list[str]"


async def wrong() -> None:
    await parcelry.list_parcelry("x")  # E: Argument 1 to "list_parcelry" has incompatible type "str"; expected "int"  [arg-type]
    logs.get_recent_log_lines(LogService.api, "5")  # E: Argument 2 to "get_recent_log_lines" has incompatible type "str"; expected "int"  [arg-type]
    await parcelry.list_parcelry(1, order_by="attempts")  # E: Argument "order_by" to "list_parcelry" has incompatible type "str"; expected "SyncItemSortKey | None"  [arg-type]
    await tidewell.set_sync_status_error_viewed(1)  # E: Missing positional argument "viewed" in call to "set_sync_status_error_viewed"  [call-arg]
    name: int = (await keyfolio.create_api_token()).name  # E: Incompatible types in assignment (expression has type "str", variable has type "int")  [assignment]
    print(name)


asyncio.run(correct())
'''

DIAGNOSTIC = re.compile(r"^program\.py:(\d+): (error|note): (.*)$")
EXPECTED = re.compile(r"  # ([EN]): (.*)$")


def expected_diagnostics():
    found = set()
    for number, line in enumerate(PROGRAM.splitlines(), 1):
        match = EXPECTED.search(line)
        if match:
            found.add((number, "error" if match[1] == "E" else "note", match[2]))
    return found


def test_mypy_sees_the_installed_stubs(tmp_path):
    (tmp_path / "program.py").write_text(PROGRAM)
    # Run outside the checkout, so the only zentab packages mypy can find are the installed ones.
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--no-pretty", "--show-error-codes",
                           "--hide-error-context", "--cache-dir", str(tmp_path / "cache"), "program.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    reported = set()
    for line in done.stdout.splitlines():
        match = DIAGNOSTIC.match(line)
        assert match, f"unexpected mypy output: {line!r}\n{done.stdout}{done.stderr}"
        # Older mypy spells builtins with their module ("builtins.list[builtins.str]").
        reported.add((int(match[1]), match[2], match[3].replace("builtins.", "")))
    expected = expected_diagnostics()
    assert reported == expected, (f"missing: {sorted(expected - reported)}\n"
                                  f"unexpected: {sorted(reported - expected)}")
    assert done.returncode == 1, done.stderr

"""A user's program type-checked by mypy against the installed packages, as a user's checker sees it.

The modules' stubs are a stub-only package marked partial (zentab_api-stubs/py.typed holds
"partial"): mypy takes the four modules from it and every other module from the application's
own packages. The program's expected diagnostics are written on its lines (`# E:` an error, `# N:`
a note such as reveal_type's), and mypy must report exactly those: a wrong argument that passes
unnoticed, or a correct call reported, fails.

tests/wheel_roundtrip.sh runs it as a script in a stand-in host application holding the modules
wheel: `python tests/test_typing_installed.py typed-host` (the same program, on the host's own
packages), then `untyped-host` (the host without py.typed: the modules' own signatures still count).
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

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

# On a host whose packages are not typed, the types the stubs take from them are Any, and the
# host's own modules stay unanalysed as before.
UNTYPED_HOST_PROGRAM = '''\
from zentab_api.python_api.admin import logs
from zentab_api.python_api.sync import parcelry, tidewell


async def seen() -> None:
    reveal_type(logs.get_recent_log_lines)  # N: Revealed type is "def (service: zentab_api.python_api.admin.logs.LogService, n: int) -> list[str]"
    reveal_type(await tidewell.get_sync_status())  # N: Revealed type is "Any"
    await parcelry.list_parcelry("x")  # E: Argument 1 to "list_parcelry" has incompatible type "str"; expected "int"  [arg-type]
    await parcelry.get_sync_item()  # E: Missing positional argument "sync_item_id" in call to "get_sync_item"  [call-arg]
'''

DIAGNOSTIC = re.compile(r"^program\.py:(\d+): (error|note): (.*)$")
EXPECTED = re.compile(r"  # ([EN]): (.*)$")


def expected_diagnostics(program):
    found = set()
    for number, line in enumerate(program.splitlines(), 1):
        match = EXPECTED.search(line)
        if match:
            found.add((number, "error" if match[1] == "E" else "note", match[2]))
    return found


def check(program, folder):
    """mypy on the program in folder (outside the checkout, so the only zentab packages it can find
    are the installed ones) reports exactly the diagnostics written on its lines."""
    (folder / "program.py").write_text(program)
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--no-pretty", "--show-error-codes",
                           "--hide-error-context", "--cache-dir", str(folder / "cache"), "program.py"],
                          cwd=folder, capture_output=True, text=True, timeout=300)
    reported = set()
    for line in done.stdout.splitlines():
        match = DIAGNOSTIC.match(line)
        assert match, f"unexpected mypy output: {line!r}\n{done.stdout}{done.stderr}"
        # Older mypy spells builtins with their module ("builtins.list[builtins.str]").
        reported.add((int(match[1]), match[2], match[3].replace("builtins.", "")))
    expected = expected_diagnostics(program)
    assert reported == expected, (f"missing: {sorted(expected - reported)}\n"
                                  f"unexpected: {sorted(reported - expected)}")
    assert done.returncode == 1, done.stderr
    return len(reported)


def test_mypy_sees_the_installed_stubs(tmp_path):
    check(PROGRAM, tmp_path)


if __name__ == "__main__":
    host = sys.argv[1] if len(sys.argv) == 2 else None
    programs = {"typed-host": PROGRAM, "untyped-host": UNTYPED_HOST_PROGRAM}
    if host not in programs:
        sys.exit(f"usage: python {sys.argv[0]} {'|'.join(programs)}")
    with tempfile.TemporaryDirectory() as folder:
        count = check(programs[host], Path(folder))
    print(f"mypy on the {host.replace('-', ' ')}: the {count} expected diagnostics, no other")

"""Run by tests/wheel_roundtrip.sh inside a fresh environment holding only the wheel and its
declared dependencies: the wheel holds every file of the packages it ships, the four modules
import from the environment with their stubs, and one call of each works on the embedded
default (ZENTAB_DATA_DIR is a temporary directory).

    python tests/wheel_smoke.py WHEEL SOURCE_PACKAGE_DIR...
"""
import asyncio
import os
import sys
import zipfile
from pathlib import Path

from zentab_api.app.schemas.sync.parcelry import SyncItemReadSummaryV1
from zentab_api.app.schemas.sync.sync_status import SyncStatusReadV1
from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell

MODULES = [tidewell, parcelry, keyfolio, logs]
TYPED_PACKAGES = ["zentab_api", "zentab_client", "zentab_service_manager", "zentab_tidewell"]


def check_wheel_holds_sources(wheel, package_dirs):
    held = set(zipfile.ZipFile(wheel).namelist())
    missing = []
    for package_dir in map(Path, package_dirs):
        for path in sorted(package_dir.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                name = path.relative_to(package_dir.parent).as_posix()
                if name not in held:
                    missing.append(name)
    assert not missing, f"missing from {wheel}: {missing}"
    native = sorted(name for name in held if name.endswith((".so", ".pyi")))
    assert len(native) == 2 * len(MODULES), native


def check_installed_files():
    prefix = Path(sys.prefix).resolve()
    for module in MODULES:
        path = Path(module.__file__).resolve()
        assert prefix in path.parents, f"{module.__name__} imported from {path}, not from {prefix}"
        assert path.with_name(module.__name__.rsplit(".", 1)[1] + ".pyi").is_file(), f"no stub beside {path}"
    for package in TYPED_PACKAGES:
        marker = Path(__import__(package).__file__).with_name("py.typed")
        assert marker.is_file(), f"no {marker}"


async def one_call_each():
    status = await tidewell.get_sync_status()
    assert isinstance(status, SyncStatusReadV1), status
    items = await parcelry.list_parcelry(1, limit=3)
    assert len(items) == 3 and all(isinstance(item, SyncItemReadSummaryV1) for item in items), items
    assert await keyfolio.list_keyfolio() == []
    log = Path(os.environ["ZENTAB_DATA_DIR"]) / "logs" / logs.API_LOG_FILE_NAME
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("2026-01-01 10:00:00,000 INFO api: first\n"
                   "2026-01-01 10:00:01,000 ERROR api: second\nTraceback: a continuation line\n",
                   encoding="utf-8")
    assert logs.get_recent_log_lines(logs.LogService.api, 1) == [
        "2026-01-01 10:00:01,000 ERROR api: second\nTraceback: a continuation line"]
    return status, items


def main():
    assert os.environ.get("ZENTAB_DATA_DIR"), "run with a temporary ZENTAB_DATA_DIR"
    wheel, *package_dirs = sys.argv[1:]
    check_wheel_holds_sources(wheel, package_dirs)
    check_installed_files()
    status, items = asyncio.run(one_call_each())
    print(f"wheel smoke: 4 modules from {sys.prefix}; tidewell={status.tidewell_service.value}, "
          f"{len(items)} items listed, keyfolio and logs answered")


if __name__ == "__main__":
    main()

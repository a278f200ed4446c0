"""Checks run by tests/wheel_roundtrip.sh on the distributions in dist/ and in the environments it makes.

    python tests/wheel_smoke.py check-wheels MODULES_WHEEL DEFAULT_WHEEL SDIST APP_PACKAGE_DIR...
    python tests/wheel_smoke.py requirements DEFAULT_WHEEL      (the host's libraries, one a line)
    python tests/wheel_smoke.py check-added MODULES_WHEEL FILE  (files the install added under zentab_*)
    python tests/wheel_smoke.py call host|default               (ZENTAB_DATA_DIR set to a temporary folder)
"""
import asyncio
import email
import os
import re
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path, PurePosixPath

MODULE_LIST = Path(__file__).resolve().parent.parent / "src" / "python_api" / "modules.txt"
HOST_PACKAGES = ["zentab_api", "zentab_tidewell", "zentab_client", "zentab_service_manager"]


def module_files():
    """What the modules wheel must hold outside its metadata: each module and its stub, the marker."""
    files = {"zentab_api-stubs/py.typed"}
    for line in MODULE_LIST.read_text().splitlines():
        if line[:1].isalpha():
            name, package = line.split()[:2]
            folder = package.replace(".", "/")
            files.add(f"{folder}/{name}{sysconfig.get_config_var('EXT_SUFFIX')}")
            files.add(re.sub(r"^[^/]+", r"\g<0>-stubs", folder) + f"/{name}.pyi")
    return files


def payload(wheel):
    return {name for name in zipfile.ZipFile(wheel).namelist() if ".dist-info/" not in name and name[-1] != "/"}


def check_wheels(modules_wheel, default_wheel, sdist, package_dirs):
    # The modules wheel holds the modules and stubs only: nothing of the host's packages.
    held = payload(modules_wheel)
    assert held == module_files(), f"{modules_wheel}: unexpected {sorted(held - module_files())}, " \
                                   f"missing {sorted(module_files() - held)}"
    assert zipfile.ZipFile(modules_wheel).read("zentab_api-stubs/py.typed") == b"partial\n"
    # The embedded default's wheel holds every file of its packages and no native module.
    held = payload(default_wheel)
    missing = []
    for package_dir in map(Path, package_dirs):
        for path in sorted(package_dir.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                name = path.relative_to(package_dir.parent).as_posix()
                if name not in held:
                    missing.append(name)
    assert not missing, f"missing from {default_wheel}: {missing}"
    assert not [name for name in held if name.endswith((".so", ".pyi"))], held
    # The sdist builds the modules: the sources, not the embedded default or the tests.
    tops = {PurePosixPath(name).parts[1] for name in tarfile.open(sdist).getnames() if "/" in name}
    assert {"src", "CMakeLists.txt", "pyproject.toml"} <= tops and not tops & {"app", "tests", "bench"}, tops
    print(f"wheels hold what they should: {len(module_files())} files of the modules, "
          f"{len(held)} of the embedded default")


def requirements(default_wheel):
    with zipfile.ZipFile(default_wheel) as wheel:
        metadata = next(name for name in wheel.namelist() if name.endswith(".dist-info/METADATA"))
        message = email.message_from_bytes(wheel.read(metadata))
    for requirement in message.get_all("Requires-Dist"):
        if "extra ==" not in requirement and not requirement.startswith("zentab-local-api"):
            print(requirement)


def check_added(modules_wheel, added_list):
    added = set(Path(added_list).read_text().split())
    assert added == module_files(), f"installing {modules_wheel} added {sorted(added)}"


async def one_call_each(tidewell, parcelry, keyfolio, logs):
    status = await tidewell.get_sync_status()
    assert type(status).__name__ == "SyncStatusReadV1", status
    items = await parcelry.list_parcelry(1, limit=3)
    assert len(items) == 3 and all(type(item).__name__ == "SyncItemReadSummaryV1" for item in items), items
    assert await keyfolio.list_keyfolio() == []
    log = Path(os.environ["ZENTAB_DATA_DIR"]) / "logs" / logs.API_LOG_FILE_NAME
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("2026-01-01 10:00:00,000 INFO api: first\n"
                   "2026-01-01 10:00:01,000 ERROR api: second\nTraceback: a continuation line\n",
                   encoding="utf-8")
    assert logs.get_recent_log_lines(logs.LogService.api, 1) == [
        "2026-01-01 10:00:01,000 ERROR api: second\nTraceback: a continuation line"]
    return status, items


def call(where):
    assert os.environ.get("ZENTAB_DATA_DIR"), "run with a temporary ZENTAB_DATA_DIR"
    from zentab_api.python_api.admin import logs
    from zentab_api.python_api.auth.local import keyfolio
    from zentab_api.python_api.sync import parcelry, tidewell

    prefix = Path(sys.prefix).resolve()
    for module in (tidewell, parcelry, keyfolio, logs):
        path = Path(module.__file__).resolve()
        assert prefix in path.parents, f"{module.__name__} imported from {path}, not from {prefix}"
    # The collaborators the modules imported are the environment's one copy of each package.
    for name in HOST_PACKAGES:
        package = sys.modules[name]
        assert prefix in Path(package.__file__).resolve().parents, package
        assert hasattr(package, "STAND_IN_HOST") == (where == "host"), package
    status, items = asyncio.run(one_call_each(tidewell, parcelry, keyfolio, logs))
    print(f"4 modules on the {where}'s packages in {sys.prefix}: tidewell={status.tidewell_service.value}, "
          f"{len(items)} items listed, keyfolio and logs answered")


def main():
    command, *args = sys.argv[1:]
    if command == "check-wheels":
        check_wheels(args[0], args[1], args[2], args[3:])
    elif command == "requirements":
        requirements(*args)
    elif command == "check-added":
        check_added(*args)
    elif command == "call":
        call(*args)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()

"""The module's type stub agrees with the module (mypy's stubtest)."""
import importlib
import os
import subprocess
import sys
from pathlib import Path

import zentab_api.python_api.sync.tidewell as tidewell

MODULE = "zentab_api.python_api.sync.tidewell"
PACKAGES = ["zentab_api", "zentab_client", "zentab_service_manager", "zentab_tidewell"]
# Only our stub is under test; not analysing the big libraries behind the app keeps this quick.
MYPY_CONFIG = """\
[mypy]
[mypy-sqlalchemy.*,pydantic.*,pydantic_core.*,aiosqlite.*]
follow_imports = skip
"""


def test_stub_is_installed_next_to_the_module():
    assert Path(tidewell.__file__).with_name("tidewell.pyi").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    # The packages carry no py.typed marker, so mypy is shown them through MYPYPATH.
    search = tmp_path / "path"
    search.mkdir()
    for name in PACKAGES:
        (search / name).symlink_to(Path(importlib.import_module(name).__file__).parent)
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    env = dict(os.environ, MYPYPATH=str(search))
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), MODULE],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr

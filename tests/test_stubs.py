"""The type stubs installed beside the modules agree with the modules (mypy's stubtest)."""
import importlib
import subprocess
import sys
from pathlib import Path

import pytest

from module_list import native_modules

MODULES = native_modules()
# The application packages are typed (py.typed), so mypy finds them installed; the large
# third-party libraries behind them are not analysed, which keeps the run short.
MYPY_CONFIG = """\
[mypy]
follow_imports = silent
[mypy-sqlalchemy.*,pydantic.*,pydantic_core.*,aiosqlite.*]
follow_imports = skip
"""


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_installed_beside_the_module(name):
    module = importlib.import_module(name)
    assert Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), *MODULES],
                          cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr

"""The installed type stubs (the partial stub package zentab_api-stubs, which mypy prefers to the
runtime package) agree with the modules (mypy's stubtest; a module without a stub fails it)."""
import subprocess
import sys

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


def test_stubtest_finds_no_difference(tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), *MODULES],
                          cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr

"""The installed type stub of logs agrees with the module (mypy stubtest)."""
import os
import subprocess
import sys
from pathlib import Path

import zentab_api
import zentab_client
import zentab_tidewell

MODULE = "zentab_api.python_api.admin.logs"

# The application packages carry no py.typed marker, so mypy is pointed at them through
# MYPYPATH; the big third-party libraries are not followed, which keeps the run short.
MYPY_CONFIG = """\
[mypy]
follow_imports = silent
[mypy-sqlalchemy.*,pydantic.*,pydantic_core.*,aiosqlite.*]
follow_imports = skip
"""


def test_stub_matches_module(tmp_path):
    search = tmp_path / "path"
    search.mkdir()
    for package in (zentab_api, zentab_client, zentab_tidewell):
        source = Path(package.__file__).parent
        (search / source.name).symlink_to(source, target_is_directory=True)
    assert (search / "zentab_api/python_api/admin/logs.pyi").is_file()
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), MODULE],
        cwd=tmp_path, env=dict(os.environ, MYPYPATH=str(search)),
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr

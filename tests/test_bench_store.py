"""bench/store.py runs on the data directory it is given, else on a temporary one it removes."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("preset", [False, True])
def test_the_store_bench_uses_the_data_directory_it_is_given_and_leaves_no_temporary_files(tmp_path, preset):
    data, tmp = tmp_path / "data", tmp_path / "tmp"
    tmp.mkdir()
    env = dict(os.environ, TMPDIR=str(tmp), ZENTAB_DATA_DIR=str(data) if preset else "")
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "store.py"), "--repeat", "3", "--concurrent", "8"],
                          capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "lost updates 0" in done.stdout
    assert list(tmp.iterdir()) == []
    assert (data / "tidewell.db").exists() == preset

"""Damaged settings, unusable data directories, and the store under many callers and a read-only folder."""
import asyncio
import json
import logging
import os
import subprocess
import sys
import textwrap

import pytest

from hardening import make_read_only, rmtree, run_child, shared_tmpdir
from zentab_api.python_api.sync import parcelry, tidewell
from zentab_client.settings import folders
from zentab_client.settings.folders import DataDirectoryError
from zentab_client.settings.user_settings import get_user_settings, save_user_settings, settings_path
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import dispose_engines, get_db_session_context


# -- 7. settings.json ---------------------------------------------------------------

@pytest.mark.parametrize("content", [
    b"\xff\xfe{\"user_sub\": \"u1\"}",
    b"{\"user_sub\": \"caf\xe9\"}",
    b"[" * 200000,
    b"{\"a\": " * 100000 + b"1" + b"}" * 100000,
    b"{\"user_sub\": 5}",
    b"[\"not\", \"an\", \"object\"]",
    b"{\"user_sub\": ",
    b" " * (2 * 1024 * 1024),
], ids=["bom-bytes", "latin1", "deep-list", "deep-object", "wrong-type", "list", "truncated", "huge"])
def test_damaged_settings_mean_defaults_a_warning_and_a_kept_copy(data_dir, caplog, content):
    settings_path().write_bytes(content)
    with caplog.at_level(logging.WARNING):
        assert get_user_settings().model_dump() == {"user_sub": None, "server_url": None}
        assert get_user_settings().user_sub is None  # every read, not only the first
    assert "ignoring unreadable settings file" in caplog.text
    copies = list(data_dir.glob("settings.json.damaged-*"))
    assert len(copies) == 1 and copies[0].read_bytes() == content[:1024 * 1024]
    assert oct(copies[0].stat().st_mode & 0o777) == oct(0o600)
    save_user_settings(user_sub="u1")
    assert get_user_settings().user_sub == "u1"


def test_a_fifo_in_place_of_the_settings_does_not_hang(data_dir):
    os.mkfifo(settings_path())
    assert get_user_settings().user_sub is None


def test_unknown_keys_survive_a_save(data_dir):
    stored = {"user_sub": "u1", "server_url": "http://127.0.0.1:1", "theme": "dark", "panels": {"left": [1, 2]}}
    settings_path().write_text(json.dumps(stored))
    save_user_settings(server_url="http://127.0.0.1:2/")
    assert json.loads(settings_path().read_text()) == dict(stored, server_url="http://127.0.0.1:2")


# -- 8. data directory errors --------------------------------------------------------

@pytest.mark.parametrize("layout", ["parent is a file", "data dir is a file", "read-only parent"])
def test_data_directory_errors_name_the_path_and_the_cause(tmp_path, monkeypatch, layout):
    blocker = tmp_path / "blocker"
    if layout == "parent is a file":
        blocker.write_text("x")
        target, cause = blocker / "zentab", "a file is in the way"
    elif layout == "data dir is a file":
        blocker.write_text("x")
        target, cause = blocker, "a file is in the way"
    else:
        base = shared_tmpdir()
        make_read_only(base)
        target, cause = base / "zentab", "permission denied|read-only|not permitted"
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(target))
    try:
        for call in (get_user_settings, lambda: asyncio.run(tidewell.get_sync_status())):
            with pytest.raises(DataDirectoryError, match=rf"Cannot use the data directory {target}: ({cause})"):
                call()
    finally:
        if layout == "read-only parent":
            rmtree(base)


# -- 9. the agent store ----------------------------------------------------------------

def test_a_read_only_data_dir_still_serves_status_reads(data_dir):
    asyncio.run(tidewell.get_sync_status())
    asyncio.run(dispose_engines())  # closes the WAL, as after the last app run
    try:
        make_read_only(*[p for p in data_dir.rglob("*")], data_dir)
        code = textwrap.dedent("""
            import asyncio, json
            from zentab_api.python_api.sync import parcelry, tidewell
            async def main():
                status = await tidewell.get_sync_status()
                items = await parcelry.list_parcelry(1, offset=0, limit=3)
                errors = await tidewell.get_sync_errors(limit=2, skip=0)
                try:
                    await tidewell.set_sync_status_error_viewed(errors[0].id, True)
                    wrote = "yes"
                except Exception as exc:
                    wrote = type(exc).__name__ + ": " + str(exc)
                return [status.tidewell_status.value, status.sync_iteration_count, len(items), len(errors), wrote]
            print(json.dumps(asyncio.run(main())))
        """)
        loop_status, count, items, errors, wrote = run_child(code, data_dir)
    finally:
        rmtree_undo = [p for p in data_dir.rglob("*")] + [data_dir]
        if os.geteuid() == 0:
            subprocess.run(["chattr", "-R", "-i", str(data_dir)], capture_output=True)
        else:
            for p in rmtree_undo:
                os.chmod(p, 0o700)
    assert (count, items, errors) == (0, 3, 2) and loop_status
    assert "readonly" in wrote


AGENT_LOOP = textwrap.dedent("""
    import asyncio, json, random
    from zentab_tidewell import agent
    async def main():
        rng = random.Random()
        for _ in range(40):
            await agent.run_iteration(rng)
    asyncio.run(main())
    print(json.dumps("done"))
""")


def test_writers_in_several_processes_lose_no_update_while_readers_read(data_dir):
    asyncio.run(tidewell.get_sync_status())
    workers = [subprocess.Popen([sys.executable, "-c", AGENT_LOOP], env=dict(os.environ), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True) for _ in range(3)]

    async def read_while_they_write():
        seen = []
        while any(w.poll() is None for w in workers):
            results = await asyncio.gather(*(tidewell.get_sync_status() for _ in range(20)),
                                           tidewell.get_sync_errors(limit=5, skip=0),
                                           parcelry.list_parcelry(1, offset=0, limit=5))
            seen.append(results[0].sync_iteration_count)
            await asyncio.sleep(0.01)
        return seen

    seen = asyncio.run(asyncio.wait_for(read_while_they_write(), 120))
    for worker in workers:
        out, err = worker.communicate(timeout=60)
        assert worker.returncode == 0, err
    assert seen == sorted(seen)  # readers see committed states only, in order
    assert asyncio.run(tidewell.get_sync_status()).sync_iteration_count == 3 * 40


def test_many_concurrent_mixed_calls_all_succeed_with_no_lost_update(data_dir):
    async def scenario():
        async with get_db_session_context() as db:
            ids = [(await crud_sync_status.record_error(db, f"e{i}")).id for i in range(60)]
        calls = []
        for i in range(240):
            calls.append([lambda: tidewell.get_sync_status(), lambda: tidewell.get_sync_errors(limit=10, skip=0),
                          lambda: parcelry.list_parcelry(1, offset=0, limit=10),
                          lambda: tidewell.set_sync_status_error_viewed(ids[i // 4], True)][i % 4]())
        results = await asyncio.gather(*calls, return_exceptions=True)
        assert [r for r in results if isinstance(r, BaseException)] == []
        unviewed = {e.id for e in await tidewell.get_sync_errors(viewed=False, limit=-1)}
        assert not unviewed & set(ids)
    asyncio.run(scenario())

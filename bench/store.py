"""The agent store under the tidewell module: latency of one status read, and many at once.

    python bench/store.py [--repeat N] [--concurrent N]

Prints the median of `await tidewell.get_sync_status()` against its plain-Python peer (the
same status row read through one open aiosqlite connection, no ORM), then N concurrent
status reads and N concurrent mixed calls (status, error log page, item listing, flag one
error), with how many failed and whether every flag stuck (no lost update). The store is the one in
$ZENTAB_DATA_DIR when that is set, else in a temporary directory removed at the end.
"""
import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time


async def _median(call, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        await call()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


async def _gather(calls):
    t0 = time.perf_counter()
    results = await asyncio.gather(*(c() for c in calls), return_exceptions=True)
    errors = [r for r in results if isinstance(r, BaseException)]
    return time.perf_counter() - t0, errors


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=300)
    parser.add_argument("--concurrent", type=int, default=1000)
    args = parser.parse_args()
    # $ZENTAB_DATA_DIR when set (its store gets the bench's error entries), else a temporary one.
    temporary = None
    if not os.environ.get("ZENTAB_DATA_DIR"):
        temporary = tempfile.TemporaryDirectory(prefix="zentab-bench-store-")
        os.environ["ZENTAB_DATA_DIR"] = temporary.name
    try:
        sys.exit(1 if bench(args) else 0)
    finally:
        if temporary is not None:
            temporary.cleanup()


def bench(args):
    import aiosqlite
    from zentab_api.python_api.sync import parcelry, tidewell
    from zentab_tidewell.crud.sync_status import crud_sync_status
    from zentab_tidewell.db import get_db_path, get_db_session_context

    async def prepare(n):
        async with get_db_session_context() as db:
            return [(await crud_sync_status.record_error(db, f"bench error {i}")).id for i in range(n)]

    async def run():
        await tidewell.get_sync_status()  # creates and seeds the store
        async with aiosqlite.connect(get_db_path()) as conn:
            async def peer():
                async with conn.execute("SELECT status, sync_iteration_count, last_update FROM sync_status "
                                        "WHERE id = 1") as cur:
                    return await cur.fetchone()
            peer_s = await _median(peer, args.repeat)
        ours_s = await _median(tidewell.get_sync_status, args.repeat)
        print(f"get_sync_status median        {ours_s * 1e3:8.3f} ms   peer (bare aiosqlite) {peer_s * 1e3:.3f} ms"
              f"   ratio {ours_s / peer_s:.1f}x")

        n = args.concurrent
        took, errors = await _gather([tidewell.get_sync_status] * n)
        print(f"{n} concurrent get_sync_status  {took:8.2f} s    failed {len(errors)}"
              + (f" (first: {type(errors[0]).__name__}: {errors[0]})" if errors else ""))

        ids = await prepare(n // 4)
        calls = []
        for i in range(n):
            kind = i % 4
            if kind == 0:
                calls.append(tidewell.get_sync_status)
            elif kind == 1:
                calls.append(lambda: tidewell.get_sync_errors(limit=20, skip=0))
            elif kind == 2:
                calls.append(lambda: parcelry.list_parcelry(1, offset=0, limit=20))
            else:
                calls.append(lambda error_id=ids[i // 4]: tidewell.set_sync_status_error_viewed(error_id, True))
        took, errors = await _gather(calls)
        still_unviewed = {e.id for e in await tidewell.get_sync_errors(viewed=False, limit=-1)} & set(ids)
        print(f"{n} concurrent mixed calls      {took:8.2f} s    failed {len(errors)}   lost updates "
              f"{len(still_unviewed)}" + (f" (first: {type(errors[0]).__name__}: {errors[0]})" if errors else ""))
        return bool(errors or still_unviewed)

    return asyncio.run(run())


if __name__ == "__main__":
    main()

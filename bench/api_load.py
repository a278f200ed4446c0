"""Load on the local API process: N concurrent clients over a mix of endpoints, loopback only.

For each event loop (uvicorn --loop uvloop, then asyncio) the sync_api service is started by
the service manager on a fresh data directory; --clients tasks, each on its own keep-alive
connection (a lean HTTP/1.1 client, or one shared httpx.AsyncClient with --client httpx), share
--requests requests over the mix below, and stop at --seconds whatever happens. Reported:
requests per second, p50 and p99 latency per endpoint (ms), errors (anything but the expected
status, an answer about another item than the one asked for, or a transport error: must be 0), and the server's resident memory before and after.

    python bench/api_load.py [--clients 50] [--requests 5000] [--seconds 60] [--loops uvloop,asyncio]
                             [--client lean|httpx] [--reads-only]

--reads-only leaves the one write of the mix (prioritize) out.

The clients run in this process on one asyncio loop; on a small machine they share the CPU
with the server, so the CPU each side spent per request is reported too. httpx spends several
milliseconds per request, more than the server, so by default the lean client drives the load.
"""
import argparse
import asyncio
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from collections import defaultdict

import httpx

# (name, method, path, expected status); {item} is a sync item id drawn per request.
MIX = [
    ("GET /sync/status", "GET", "/sync/status", 200),
    ("GET /sync/sources/1/items", "GET", "/sync/sources/1/items?limit=20&order_by=attempts", 200),
    ("GET /sync/items/{id}", "GET", "/sync/items/{item}", 200),
    ("GET /sync/errors", "GET", "/sync/errors?limit=10", 200),
    ("GET /sync/items/{id}/report", "GET", "/sync/items/{item}/report?message=load", 200),
    ("POST /sync/items/{id}/prioritize", "POST", "/sync/items/{item}/prioritize", 204),
    ("GET /auth/local/tokens", "GET", "/auth/local/tokens", 200),
    ("GET /admin/logs/api", "GET", "/admin/logs/api?n=20", 200),
]
ITEM_IDS = range(1, 19)  # the seeded store's items
WRITE = "POST /sync/items/{id}/prioritize"


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for pid {pid}")


def cpu_seconds(pid):
    """User + system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def _answers(name, item, response):
    """No cross-talk: an answer about one item is about the item asked for."""
    if name == "GET /sync/items/{id}":
        return response.json()["id"] == item
    if name == "GET /sync/items/{id}/report":
        return f"Sync item {item}\n" in response.text
    return True


class Answer:
    """What the lean client read: status and body, shaped like an httpx response for _answers."""

    __slots__ = ("status_code", "content")

    def __init__(self, status_code, content):
        self.status_code = status_code
        self.content = content

    @property
    def text(self):
        return self.content.decode("utf-8")

    def json(self):
        return json.loads(self.content)


class LeanConnection:
    """One HTTP/1.1 keep-alive connection, one request at a time, on asyncio streams.

    The latency is taken from before the request is written to after the last byte of the
    body is read, as with httpx; only the client's own parsing work is smaller, so on a small
    machine the load generator leaves the CPU to the server.
    """

    def __init__(self, address):
        self.host, self.port = "127.0.0.1", address.port
        self.head = (f"Host: {self.host}:{self.port}\r\nAuthorization: Bearer {address.key}\r\n"
                     "Content-Length: 0\r\n\r\n").encode()
        self.reader = self.writer = None

    async def request(self, method, path):
        if self.writer is None:
            self.reader, self.writer = await asyncio.open_connection(self.host, self.port)
        self.writer.write(f"{method} {path} HTTP/1.1\r\n".encode() + self.head)
        head = await self.reader.readuntil(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        status = int(lines[0].split(b" ", 2)[1])
        length, close = 0, False
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            name = name.strip().lower()
            if name == b"content-length":
                length = int(value)
            elif name == b"transfer-encoding":
                raise ValueError("chunked answer: the lean client reads Content-Length bodies only")
            elif name == b"connection" and value.strip().lower() == b"close":
                close = True
        body = await self.reader.readexactly(length) if length else b""
        if close:
            await self.close()
        return Answer(status, body)

    async def close(self):
        if self.writer is not None:
            self.writer.close()
            self.reader = self.writer = None


async def drive(address, clients, total, seconds, client_kind, mix):
    latencies = defaultdict(list)
    errors = defaultdict(int)
    issued = 0
    deadline = time.monotonic() + seconds

    async def client_task(client, seed):
        nonlocal issued
        rng = random.Random(seed)
        while issued < total and time.monotonic() < deadline:
            issued += 1
            name, method, path, expected = rng.choice(mix)
            item = rng.choice(ITEM_IDS)
            path = path.format(item=item)
            start = time.perf_counter()
            try:
                response = await client.request(method, path)
                ok = response.status_code == expected and _answers(name, item, response)
            except (httpx.HTTPError, OSError, ValueError, asyncio.IncompleteReadError):
                ok = False
                if client_kind == "lean":
                    await client.close()
            latencies[name].append(time.perf_counter() - start)
            if not ok:
                errors[name] += 1

    async def run(pool):
        for name, method, path, _ in mix:  # warm-up, not counted
            await pool[0].request(method, path.format(item=1))
        started = time.perf_counter()
        await asyncio.gather(*(client_task(pool[i], i) for i in range(clients)))
        return time.perf_counter() - started

    if client_kind == "httpx":
        limits = httpx.Limits(max_connections=clients, max_keepalive_connections=clients)
        async with httpx.AsyncClient(base_url=address.url, headers=address.headers, limits=limits,
                                     timeout=30) as client:
            elapsed = await run([client] * clients)
    else:
        pool = [LeanConnection(address) for _ in range(clients)]
        try:
            elapsed = await run(pool)
        finally:
            for connection in pool:
                await connection.close()
    return latencies, errors, elapsed


def run_one(loop, args):
    mix = [row for row in MIX if not (args.reads_only and row[1] != "GET")]
    data_dir = tempfile.mkdtemp(prefix=f"zentab-bench-api-{loop}-")
    os.environ["ZENTAB_DATA_DIR"] = data_dir
    os.environ["ZENTAB_API_LOOP"] = loop
    from zentab_api.app.address import wait_for_address
    from zentab_service_manager.services import sync_api

    service = sync_api.get_service()
    pid = service.start()
    try:
        address = wait_for_address(pid)
        before = rss_kib(pid)
        server_cpu, client_cpu = cpu_seconds(pid), time.process_time()
        latencies, errors, elapsed = asyncio.run(drive(address, args.clients, args.requests, args.seconds, args.client,
                                                       mix))
        server_cpu, client_cpu = cpu_seconds(pid) - server_cpu, time.process_time() - client_cpu
        after = rss_kib(pid)
    finally:
        service.stop()
        shutil.rmtree(data_dir, ignore_errors=True)
    count = sum(len(v) for v in latencies.values())
    total_errors = sum(errors.values())
    print(f"-- uvicorn --loop {loop}: {args.clients} {args.client} clients{', reads only' if args.reads_only else ''}, "
          f"{count} requests in {elapsed:.2f} s = "
          f"{count / elapsed:.0f} req/s; errors {total_errors}; server RSS {before / 1024:.1f} MiB before, "
          f"{after / 1024:.1f} MiB after")
    print(f"   CPU per request: server {1000 * server_cpu / count:.2f} ms, "
          f"load generator {1000 * client_cpu / count:.2f} ms")
    print(f"   {'endpoint':<36} {'n':>6} {'p50 ms':>8} {'p99 ms':>8} {'errors':>7}")
    for name, *_ in mix:
        values = sorted(latencies.get(name, []))
        print(f"   {name:<36} {len(values):>6} {1000 * percentile(values, 0.5):>8.1f} "
              f"{1000 * percentile(values, 0.99):>8.1f} {errors.get(name, 0):>7}")
    all_values = sorted(v for values in latencies.values() for v in values)
    print(f"   {'all':<36} {len(all_values):>6} {1000 * statistics.median(all_values):>8.1f} "
          f"{1000 * percentile(all_values, 0.99):>8.1f} {total_errors:>7}")
    status, writes = (sorted(latencies.get(name, [])) for name in ("GET /sync/status", WRITE))
    if status and writes:
        print(f"   writes' p50 / GET /sync/status's p50: {percentile(writes, 0.5) / percentile(status, 0.5):.2f}")
    return total_errors


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--requests", type=int, default=5000, help="total over all clients (upper bound)")
    parser.add_argument("--seconds", type=float, default=60.0, help="each run stops after this long")
    parser.add_argument("--loops", default="uvloop,asyncio", help="the server's event loops, one run each")
    parser.add_argument("--client", choices=("lean", "httpx"), default="lean",
                        help="load generator: a lean HTTP/1.1 keep-alive client per connection, or httpx")
    parser.add_argument("--reads-only", action="store_true", help="leave the write (prioritize) out of the mix")
    args = parser.parse_args()
    if not (1 <= args.clients <= 500 and 1 <= args.requests <= 200_000 and 0 < args.seconds <= 600):
        parser.error("clients 1-500, requests 1-200000, seconds up to 600")
    failed = 0
    for loop in args.loops.split(","):
        failed += run_one(loop.strip(), args)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

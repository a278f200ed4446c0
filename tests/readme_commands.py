"""Runs every command the README shows, as written, from the root of the checkout.

    .venv/bin/python tests/readme_commands.py [--list] [--only TEXT]

(`make readme-check` runs it; CI runs that after its other steps.)

The README's commands are every line of its ```sh blocks, every ```python block, and every
inline `code` span that starts like a command (COMMAND_START: a known program or a path to a
script, after optional VAR=value settings, and at least one argument). Each must have an entry
in COMMANDS saying how it is run and checked: a command found without an entry fails the run,
and so does an entry whose command the README no longer shows. A new command in the README
thus needs a line here, and an edited one an edited line. Fences must say their language (sh,
python or text) so that none is skipped unseen.

The commands of one README section are one session, in the README's order: they share a fresh
ZENTAB_DATA_DIR, and what one starts in the background (a server) runs until the section ends,
when Ctrl-C must stop it cleanly. Each command gets a private, initially empty TMPDIR. After
each one the checkout must be as clean as before (`git status`), and TMPDIR empty unless the
entry allows leftovers (pytest keeps its own temporary folders there on purpose).
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
CI_SCRIPT = ROOT / ".ci" / "run"

# The first word of an inline command: a program the README would have you run, or a script path.
COMMAND_START = re.compile(
    r"^(?:[A-Z][A-Z0-9_]*=\S*\s+)*"
    r"(?:make|cmake|ctest|ninja|pip3?|python[\d.]*|pytest|mypy|bash|sh|curl|wget|git|cd|export|sudo|apt-get|apt"
    r"|docker|kill|\.venv[\w-]*/bin/\S+|\./\S+|\S+\.(?:py|sh))"
    r"\s+\S")
FENCE = re.compile(r"^```(\S*)\s*$")
FENCE_LANGUAGES = {"sh", "python", "text"}


# ---- what the README shows

@dataclasses.dataclass(frozen=True)
class Found:
    text: str       # the command as the README writes it (whitespace of inline spans collapsed)
    kind: str       # "sh", "python" or "inline"
    section: int    # the README section (## heading) it is in
    line: int


def readme_commands(markdown: str) -> List[Found]:
    found: List[Found] = []
    lines = markdown.splitlines()
    prose: List[str] = []
    sections: List[int] = []  # the section of each line of `prose`
    section = 0
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            if lines[i].startswith("## "):
                section += 1
            # Table rows hold endpoint and function names, not commands.
            prose.append("" if lines[i].lstrip().startswith("|") else lines[i])
            sections.append(section)
            i += 1
            continue
        language, start = match.group(1), i + 1
        if language not in FENCE_LANGUAGES:
            raise SystemExit(f"README.md:{start}: a fence must name its language, one of {sorted(FENCE_LANGUAGES)}")
        body: List[str] = []
        i += 1
        while i < len(lines) and not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        i += 1
        # Keeps prose lines where they are in the file (its line numbers are the README's).
        prose.extend([""] * (len(body) + 2))
        sections.extend([section] * (len(body) + 2))
        if language == "python":
            found.append(Found("\n".join(body).strip("\n"), "python", section, start + 1))
        elif language == "sh":
            pending = ""
            for offset, raw in enumerate(body):
                line = re.sub(r"\s+#\s.*$", "", raw).strip()
                if line.startswith("#"):
                    continue
                if line.endswith("\\"):
                    pending += line[:-1].rstrip() + " "
                    continue
                line = (pending + line).strip()
                pending = ""
                if line:
                    found.append(Found(line, "sh", section, start + 1 + offset))
    text = "\n".join(prose)
    for match in re.finditer(r"`([^`]+)`", text):
        span = " ".join(match.group(1).split())
        if COMMAND_START.match(span):
            line_no = text.count("\n", 0, match.start()) + 1
            found.append(Found(span, "inline", sections[line_no - 1], line_no))
    found.sort(key=lambda f: f.line)
    return found


def ci_steps() -> List[str]:
    return [line.split(None, 1)[1].strip() for line in CI_SCRIPT.read_text().splitlines()
            if line.startswith("step ")]


# ---- running them

class Failed(Exception):
    pass


class Session:
    """What the commands of one section share: the data directory and what runs in the background."""

    def __init__(self, scratch: Path) -> None:
        self.data_dir = Path(tempfile.mkdtemp(prefix="data-", dir=scratch))
        self.background: List["Background"] = []
        self.captured: Dict[str, "re.Match[str]"] = {}

    def stop(self) -> None:
        errors = []
        for process in reversed(self.background):
            try:
                process.stop()
            except Failed as err:
                errors.append(str(err))
        self.background.clear()
        if errors:
            raise Failed("; ".join(errors))


class Background:
    """A long-running command (a server): its output is collected while it runs."""

    def __init__(self, text: str, env: Dict[str, str]) -> None:
        self.text = text
        self.output: List[str] = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(["bash", "-c", f"exec {text}"], cwd=ROOT, env=env, text=True,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        self.collector = threading.Thread(target=self._collect, daemon=True)
        self.collector.start()

    def _collect(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            with self.changed:
                self.output.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_for(self, condition: Callable[[], object], what: str, timeout: float) -> object:
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                result = condition()
                if result:
                    return result
                if self.process.poll() is not None:
                    raise Failed(f"exited with {self.process.returncode} before {what}:\n{self.tail()}")
                if time.monotonic() >= deadline:
                    raise Failed(f"no {what} within {timeout:g} s:\n{self.tail()}")
                self.changed.wait(0.1)

    def line(self, pattern: str, timeout: float) -> "re.Match[str]":
        regex = re.compile(pattern)

        def seen() -> Optional["re.Match[str]"]:
            return next((m for m in map(regex.search, self.output) if m), None)
        return self.wait_for(seen, f"line matching {pattern!r}", timeout)  # type: ignore[return-value]

    def tail(self, lines: int = 30) -> str:
        return "\n".join(self.output[-lines:])

    def stop(self, timeout: float = 30) -> None:
        """Ctrl-C, as a user stops it; it must leave with status 0 and no traceback."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGINT)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
                raise Failed(f"{self.text}: still running {timeout:g} s after Ctrl-C:\n{self.tail()}")
        self.collector.join(timeout)  # its last lines
        if self.process.returncode != 0 or any("Traceback" in line for line in self.output):
            raise Failed(f"{self.text}: ended with status {self.process.returncode}:\n{self.tail()}")


@dataclasses.dataclass
class Context:
    found: Found
    session: Session
    env: Dict[str, str]
    tmp: Path


Runner = Callable[[Context], Optional[str]]


@dataclasses.dataclass
class Entry:
    how: str                      # "run", "ci", "covered" or "deferred": what --list shows
    runner: Optional[Runner] = None
    allow_tmp_leftovers: bool = False
    changes: tuple = ()           # paths the command is meant to rewrite (restored afterwards)
    note: str = ""
    by: str = ""                  # for "covered": the README command that runs this one


def _shell(ctx: Context, text: str, *, stdin: str = "", timeout: float, expect: str = "") -> str:
    # Its own process group, so that a timeout stops what it started too (make's children).
    process = subprocess.Popen(["bash", "-c", text], cwd=ROOT, env=ctx.env, text=True, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = process.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, _ = process.communicate()
        raise Failed(f"did not finish within {timeout:g} s:\n{out[-3000:]}") from None
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise
    if process.returncode != 0:
        raise Failed(f"exit status {process.returncode}:\n{out[-3000:]}")
    if expect and not re.search(expect, out, re.MULTILINE):
        raise Failed(f"output lacks {expect!r}:\n{out[-3000:]}")
    return out


def run(timeout: float = 600, expect: str = "", stdin: Callable[[Context], str] = lambda ctx: "",
        unset: tuple = (), allow_tmp_leftovers: bool = False, changes: tuple = ()) -> Entry:
    """Run as written; status 0, and `expect` (a regex) in its output when given; `changes` are the
    tracked files it is meant to rewrite (they must change, and are restored afterwards)."""
    def runner(ctx: Context) -> str:
        for name in unset:
            ctx.env.pop(name, None)
        out = _shell(ctx, ctx.found.text, stdin=stdin(ctx), timeout=timeout, expect=expect)
        # Its last line of its own (make's "Leaving directory" when make runs inside make is not).
        return next((line for line in reversed(out.splitlines()) if line.strip() and not line.startswith("make[")), "")
    return Entry("run", runner, allow_tmp_leftovers, changes)


def python_snippet(interpreter: str, expect: str = "", timeout: float = 120) -> Entry:
    """A ```python block typed into `interpreter` (an interactive prompt); no traceback allowed."""
    def runner(ctx: Context) -> str:
        out = _shell(ctx, interpreter, stdin=ctx.found.text + "\n", timeout=timeout, expect=expect)
        if "Traceback (most recent call last)" in out:
            raise Failed(f"the snippet raised:\n{out[-3000:]}")
        return f"typed into {interpreter}"
    return Entry("run", runner)


def background(ready: str, capture: str = "", timeout: float = 120) -> Entry:
    """Start it; it must print a line matching `ready`; it runs until its section ends."""
    def runner(ctx: Context) -> str:
        process = Background(ctx.found.text, ctx.env)
        ctx.session.background.append(process)
        match = process.line(ready, timeout)
        if capture:
            ctx.session.captured[capture] = match
        return f"running as pid {process.process.pid} until the section ends"
    return Entry("run", runner)


def serves_api(timeout: float = 120) -> Entry:
    """The local API in the foreground: it records its address (its own pid), then Ctrl-C stops it
    and the address file goes with it."""
    def runner(ctx: Context) -> str:
        process = Background(ctx.found.text, ctx.env)
        address = ctx.session.data_dir / "api_address.json"

        def listening() -> Optional[dict]:
            try:
                record = json.loads(address.read_text())
            except (OSError, ValueError):
                return None
            return record if record.get("pid") == process.process.pid else None
        try:
            record = process.wait_for(listening, "address file naming it", timeout)
        finally:
            process.stop()
        if address.exists():
            raise Failed(f"{address} left behind after Ctrl-C")
        return f"listened on {record['url']}"  # type: ignore[index]
    return Entry("run", runner)


def ci(note: str = "") -> Entry:
    """Run by .ci/run itself, as one of its steps."""
    return Entry("ci", note=note)


def covered(by: str, note: str) -> Entry:
    """Run as part of another README command (`by`), e.g. a quick form of a long one."""
    return Entry("covered", note=f"by {by.splitlines()[0]!r}: {note}", by=by)


def deferred(note: str) -> Entry:
    """Listed but not run, with the reason printed at every run."""
    return Entry("deferred", note=note)


def server_password(ctx: Context) -> str:
    match = ctx.session.captured.get("stand-in password")
    if match is None:
        raise Failed("no stand-in server of this section printed a password")
    return match.group(1) + "\n"


PNGS = ("docs/logs_tail_time.png", "docs/logs_tail_memory.png", "docs/calls.png")

# README command -> how it is run. Keys are the README's text exactly (inline spans with their
# whitespace collapsed, ```python blocks whole).
COMMANDS: Dict[str, Entry] = {
    # -- setting up
    "make demo": run(timeout=1800, expect="^demo finished$", unset=("ZENTAB_DATA_DIR",)),
    "make test": ci(),
    "make bench": covered("make bench BENCH_ARGS=--quick", "the same benchmarks, shorter (the full run takes "
                          "about eight minutes and is for a quiet machine)"),
    "make bench BENCH_ARGS=--quick": run(timeout=2400),
    "make plots": run(timeout=2400, expect="^wrote ", changes=PNGS),
    ".venv/bin/python bench/api_load.py": run(timeout=600),
    ".venv/bin/python bench/api_load.py --reads-only": run(timeout=600, expect="reads only"),
    # -- the snippets
    "from zentab_api.python_api.sync import tidewell\nstatus = await tidewell.get_sync_status()\nprint(status)":
        python_snippet(".venv/bin/python -m asyncio", expect="tidewell_service="),
    ".venv/bin/python -m asyncio": covered(
        "from zentab_api.python_api.sync import tidewell\nstatus = await tidewell.get_sync_status()\nprint(status)",
        "the README's Python snippets are typed into it"),
    # -- the local API service in the foreground
    ".venv/bin/python -m zentab_api.service": serves_api(),
    ".venv/bin/python -m zentab_api.service --port 8765 --loop asyncio": serves_api(),
    # -- trying it by hand
    ".venv/bin/python -m zentab_server --port 8700 --user ada":
        background(ready=r"^password of ada: (\S+)$", capture="stand-in password"),
    ".venv/bin/python -m zentab_client login ada --server http://127.0.0.1:8700":
        run(timeout=60, stdin=server_password, expect="^ada is logged in to http://127.0.0.1:8700$"),
    ".venv/bin/python -m zentab_client whoami": run(timeout=60, expect="^ada is logged in"),
    "from zentab_api.python_api.auth.local import keyfolio\ncreated = await keyfolio.create_api_token(\"laptop\")\n"
    "print(await keyfolio.list_keyfolio())\nprint(await keyfolio.check_api_token(created.uid))":
        python_snippet(".venv/bin/python -m asyncio", expect="valid=True"),
    ".venv/bin/python -m zentab_client logout": run(timeout=60, expect="^ada is logged out$"),
    # -- developing
    "make build": run(timeout=1800),
    "make module MODULE=tidewell": covered("make build-check", "which runs it on .venv and checks the other modules"),
    "make module": covered("make build-check", "which runs `make module MODULE=tidewell`"),
    "cmake -S . -B build/cmake -DPython_EXECUTABLE=.venv/bin/python && cmake --build build/cmake":
        covered("make build-check", "which runs it as written and checks the build it makes"),
    "make build-check": ci(),
    ".venv/bin/python -m pytest tests/test_tidewell_status.py": run(timeout=900, expect=r" passed",
                                                                      allow_tmp_leftovers=True),
    "make sanitize": ci(),
    "make sanitize SANITIZE_TESTS=tests/test_contracts_coroutine.py": run(timeout=3600, expect=r" passed",
                                                                           allow_tmp_leftovers=True),
    "make clang-check": ci(),
    "make wheel-check": ci(),
    # -- the two distributions
    "make wheel": covered("make wheel-check", "which runs it first"),
    "python -m build": covered("make wheel-check", "make wheel builds the sdist and the wheel from it this way"),
    "/path/to/application/python -m pip install "
    "dist/zentab_local_api-0.1.0-cp310-cp310-manylinux2014_x86_64.manylinux_2_17_x86_64.whl":
        covered("make wheel-check", "which installs this wheel into a stand-in application"),
    "pip uninstall zentab-local-api": covered("make wheel-check", "which uninstalls it and compares the files"),
    "pip install dist/zentab_local_api-*.whl dist/zentab_local_api_default-*.whl":
        covered("make wheel-check", "which installs both wheels into a fresh environment and calls each module"),
    "pip install . ./app": covered("make test", "what `make demo` and `make test` install"),
    "make readme-check": ci(),
    ".venv/bin/python tests/readme_commands.py --list": run(timeout=60, expect="make readme-check"),
    "HYPOTHESIS_DIFFERENTIAL=quick .venv/bin/python -m pytest tests/differential": run(
        timeout=1800, expect=r" passed", allow_tmp_leftovers=True),
    "HYPOTHESIS_DIFFERENTIAL=search .venv/bin/python -m pytest tests/differential": covered(
        "HYPOTHESIS_DIFFERENTIAL=quick .venv/bin/python -m pytest tests/differential",
        "the same tests, 15 times the sequences: a search too long for CI"),
}


def git_status() -> str:
    return subprocess.run(["git", "status", "--porcelain", "--untracked-files=all"], cwd=ROOT, text=True,
                          capture_output=True, check=True).stdout


def run_one(found: Found, entry: Entry, session: Session, scratch: Path) -> str:
    assert entry.runner is not None
    tmp = Path(tempfile.mkdtemp(prefix="tmp-", dir=scratch))
    env = dict(os.environ, TMPDIR=str(tmp), ZENTAB_DATA_DIR=str(session.data_dir))
    restorable = [p for p in entry.changes if not subprocess.run(
        ["git", "diff", "--quiet", "--", p], cwd=ROOT).returncode]
    before = git_status()
    try:
        summary = entry.runner(Context(found, session, env, tmp)) or ""
        for path in restorable:
            if not subprocess.run(["git", "diff", "--quiet", "--", path], cwd=ROOT).returncode:
                raise Failed(f"{path} was not rewritten")
    finally:
        if restorable:
            subprocess.run(["git", "checkout", "--quiet", "--", *restorable], cwd=ROOT, check=True)
    after = git_status()
    if after != before:
        raise Failed(f"the checkout changed:\n--- before\n{before}--- after\n{after}")
    leftovers = sorted(p.name for p in tmp.iterdir())
    if leftovers and not entry.allow_tmp_leftovers:
        raise Failed(f"left in TMPDIR: {', '.join(leftovers)}")
    return summary


def check_table(found: List[Found]) -> List[str]:
    problems = []
    shown = {f.text for f in found}
    for f in found:
        if f.text not in COMMANDS:
            problems.append(f"README.md:{f.line}: command with no entry in {Path(__file__).name}: {f.text!r}")
    for text in COMMANDS:
        if text not in shown:
            problems.append(f"{Path(__file__).name}: entry for a command the README does not show: {text!r}")
    steps = ci_steps()
    for text, entry in COMMANDS.items():
        if entry.how == "ci" and text not in steps:
            problems.append(f"{text!r} is said to run in CI, but .ci/run has no `step {text}`")
        if entry.how == "covered":
            by = entry.by
            if by not in steps and (by not in shown or COMMANDS.get(by, entry).how != "run"):
                problems.append(f"{text!r} is said to be covered by {by!r}, which is neither run here nor in CI")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", action="store_true", help="list the README's commands and how each is run")
    parser.add_argument("--only", metavar="TEXT", help="run only the commands containing TEXT (a command that "
                        "needs an earlier one of its section, as the login needs the stand-in, needs it selected too)")
    args = parser.parse_args()
    # Stopped from outside (a CI time limit): still stop the servers it started, below.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))

    found = readme_commands(README.read_text(encoding="utf-8"))
    problems = check_table(found)
    if args.list:
        for f in found:
            entry = COMMANDS.get(f.text)
            how = entry.how + (f" ({entry.note})" if entry and entry.note else "") if entry else "NO ENTRY"
            print(f"README.md:{f.line:<4} {f.text.splitlines()[0]!s:<90} {how}")
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    if args.list:
        return 0

    failures = 0
    seen = set()
    selected_texts = set()
    scratch = Path(tempfile.mkdtemp(prefix="zentab-readme-"))
    sessions: Dict[int, Session] = {}  # by section
    try:
        for i, f in enumerate(found):
            entry = COMMANDS[f.text]
            selected = f.text not in seen and (not args.only or args.only in f.text)
            seen.add(f.text)
            if selected:
                selected_texts.add(f.text)
                label = f.text.splitlines()[0] + (" ..." if "\n" in f.text else "")
                if entry.runner is None:
                    print(f"-- {label}: {entry.how}" + (f" ({entry.note})" if entry.note else ""), flush=True)
                else:
                    print(f"== {label}", flush=True)
                    start = time.monotonic()
                    session = sessions.get(f.section) or sessions.setdefault(f.section, Session(scratch))
                    try:
                        summary = run_one(f, entry, session, scratch)
                        print(f"   ok in {time.monotonic() - start:.1f} s  {summary}", flush=True)
                    except Failed as err:
                        failures += 1
                        print(f"   FAILED after {time.monotonic() - start:.1f} s: {err}", flush=True)
            if i + 1 == len(found) or found[i + 1].section != f.section:
                session = sessions.pop(f.section, None)
                if session is not None:
                    try:
                        session.stop()
                    except Failed as err:
                        failures += 1
                        print(f"   FAILED at the end of its section: {err}", flush=True)
    finally:
        for session in sessions.values():
            try:
                session.stop()
            except Failed:
                pass
        shutil.rmtree(scratch, ignore_errors=True)
    counts = {how: sum(1 for text in selected_texts if COMMANDS[text].how == how)
              for how in ("run", "ci", "covered", "deferred")}
    print(f"{'FAILED' if failures else 'passed'}: {len(selected_texts)} README commands: {counts['run']} run here "
          f"({failures} failed), {counts['ci']} run by CI's own steps, {counts['covered']} run by another, "
          f"{counts['deferred']} deferred")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

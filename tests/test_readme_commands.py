"""The README's commands: every one has an entry saying how it is run, and the finder sees them all.

tests/readme_commands.py runs them (make readme-check, in CI); here only its table is checked
against the README, so that a new command without an entry fails `make test` at once.
"""
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import readme_commands  # noqa: E402


def test_every_readme_command_has_an_entry_and_every_entry_a_command():
    found = readme_commands.readme_commands(readme_commands.README.read_text(encoding="utf-8"))
    assert readme_commands.check_table(found) == []


@pytest.mark.parametrize("markdown, commands", [
    ("```sh\nmake demo   # the tour\n# a comment\n.venv/bin/python -m x \\\n  --flag\n```\n",
     ["make demo", ".venv/bin/python -m x --flag"]),
    ("```python\nimport x\nawait x.f()\n```\n", ["import x\nawait x.f()"]),
    # Inline spans: commands even when the line breaks inside them; names, flags and table rows are not.
    ("Run `make\n  bench` or `FOO=1 .venv/bin/python -m pytest tests/x.py`; `make` does; see `bench/run.py`,\n"
     "`-DZENTAB_WERROR=ON`, `PYTHONMALLOC=malloc`, `await tidewell.get_sync_status()`, `bench/run.py --quick`.\n"
     "| `python -m in_a_table x` | y |\n",
     ["make bench", "FOO=1 .venv/bin/python -m pytest tests/x.py", "bench/run.py --quick"]),
])
def test_the_finder_sees_commands_and_nothing_else(markdown, commands):
    assert [f.text for f in readme_commands.readme_commands(markdown)] == commands


def test_a_fence_without_a_language_is_refused():
    with pytest.raises(SystemExit, match="README.md:1: a fence must name its language"):
        readme_commands.readme_commands("```\nmake demo\n```\n")

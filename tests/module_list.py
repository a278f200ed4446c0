"""The extension modules, read from the list the build uses."""
from pathlib import Path

LIST = Path(__file__).resolve().parent.parent / "src" / "python_api" / "modules.txt"


def native_modules():
    """Dotted names of every extension module, in the list's order."""
    names = []
    for line in LIST.read_text().splitlines():
        if line[:1].isalpha():
            name, package = line.split()[:2]
            names.append(f"{package}.{name}")
    return names

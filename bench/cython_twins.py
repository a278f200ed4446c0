"""The plain-Python twins (twins/) compiled with Cython 3, as a user would compile the same Python.

Pure-Python mode, `binding=True`, `language_level=3`, `-O3`; the one option changed from Cython's
defaults lets a name the module never assigns compile to a runtime global lookup, since the
benchmark (like the application's import tables) binds the collaborators on the module. The
compiled copies are the package `cytwins` in build/bench/cython/, next to the plain `twins`, so
one process can time both. `build()` recompiles only when a twin changed.

    python bench/cython_twins.py
"""
import contextlib
import io
import os
import shutil
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TWINS = os.path.join(ROOT, "twins")
OUT = os.path.join(ROOT, "build", "bench", "cython")
PACKAGE = "cytwins"
MODULES = ("checks", "tidewell", "parcelry", "keyfolio")


def _compiled(name):
    return os.path.join(OUT, PACKAGE, name + sysconfig.get_config_var("EXT_SUFFIX"))


def _stale():
    return any(not os.path.exists(_compiled(m))
               or os.path.getmtime(_compiled(m)) < os.path.getmtime(os.path.join(TWINS, m + ".py"))
               for m in MODULES)


def build():
    """Compiles the twins when needed, and puts build/bench/cython on sys.path."""
    if _stale():
        _compile()
    if OUT not in sys.path:
        sys.path.insert(0, OUT)


def _compile():
    try:
        from Cython.Build import cythonize
        from Cython.Compiler import Options
    except ImportError:
        sys.exit("Cython is not installed: `make bench` installs it (pip install 'cython>=3')")
    from setuptools import Extension
    from setuptools.dist import Distribution

    package = os.path.join(OUT, PACKAGE)
    os.makedirs(package, exist_ok=True)
    open(os.path.join(package, "__init__.py"), "w").close()
    for module in MODULES:
        with open(os.path.join(TWINS, module + ".py")) as source:
            text = source.read().replace("from twins.", f"from {PACKAGE}.")
        with open(os.path.join(package, module + ".py"), "w") as copy:
            copy.write(text)
    Options.error_on_unknown_names = False
    extensions = [Extension(f"{PACKAGE}.{m}", [os.path.join(package, m + ".py")], extra_compile_args=["-O3"])
                  for m in MODULES]
    # Cython warns of every collaborator name it leaves to the runtime; shown only if it fails.
    said = io.StringIO()
    try:
        with contextlib.redirect_stderr(said), contextlib.redirect_stdout(said):
            modules = cythonize(extensions, compiler_directives={"binding": True, "language_level": 3},
                                quiet=True, build_dir=os.path.join(OUT, "c"))
    except BaseException:
        sys.stderr.write(said.getvalue())
        raise
    distribution = Distribution({"ext_modules": modules})
    command = distribution.get_command_obj("build_ext")
    command.build_lib, command.build_temp = OUT, os.path.join(OUT, "tmp")
    command.ensure_finalized()
    command.run()
    shutil.rmtree(command.build_temp, ignore_errors=True)


if __name__ == "__main__":
    build()
    print("compiled:", ", ".join(_compiled(m) for m in MODULES))

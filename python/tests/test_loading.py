"""Finding the library: KORVANE_LIBRARY, a copy inside the package, the system."""

import ctypes.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import korvane

PROGRAM = "import korvane; print(korvane.library_version(), korvane.library_path())"


def run(env_changes: dict, path: str = "") -> subprocess.CompletedProcess:
    env = {key: value for key, value in os.environ.items()
           if key not in ("KORVANE_LIBRARY", "PYTHONPATH")}
    env.update(env_changes)
    env["PYTHONPATH"] = path or os.pathsep.join(sys.path)
    return subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True,
                          text=True, timeout=30)


@pytest.mark.parametrize("target", ["nowhere/libkorvane.so.1", "not-a-library.so"])
def test_korvane_library_that_cannot_load_says_where_it_looked(tmp_path: Path, target: str) -> None:
    (tmp_path / "not-a-library.so").write_text("text, not a shared object\n")
    path = tmp_path / target
    child = run({"KORVANE_LIBRARY": str(path)})
    assert child.returncode != 0
    assert "LibraryNotFoundError" in child.stderr
    assert f"KORVANE_LIBRARY={path} could not be loaded" in child.stderr


def test_a_copy_inside_the_package_is_found_and_its_absence_reported(tmp_path: Path) -> None:
    if ctypes.util.find_library("korvane"):
        pytest.skip("a system-wide libkorvane would answer instead")
    package = tmp_path / "korvane"
    shutil.copytree(Path(korvane.__file__).parent, package, ignore=shutil.ignore_patterns("*.so*"))
    absent = run({}, str(tmp_path))
    assert "KORVANE_LIBRARY: not set" in absent.stderr
    assert f"{package.resolve() / 'libkorvane.so.1'}: not there" in absent.stderr

    shutil.copy(os.environ["KORVANE_LIBRARY"], package / "libkorvane.so.1")
    present = run({}, str(tmp_path))
    copy = package.resolve() / "libkorvane.so.1"
    assert present.stdout.split() == [korvane.library_version(), str(copy)]


def test_package_modules_import_no_cycle() -> None:
    # Every import between the package's own modules, the type-checking ones included: a
    # cycle makes the import order matter and breaks a module imported on its own.
    import ast

    package = Path(korvane.__file__).parent
    edges = {}
    for source in package.glob("*.py"):
        names = set()
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                if node.module:
                    names.add(node.module.split(".")[0])
                else:
                    names.update(alias.name for alias in node.names)
        edges[source.stem] = names & {p.stem for p in package.glob("*.py")}

    def reaches(start: str, goal: str, seen: set) -> bool:
        for step in edges.get(start, ()):
            if step == goal or (step not in seen and reaches(step, goal, seen | {step})):
                return True
        return False

    cycles = [name for name in edges if name != "__init__" and reaches(name, name, {name})]
    assert cycles == [], f"modules in an import cycle: {cycles}"

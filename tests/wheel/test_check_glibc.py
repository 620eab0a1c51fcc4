# Covers: scripts/check-glibc.
"""The glibc checker on a real ELF file (the interpreter running the tests,
which needs some GLIBC_2.x), alone, in a directory beside files that are
not ELF, and inside a wheel."""
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-glibc"
ELF = pathlib.Path(os.path.realpath(sys.executable))

pytestmark = pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump")


def check(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)],
                          capture_output=True, text=True)


@pytest.fixture(params=["file", "directory", "wheel"])
def target(request, tmp_path):
    """(path to check, the name the ELF file is reported under)."""
    if request.param == "file":
        return ELF, str(ELF)
    tree = tmp_path / "tree"
    (tree / "pkg").mkdir(parents=True)
    shutil.copy(ELF, tree / "pkg" / "mod.so")
    (tree / "pkg" / "__init__.py").write_text("")
    (tree / "pkg" / "link.so").symlink_to("mod.so")
    if request.param == "directory":
        return tree, "pkg/mod.so"
    wheel = tmp_path / "pkg-1.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for path in (tree / "pkg").iterdir():
            if not path.is_symlink():
                z.write(path, f"pkg/{path.name}")
    return wheel, "pkg/mod.so"


@pytest.mark.parametrize("glibc, flagged", [("2.0", True), ("99.0", False)])
def test_reports_exactly_the_elf_files_over_the_limit(target, glibc, flagged):
    path, name = target
    result = check("--glibc", glibc, path)
    assert result.returncode == (1 if flagged else 0), result.stderr
    lines = result.stdout.splitlines()
    # Once, under its own name, the non-ELF file and the symlink left out.
    assert len(lines) == flagged
    assert all(line.startswith(f"{name}: needs GLIBC_2.") for line in lines)


def test_a_missing_path_is_an_error():
    result = check("/no/such/dir")
    assert result.returncode == 2 and "/no/such/dir: no such file" in result.stderr

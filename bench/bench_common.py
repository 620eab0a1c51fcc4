"""Helpers the benchmark scripts share: installing their peers into the
running interpreter's environment, and running a measurement in a fresh
process."""

import importlib.util
import json
import subprocess
import sys


def ensure_modules(*pairs):
    """Installs with pip each (module, package) pair whose module is missing."""
    missing = [pkg for mod, pkg in pairs if importlib.util.find_spec(mod) is None]
    if missing:
        print(f"installing {' '.join(missing)} with pip", file=sys.stderr)
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", *missing])


def run_python(code, *args):
    """Runs `code` in a fresh interpreter and returns the JSON of its last line."""
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])

"""Runs the C++ scene detector (src/video/scene_detection.cpp) on per-frame
inputs through a small driver executable, built here on first use."""

from __future__ import annotations

import pathlib
import struct
import subprocess

import numpy as np

HERE = pathlib.Path(__file__).parent
ROOT = HERE.parent.parent
SOURCES = [ROOT / "src/video/scene_detection.cpp", HERE / "scene_driver.cpp"]
HEADERS = [ROOT / "src/video/scene_detection.hpp"]
BINARY = HERE / "build" / "scene_driver"


def build() -> pathlib.Path:
    newest = max(p.stat().st_mtime for p in SOURCES + HEADERS)
    if not BINARY.exists() or BINARY.stat().st_mtime < newest:
        BINARY.parent.mkdir(exist_ok=True)
        subprocess.run(["g++", "-std=c++23", "-O2", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
                        *map(str, SOURCES), "-o", str(BINARY)], check=True)
    return BINARY


def detect(scores: np.ndarray, thumbs: np.ndarray) -> list[dict]:
    n = len(scores)
    flat = thumbs.reshape(n, -1).astype(np.uint8)
    record = np.dtype([("score", "<f8"), ("thumb", "u1", flat.shape[1])])
    data = np.empty(n, record)
    data["score"], data["thumb"] = scores, flat
    run = subprocess.run([str(build())], input=struct.pack("<Q", n) + data.tobytes(),
                         capture_output=True, check=True)
    out = []
    for line in run.stdout.decode().splitlines():
        first, last, start, kind = line.split()
        out.append({"first": int(first), "last": int(last), "start": int(start), "kind": kind})
    return out

"""Per-frame inputs of the scene detector, computed with numpy from ffmpeg's
gray output: the score (mean absolute difference against the frame before,
0..255) and the box-averaged thumbnail, the same as the scanner hands over.
Cached beside each clip as <clip>.feat.npz."""

from __future__ import annotations

import dataclasses
import pathlib
import subprocess

import numpy as np

THUMB_W, THUMB_H = 32, 18


@dataclasses.dataclass
class Features:
    scores: np.ndarray  # float64, scores[0] = 0
    thumbs: np.ndarray  # uint8, (frames, THUMB_H, THUMB_W)


def size_of(path: pathlib.Path) -> tuple[int, int]:
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=width,height", "-of", "csv=p=0", str(path)],
                         check=True, capture_output=True, text=True).stdout
    w, h = out.strip().split(",")[:2]
    return int(w), int(h)


def thumbnail(frame: np.ndarray) -> np.ndarray:
    """Box average to THUMB_W x THUMB_H: source column x goes to cell x*THUMB_W//w."""
    h, w = frame.shape
    cy = np.arange(h) * THUMB_H // h
    cx = np.arange(w) * THUMB_W // w
    sums = np.zeros((THUMB_H, THUMB_W), np.int64)
    np.add.at(sums, (cy[:, None], cx[None, :]), frame)
    counts = np.bincount(cy, minlength=THUMB_H)[:, None] * np.bincount(cx, minlength=THUMB_W)[None, :]
    return ((sums + counts // 2) // counts).astype(np.uint8)


def features(path: pathlib.Path) -> Features:
    path = pathlib.Path(path)
    cache = path.with_suffix(".feat.npz")
    if cache.exists() and cache.stat().st_mtime >= path.stat().st_mtime:
        data = np.load(cache)
        return Features(data["scores"], data["thumbs"])
    w, h = size_of(path)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                         check=True, capture_output=True).stdout
    frames = np.frombuffer(raw, np.uint8).reshape(-1, h, w)
    scores = np.zeros(len(frames))
    for i in range(1, len(frames)):
        scores[i] = np.abs(frames[i].astype(np.int16) - frames[i - 1]).mean()
    thumbs = np.stack([thumbnail(f) for f in frames])
    np.savez(cache, scores=scores, thumbs=thumbs)
    return Features(scores, thumbs)

"""numpy prototype of the scene detector (the C++ one in src/video follows it).

Inputs per frame n: scores[n], the mean absolute gray difference against frame
n - 1 (0..255), and thumbs[n], a 32x18 box-averaged gray thumbnail. Every
decision looks at most LOOKAHEAD frames past the frame it decides about, so
the same rules run online.
"""

from __future__ import annotations

import dataclasses

import numpy as np


@dataclasses.dataclass
class Options:
    min_scene_len: int = 15
    cut_floor: float = 6.0  # score
    cut_thumb_floor: float = 4.0  # thumbnail jump, gray levels
    cut_ratio: float = 3.0  # score against the mean of the context
    cut_context: int = 2
    cut_strong: float = 50.0
    cut_strong_ratio: float = 2.0
    flash_frames: int = 5
    flash_match: float = 0.4
    windows: tuple = (4, 6, 8, 11, 14, 18, 23, 29, 36, 44)
    gradual_min_change: float = 14.0
    gradual_max_step: float = 0.35
    gradual_max_backstep: float = 0.15
    gradual_min_frames: int = 4
    gradual_tightness: float = 0.5
    gradual_max_blend: float = 0.15
    gradual_max_mix: float = 0.15
    gradual_max_correlation: float = 0.5
    flat_level: float = 6.0
    fade_gap: int = 30  # a fade-in this close after a fade-out is one fade


@dataclasses.dataclass
class Boundary:
    first: int
    last: int
    start: int
    kind: str


def dist(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.abs(a - b).mean())


def correlation(a: np.ndarray, b: np.ndarray) -> float:
    a = a - a.mean()
    b = b - b.mean()
    den = np.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / den) if den > 0 else 1.0


def cut_candidates(scores, T, o: Options) -> list[int]:
    n_frames = len(scores)
    jumps = np.r_[0.0, np.abs(np.diff(T, axis=0)).mean(1)]
    out = []
    for n in range(1, n_frames):
        s, j = scores[n], jumps[n]
        if s < o.cut_floor or j < o.cut_thumb_floor:
            continue
        ctx = [n - k for k in range(1, o.cut_context + 1) if n - k >= 1]
        ctx += [n + k for k in range(1, o.cut_context + 1) if n + k < n_frames]
        ms = scores[ctx].mean() if ctx else 0.0
        mj = jumps[ctx].mean() if ctx else 0.0
        ratio = o.cut_strong_ratio if s >= o.cut_strong else o.cut_ratio
        if s < ratio * ms or j < ratio * mj:
            continue
        # A flash: the picture comes back to the one before the jump, or the
        # jump returns to a picture from just before.
        jump = dist(T[n - 1], T[n])
        flash = any(dist(T[n - 1], T[n + k]) <= o.flash_match * jump
                    for k in range(1, o.flash_frames + 1) if n + k < n_frames)
        flash = flash or any(dist(T[n], T[n - 1 - k]) <= o.flash_match * jump
                             for k in range(1, o.flash_frames + 1) if n - 1 - k >= 0)
        if not flash:
            out.append(n)
    return out


def rank_correlation(a: np.ndarray, b: np.ndarray) -> float:
    ra = np.empty(len(a)); ra[np.argsort(a, kind="stable")] = np.arange(len(a))
    rb = np.empty(len(b)); rb[np.argsort(b, kind="stable")] = np.arange(len(b))
    return correlation(ra, rb)


def window_quality(T, a: int, b: int, o: Options):
    """(quality, middle, kind) of frames a..b as one gradual transition, or None.

    The frames between the ends are fitted as blends of the two ends (a
    dissolve or fade: T = Ta + f (Tb - Ta) with one f a frame) and as a mix of
    their pixels (a wipe: every pixel at one end's value). The window must be
    tight (most inner frames part-way), the progress f must rise steadily, and
    the ends must be different pictures (not one picture in another tone)."""
    ta, tb = T[a], T[b]
    delta = tb - ta
    change = float(np.abs(delta).mean())
    if change < o.gradual_min_change:
        return None
    inner = T[a + 1:b]
    f = np.clip(((inner - ta) @ delta) / float(delta @ delta), 0.0, 1.0)
    steps = np.diff(np.r_[0.0, f, 1.0])
    if steps.max() > o.gradual_max_step or -steps.min() > o.gradual_max_backstep:
        return None
    moving = (f >= 0.1) & (f <= 0.9)
    if moving.sum() < o.gradual_min_frames or moving.sum() < o.gradual_tightness * len(f):
        return None
    part = inner[moving]
    fq = np.floor(f[moving, None] * 1024 + 0.5) / 1024  # the detector's fixed point
    blend = np.abs(part - (ta + fq * delta)).mean() / change
    mix = np.minimum(np.abs(part - ta), np.abs(part - tb)).mean() / change
    flat_a, flat_b = ta.std() < o.flat_level, tb.std() < o.flat_level
    if not (flat_a or flat_b) and rank_correlation(ta, tb) > o.gradual_max_correlation:
        return None
    if blend <= o.gradual_max_blend:
        kind, residual = "dissolve", blend
    elif mix <= o.gradual_max_mix:
        kind, residual = "wipe", mix
    else:
        return None
    if flat_a or flat_b:
        kind = "fade-in" if flat_a else "fade-out"
    k = int(np.argmin(np.abs(f - 0.5)))
    first = min(int(np.argmax(f > 0.05)) if (f > 0.05).any() else len(f), k)
    last = max(int(np.nonzero(f < 0.95)[0][-1]) if (f < 0.95).any() else 0, k)
    return change * (1.0 - residual), a + 1 + k, kind, a + 1 + first, a + 1 + last


def gradual_candidates(T, cuts: list[int], o: Options) -> list[Boundary]:
    n_frames = len(T)
    found = []  # (quality, a, b, middle, kind)
    for b in range(1, n_frames):
        for length in o.windows:
            a = b - length
            if a < 0:
                break
            if any(a < c <= b for c in cuts):
                continue
            q = window_quality(T, a, b, o)
            if q:
                found.append((q[0], a, b, q[1], q[2], q[3], q[4]))
    # A window is kept when no window overlapping it is better (ties: the
    # earlier one wins), which can be decided once every window that could
    # overlap it has been seen.
    def better(y, x):
        return y[0] > x[0] or (y[0] == x[0] and (y[2], y[1]) < (x[2], x[1]))
    kept = [x for x in found
            if not any(y is not x and y[1] < x[2] and x[1] < y[2] and better(y, x) for y in found)]
    kept.sort(key=lambda x: x[1])
    out = []
    ends = []
    for q, a, b, m, kind, first, last in kept:
        # A fade-out followed closely by a fade-in is one fade through black.
        if kind == "fade-in" and out and out[-1].kind == "fade-out" and a <= ends[-1] - 1 + o.fade_gap:
            prev = out.pop()
            out.append(Boundary(prev.first, last, (prev.first + last) // 2, "fade"))
            ends[-1] = b
            continue
        out.append(Boundary(first, last, m, kind))
        ends.append(b)
    for x in out:
        if x.kind in ("fade-in", "fade-out"):
            x.kind = "fade"
    return out


def detect(scores, thumbs, o: Options | None = None) -> list[Boundary]:
    o = o or Options()
    T = thumbs.reshape(len(scores), -1).astype(np.float64)
    cuts = cut_candidates(scores, T, o)
    bounds = [Boundary(c, c, c, "cut") for c in cuts] + gradual_candidates(T, cuts, o)
    bounds.sort(key=lambda x: x.start)
    out = []
    for x in bounds:
        if x.start < o.min_scene_len:
            continue
        if out and x.start < out[-1].start + o.min_scene_len:
            continue
        out.append(x)
    return out

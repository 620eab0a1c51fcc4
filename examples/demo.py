"""The scenes of a video and a picture of each, from the ``velmar`` command.

With no video, generates a 14 s sample (five shots of ffmpeg test patterns:
three hard cuts and a one-second dissolve) and runs

    velmar keyframes sample.mp4 -o DIR/scenes --manifest DIR/scenes.csv \\
        --edl DIR/scenes.edl --report DIR/report.html

on it, then prints the scenes and where to look. With --api, runs the
original API's one call instead, extract_keyframes_from_video, and tiles
its keyframes into a contact sheet.

    python examples/demo.py [VIDEO] [-o DIR] [--api [--keyframes N]]
"""

from __future__ import annotations

import argparse
import csv
import io
import math
import os
import pathlib
import shlex
import shutil
import subprocess
import sys

# Five shots of different test patterns, SHOT_SECONDS each at RATE fps: a
# hard cut opens the second, third and fifth, and the fourth dissolves in
# from the third over DISSOLVE_SECONDS.
SHOTS = ["testsrc2", "smptebars", "mandelbrot", "rgbtestsrc", "gradients=seed=7"]
DISSOLVE_INTO = 3  # the shot that dissolves in
SIZE = "640x360"
RATE = 25
SHOT_SECONDS = 3
DISSOLVE_SECONDS = 1
MAX_SAVE = 50  # extract_keyframes_from_video's default


def ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def make_sample(path: pathlib.Path) -> None:
    """Joins the shots: cuts between them, and one cross-fade."""
    inputs = []
    for shot in SHOTS:
        source = f"{shot}{':' if '=' in shot else '='}size={SIZE}:rate={RATE}"
        inputs += ["-f", "lavfi", "-t", str(SHOT_SECONDS), "-i", source]
    graph = "".join(f"[{i}:v]format=yuv420p,setsar=1[v{i}];" for i in range(len(SHOTS)))
    d = DISSOLVE_INTO
    graph += (f"[v{d - 1}][v{d}]xfade=transition=fade:duration={DISSOLVE_SECONDS}"
              f":offset={SHOT_SECONDS - DISSOLVE_SECONDS}[x];")
    parts = [f"[v{i}]" for i in range(len(SHOTS)) if i not in (d - 1, d)]
    parts.insert(d - 1, "[x]")
    graph += f"{''.join(parts)}concat=n={len(parts)}:v=1:a=0[out]"
    ffmpeg(*inputs, "-filter_complex", graph, "-map", "[out]", "-c:v", "libx264", "-crf", "20",
           str(path))


def sample_truth() -> str:
    """Where the sample's boundaries are, in frames."""
    shot, overlap = SHOT_SECONDS * RATE, DISSOLVE_SECONDS * RATE
    # The shots after the dissolve start `overlap` frames earlier.
    cuts = [shot * i - (overlap if i > DISSOLVE_INTO else 0)
            for i in range(1, len(SHOTS)) if i != DISSOLVE_INTO]
    first, last = shot * DISSOLVE_INTO - overlap, shot * DISSOLVE_INTO - 1
    return (f"cuts at frames {', '.join(map(str, cuts))} and a dissolve over frames "
            f"{first}-{last}")


def shown(path: pathlib.Path) -> str:
    """`path` as short as it reads from here."""
    relative = os.path.relpath(path)
    return str(path) if relative.startswith("..") else relative


def velmar_command() -> list[str]:
    """The `velmar` command installed beside this interpreter, or the module."""
    script = pathlib.Path(sys.executable).with_name("velmar")
    return [str(script)] if script.exists() else [sys.executable, "-m", "velmar_cli"]


def scenes(video: pathlib.Path, out: pathlib.Path) -> None:
    """The main job: `velmar keyframes` in scene mode, with its three outputs."""
    manifest, edl, report = out / "scenes.csv", out / "scenes.edl", out / "report.html"
    command = [*velmar_command(), "keyframes", shown(video), "-o", shown(out / "scenes"),
               "--manifest", shown(manifest), "--edl", shown(edl), "--report", shown(report)]
    print(f"$ {shlex.join(command)}", flush=True)
    status = subprocess.run(command).returncode
    if status != 0:
        sys.exit(status)

    with open(manifest, newline="") as f:
        rows = list(csv.DictReader(f))
    print()
    print("scene  frames      start         transition  picture")
    for row in rows:
        frames = f"{row['start_frame']}-{row['end_frame']}"
        picture = os.path.basename(row["path"]) if row["path"] else "-"
        print(f"{row['scene']:>5}  {frames:<10}  {row['start_timecode']}  "
              f"{row['transition']:<10}  {picture}")
    print()
    print("Where to look:")
    print(f"  report, open in a browser:   {report.resolve()}")
    print(f"  manifest, one row per scene: {shown(manifest)}")
    print(f"  edit decision list:          {shown(edl)}")
    print(f"  pictures:                    {shown(out / 'scenes' / video.stem)}/")


def original_api(video: pathlib.Path, out: pathlib.Path, keyframes: int) -> None:
    """extract_keyframes_from_video: the top-k frames by difference, saved
    by the ffmpeg program as keyframe_001.jpg, ..., and a timing record."""
    import velmar

    # velmar writes its progress lines straight to fd 1; keep ours in step.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    out = out / "api"
    out.mkdir(parents=True, exist_ok=True)
    try:
        result = velmar.extract_keyframes_from_video(str(video), str(out), keyframes,
                                                     verbose=True)
    except (RuntimeError, OverflowError) as exc:
        sys.exit(f"error: {exc}")
    print()
    print("Performance record")
    for name in ("test_name", "video_file", "total_frames", "keyframes_extracted",
                 "max_keyframes_requested", "keyframe_ratio", "total_time_ms",
                 "frame_extraction_time_ms", "keyframe_analysis_time_ms", "processing_fps",
                 "optimization_type", "simd_enabled", "threads_used", "timestamp"):
        value = getattr(result, name)
        print(f"  {name:<26} {f'{value:.2f}' if isinstance(value, float) else value}")
    print(f"  (keyframe_ratio is a percentage: {result.keyframes_extracted} of "
          f"{result.total_frames} decoded frames kept)")

    # The images are named by their place in the keyframe list; at most
    # MAX_SAVE of them are written.
    count = min(result.keyframes_extracted, MAX_SAVE)
    print()
    if count and (out / "keyframe_001.jpg").exists():
        print(f"{count} keyframe images in {shown(out)}/")
        print(f"contact sheet: {shown(contact_sheet(out, count))}")
    else:
        print(f"no keyframes were written to {shown(out)}")


def contact_sheet(output_dir: pathlib.Path, count: int) -> pathlib.Path:
    """Tiles keyframe_001.jpg ... keyframe_<count>.jpg into one image.

    Only the first `count` images are read: files of an earlier run with
    more keyframes may still be in the directory.
    """
    columns = math.ceil(math.sqrt(count))
    rows = math.ceil(count / columns)
    sheet = output_dir / "contact_sheet.png"
    ffmpeg("-framerate", "1", "-start_number", "1", "-i", str(output_dir / "keyframe_%03d.jpg"),
           "-vf", f"trim=end_frame={count},scale=320:-2,tile={columns}x{rows}:padding=4:color=white",
           "-frames:v", "1", "-update", "1", str(sheet))
    return sheet


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("video", nargs="?", type=pathlib.Path,
                        help="video to process (default: a generated sample)")
    parser.add_argument("-o", "--output", type=pathlib.Path, default=pathlib.Path("out/demo"),
                        metavar="DIR", help="where everything goes (default: out/demo)")
    parser.add_argument("--api", action="store_true",
                        help="run the original API's extract_keyframes_from_video instead")
    parser.add_argument("--keyframes", type=int, default=None, metavar="N",
                        help="with --api: keyframes to keep (default: the sample's 4 "
                             "boundaries, 10 otherwise)")
    args = parser.parse_args()
    if args.keyframes is not None and not args.api:
        parser.error("--keyframes goes with --api")
    if shutil.which("ffmpeg") is None:
        sys.exit("ffmpeg is not on PATH (it makes the sample, and the original API runs it)")
    args.output.mkdir(parents=True, exist_ok=True)

    video = args.video
    if video is None:
        video = args.output / "sample.mp4"
        print(f"Generating a sample video, {sample_truth()}: {shown(video)}", flush=True)
        make_sample(video)
    if args.api:
        keyframes = args.keyframes
        if keyframes is None:
            keyframes = len(SHOTS) - 1 if args.video is None else 10
        original_api(video, args.output, keyframes)
    else:
        scenes(video, args.output)


if __name__ == "__main__":
    main()

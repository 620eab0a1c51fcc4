"""Keyframe extraction end to end.

With no arguments, generates a sample video with four hard scene cuts and
extracts its keyframes; with a video path and an output directory, processes
that video instead. Writes the keyframe JPEGs and a contact sheet of them,
and prints the timing record.

    python examples/demo.py [VIDEO OUTPUT_DIR] [--keyframes N]
"""

import argparse
import io
import math
import pathlib
import shutil
import subprocess
import sys

import velmar

# Sources of different content, one after another: a hard cut where each
# starts. Within a clip consecutive frames differ little, so the keyframes
# should be exactly the cut frames.
SAMPLE_CLIPS = ["testsrc2", "smptebars", "mandelbrot", "rgbtestsrc", "gradients=seed=7"]
SIZE = "640x360"
RATE = 25
SECONDS_PER_CLIP = 2
MAX_SAVE = 50  # extract_keyframes_from_video's default


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def make_sample(path):
    """Concatenates clips of different content: a hard cut every two seconds."""
    inputs = []
    for clip in SAMPLE_CLIPS:
        source = f"{clip}{':' if '=' in clip else '='}size={SIZE}:rate={RATE}"
        inputs += ["-f", "lavfi", "-t", str(SECONDS_PER_CLIP), "-i", source]
    streams = "".join(f"[{i}:v]format=yuv420p,setsar=1[v{i}];" for i in range(len(SAMPLE_CLIPS)))
    joined = "".join(f"[v{i}]" for i in range(len(SAMPLE_CLIPS)))
    graph = f"{streams}{joined}concat=n={len(SAMPLE_CLIPS)}:v=1:a=0[out]"
    ffmpeg(*inputs, "-filter_complex", graph, "-map", "[out]", "-c:v", "mpeg4", "-q:v", "3",
           str(path))


def contact_sheet(output_dir, count):
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


def print_record(result):
    print()
    print("Performance record")
    print("------------------")
    fields = result.to_dict()
    for name in ("test_name", "video_file", "total_frames", "keyframes_extracted",
                 "max_keyframes_requested", "keyframe_ratio", "total_time_ms",
                 "frame_extraction_time_ms", "keyframe_analysis_time_ms", "processing_fps",
                 "optimization_type", "simd_enabled", "threads_used", "timestamp"):
        value = fields[name]
        if isinstance(value, float):
            value = f"{value:.2f}"
        print(f"  {name:<26} {value}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("video", nargs="?", help="video to process (default: a generated sample)")
    parser.add_argument("output_dir", nargs="?", help="where the keyframes go")
    parser.add_argument("--keyframes", type=int, default=None,
                        help="keyframes to keep (default: 4 for the sample, 10 otherwise)")
    args = parser.parse_args()
    # velmar writes its progress lines straight to fd 1; keep ours in step.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    if (args.video is None) != (args.output_dir is None):
        parser.error("give both a video and an output directory, or neither")
    if shutil.which("ffmpeg") is None:
        sys.exit("ffmpeg is not on PATH")

    if args.video is None:
        output_dir = pathlib.Path("out/demo").resolve()
        output_dir.mkdir(parents=True, exist_ok=True)
        video = output_dir / "sample.mp4"
        cuts = [SECONDS_PER_CLIP * RATE * i for i in range(1, len(SAMPLE_CLIPS))]
        print(f"Generating a sample video with scene cuts at frames "
              f"{', '.join(map(str, cuts))}: {video}")
        make_sample(video)
        keyframes = len(cuts) if args.keyframes is None else args.keyframes
    else:
        video = pathlib.Path(args.video)
        output_dir = pathlib.Path(args.output_dir).resolve()
        keyframes = 10 if args.keyframes is None else args.keyframes

    try:
        result = velmar.extract_keyframes_from_video(str(video), str(output_dir), keyframes,
                                                     verbose=True)
    except (RuntimeError, OverflowError) as exc:
        sys.exit(f"error: {exc}")
    print_record(result)

    # The images are named by their place in the keyframe list; at most
    # MAX_SAVE of them are written.
    count = min(result.keyframes_extracted, MAX_SAVE)
    print()
    if count and (output_dir / "keyframe_001.jpg").exists():
        sheet = contact_sheet(output_dir, count)
        print(f"{count} keyframe images in {output_dir}")
        print(f"contact sheet: {sheet}")
    else:
        print(f"no keyframes were written to {output_dir}")


if __name__ == "__main__":
    main()

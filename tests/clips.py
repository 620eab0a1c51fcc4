"""Small videos of flat colour clips, for tests that need real files with
known cuts: the first frame of every clip after the first is a cut."""

import subprocess

# Neighbours differ in brightness: the frames are compared in gray.
COLOURS = ["black", "white", "gray", "yellow", "navy", "silver"]


def make_clips(path, clips=3, frames_per_clip=20, rate="25", size="64x48", offset=0):
    """Writes `clips` flat-colour clips back to back; returns the cut frames."""
    inputs = []
    for i in range(clips):
        colour = COLOURS[(i + offset) % len(COLOURS)]
        inputs += ["-f", "lavfi", "-i", f"color=c={colour}:s={size}:r={rate}"]
    parts = "".join(f"[{i}:v]trim=end_frame={frames_per_clip}[v{i}];" for i in range(clips))
    joined = "".join(f"[v{i}]" for i in range(clips))
    subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *inputs, "-filter_complex",
         f"{parts}{joined}concat=n={clips}:v=1:a=0,format=yuv420p[out]", "-map", "[out]",
         "-c:v", "mpeg4", "-q:v", "2", "-r", rate, str(path)],
        check=True)
    return [frames_per_clip * i for i in range(1, clips)]

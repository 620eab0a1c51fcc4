"""Small videos of colour clips, for tests that need real files with known
cuts: the first frame of every clip after the first is a cut. A black and
a white square in a corner keep each clip from being one flat colour (a
blank scene, which scene detection gives no picture)."""

import subprocess

# Neighbours differ in brightness: the frames are compared in gray.
COLOURS = ["black", "white", "gray", "yellow", "navy", "silver"]
CORNER = ("drawbox=w=iw/8:h=ih/8:c=black:t=fill,"
          "drawbox=x=iw/8:w=iw/8:h=ih/8:c=white:t=fill")


def make_clips(path, clips=3, frames_per_clip=20, rate="25", size="64x48", offset=0):
    """Writes `clips` colour clips back to back; returns the cut frames."""
    inputs = []
    for i in range(clips):
        colour = COLOURS[(i + offset) % len(COLOURS)]
        inputs += ["-f", "lavfi", "-i", f"color=c={colour}:s={size}:r={rate}"]
    parts = "".join(f"[{i}:v]trim=end_frame={frames_per_clip}[v{i}];" for i in range(clips))
    joined = "".join(f"[v{i}]" for i in range(clips))
    subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *inputs, "-filter_complex",
         f"{parts}{joined}concat=n={clips}:v=1:a=0,{CORNER},format=yuv420p[out]", "-map", "[out]",
         "-c:v", "mpeg4", "-q:v", "2", "-r", rate, str(path)],
        check=True)
    return [frames_per_clip * i for i in range(1, clips)]


def fade_through_black(path, rate, hold, fade=0.5, size="96x64"):
    """Two seconds of still bars, a fade out to black over `fade` seconds
    (0: a cut), `hold` seconds of black, a fade in to other bars, two
    seconds of them. Returns the first frame of the fade-out and the last
    of the fade-in."""
    shots = [("smptebars", 2), ("color", hold), ("pal100bars", 2)]  # color: black
    inputs = [arg for source, seconds in shots
              for arg in ("-f", "lavfi", "-t", str(seconds), "-i", f"{source}=s={size}:r={rate}")]
    graph = (f"[0]fade=t=out:st={2 - fade}:d={fade}[a];[2]fade=t=in:d={fade}[c];"
             "[a][1][c]concat=n=3") if fade else "[0][1][2]concat=n=3"
    subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *inputs, "-filter_complex",
         f"{graph},format=yuv420p[out]", "-map", "[out]", "-c:v", "libx264", "-preset",
         "ultrafast", "-qp", "10", str(path)],
        check=True)
    return round((2 - fade) * rate), round((2 + hold + fade) * rate) - 1

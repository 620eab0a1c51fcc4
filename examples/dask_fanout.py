"""Top-k keyframes of many videos on a Dask cluster, one task per video.

    python examples/dask_fanout.py OUTPUT_DIR VIDEO... [--scheduler tcp://HOST:8786]

Each task runs the original API step by step on a worker: extract_frames,
extract_keyframes (the -k frames that differ most from the frame before
them) and save_keyframes (one ffmpeg run per image, so the workers need
ffmpeg on PATH). Without --scheduler a local cluster of worker processes is
started. Workers need velmar installed and must see the videos and
OUTPUT_DIR under the same paths (a shared file system). Needs the extra:
pip install 'velmar[dask]'.

`velmar keyframes --dask ADDRESS` fans out the same way, one task per
video, but each of its tasks finds the video's scenes with scan_video and
writes a picture of each, and the command writes the manifest, edit
decision list and report. For scenes from your own tasks, call
velmar.scan_video(video, output_dir=...) in keyframes_of instead.
"""

from __future__ import annotations

import argparse
import os

from distributed import Client, LocalCluster

import velmar


def keyframes_of(video: str, output_dir: str, max_keyframes: int) -> dict[str, object]:
    """Runs on a worker: decode, select and save; returns the frame numbers."""
    extractor = velmar.VideoKeyframeExtractor()
    frames, width, height = extractor.extract_frames(video)
    keys = extractor.extract_keyframes(frames, max_keyframes)
    saved = extractor.save_keyframes(video, keys, output_dir, len(keys))
    return {"video": video, "size": (width, height), "keyframes": keys, "saved": saved}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output_dir")
    parser.add_argument("videos", nargs="+")
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("-k", type=int, default=10, help="keyframes per video")
    args = parser.parse_args()

    cluster = None
    if args.scheduler is None:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                               dashboard_address=None)
    with Client(args.scheduler or cluster) as client:
        futures = [
            client.submit(keyframes_of, os.path.abspath(video),
                          os.path.join(os.path.abspath(args.output_dir), f"{i:03d}"), args.k,
                          pure=False)
            for i, video in enumerate(args.videos)
        ]
        for result in client.gather(futures):
            print(f"{result['video']}: keyframes {result['keyframes']}, {result['saved']} saved")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()

# Covers: python/velmar_cli/__init__.py (--image-* options), keyframes.py (pictures).
"""``velmar keyframes`` passes the picture options through, keeps every
picture of a scene, and lists them in the JSON manifest."""

import json
import os

import pytest

from clips import make_clips

pytest.importorskip("velmar_cli")


def test_picture_options_reach_the_files_and_the_manifest(cli, tmp_path):
    video = tmp_path / "clips.mp4"
    make_clips(video, clips=3, frames_per_clip=40)
    out, manifest = tmp_path / "out", tmp_path / "m.json"
    run = cli("keyframes", video, "-o", out, "--image-format", "webp", "--image-quality", "60",
              "--image-width", "32", "--images-per-scene", "2",
              "--image-name", "{video}-{scene:02d}-{frame:04d}", "--manifest", manifest,
              "--no-progress")
    assert run.returncode == 0, run.stderr
    rows = json.loads(manifest.read_text())
    assert len(rows) == 3
    listed = []
    for i, row in enumerate(rows, 1):
        assert len(row["pictures"]) == 2 and row["path"] in row["pictures"]
        for path in row["pictures"]:
            assert os.path.basename(path).startswith(f"clips-{i:02d}-")
            assert path.endswith(".webp")
        listed += row["pictures"]
    assert sorted(os.listdir(out / "clips")) == sorted(map(os.path.basename, listed))
    # -k keeps one scene's pictures: the others this run wrote go, whatever their names
    run = cli("keyframes", video, "-o", out, "-k", "1", "--images-per-scene", "2",
              "--image-name", "{video}-{scene:02d}-{frame:04d}", "--manifest", manifest,
              "--no-progress")
    assert run.returncode == 0, run.stderr
    kept = [path for row in json.loads(manifest.read_text()) for path in row["pictures"]]
    assert len(kept) == 2
    assert sorted(os.listdir(out / "clips")) == sorted(
        map(os.path.basename, kept + [p for p in listed if p.endswith(".webp")]))


@pytest.mark.parametrize("argv, status, message", [
    (["--image-quality", "0"], 2, "--image-quality"),
    (["--image-format", "gif"], 2, "--image-format"),
    (["--images-per-scene", "0"], 2, "--images-per-scene"),
    (["--image-name", "a/{frame}"], 2, "image_name"),
    (["--image-quality", "50", "--image-format", "png"], 2, "image_quality"),
])
def test_bad_picture_options(cli, tmp_path, argv, status, message):
    video = tmp_path / "clips.mp4"
    make_clips(video, clips=2)
    run = cli("keyframes", video, "-o", tmp_path / "out", "--no-progress", *argv)
    assert run.returncode == status and message in run.stderr

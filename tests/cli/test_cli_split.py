# Covers: python/velmar_cli/split.py, python/velmar_cli/__init__.py (split).
"""``velmar split``: the scenes it finds, or those of a keyframes manifest,
cut into one file each, with the manifest's part columns; copy mode names
every moved cut; exit statuses as keyframes'."""

import csv
import json
import shutil
import subprocess

import pytest

from clips import make_clips

pytest.importorskip("velmar_cli")

# A name a spreadsheet would take for a formula: the CSV manifest writes it
# with an apostrophe, which --scenes must take off again.
VIDEO = "=clip.mp4"


@pytest.fixture(scope="module")
def video_dir(tmp_path_factory):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    d = tmp_path_factory.mktemp("split")
    make_clips(d / VIDEO, clips=3, frames_per_clip=40, size="96x64")  # cuts at 40, 80
    return d


def rows_of(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f)) if str(path).endswith(".csv") else json.load(f)


def key_frames(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                          "packet=pts,flags", "-of", "csv=p=0", str(path)],
                         capture_output=True, text=True, check=True).stdout
    pts = sorted((int(p), "K" in f) for p, f in (line.split(",")[:2] for line in out.split()))
    return [n for n, (_, key) in enumerate(pts) if key]


@pytest.mark.parametrize("manifest", ["scenes.csv", "scenes.json"])
def test_scenes_from_a_keyframes_manifest_give_the_same_parts(video_dir, cli, manifest):
    d = video_dir
    assert cli("keyframes", VIDEO, "-o", "pictures", "--manifest", manifest,
               "--no-progress", cwd=d).returncode == 0
    found = cli("split", VIDEO, "-o", "found", "--manifest", "found." + manifest.split(".")[1],
                "--no-progress", cwd=d)
    assert found.returncode == 0, found.stderr
    given = cli("split", VIDEO, "-o", "given", "--scenes", manifest, "--no-progress", cwd=d)
    assert given.returncode == 0, given.stderr
    assert f"{VIDEO}: 3 parts in given" in given.stdout
    names = [f"=clip-scene-00{i}.mp4" for i in (1, 2, 3)]
    for name in names:
        assert (d / "found" / name).read_bytes() == (d / "given" / name).read_bytes()
    rows = rows_of(d / ("found." + manifest.split(".")[1]))
    assert [(str(r["start_frame"]), str(r["end_frame"])) for r in rows] == [
        ("0", "39"), ("40", "79"), ("80", "119")]
    assert [r["part"] for r in rows] == [f"found/{name}" for name in names]
    assert all("actual_start_frame" not in r for r in rows)  # copy mode only


def test_copy_names_every_moved_cut(video_dir, cli):
    d = video_dir
    keys = key_frames(d / VIDEO)
    cuts = [30, 100]
    moved = {cut: max(k for k in keys if k <= cut) for cut in cuts}
    assert moved != {cut: cut for cut in cuts}, "the cuts must fall between key frames"
    scenes = [{"video": VIDEO, "scene": n, "start_frame": first, "end_frame": last}
              for n, (first, last) in enumerate([(0, 29), (30, 99), (100, 119)], 1)]
    (d / "cuts.json").write_text(json.dumps(scenes))
    proc = cli("split", VIDEO, "-o", "copied", "--copy", "--scenes", "cuts.json", "--manifest",
               "copied.csv", "--no-progress", cwd=d)
    assert proc.returncode == 0, proc.stderr
    lines = [line for line in proc.stdout.splitlines() if "starts at key frame" in line]
    assert lines == [f"{VIDEO}: scene {n}: starts at key frame {moved[cut]}, not at frame {cut}"
                     for n, cut in zip((2, 3), cuts) if moved[cut] != cut]
    rows = rows_of(d / "copied.csv")
    assert [r["actual_start_frame"] for r in rows] == ["0"] + [str(moved[c]) for c in cuts]


@pytest.mark.parametrize("args, status, message", [
    (["missing.mp4", VIDEO], 1, "velmar: missing.mp4: no such file"),
    (["--scenes", "none.csv", VIDEO], 2, "--scenes none.csv: No such file or directory"),
    (["--scenes", "scenes.csv", "--threshold", "20", VIDEO], 2, "--threshold would find them"),
    (["--manifest", "m.txt", VIDEO], 2, "--manifest must name a .json or .csv file"),
])
def test_exit_status_and_reason(video_dir, cli, args, status, message):
    d = video_dir
    cli("keyframes", VIDEO, "-o", "pictures", "--manifest", "scenes.csv", "--no-progress", cwd=d)
    proc = cli("split", *args, "-o", "failed", "--no-progress", cwd=d)
    assert proc.returncode == status
    assert message in proc.stderr
    if status == 1:  # the other video is still split
        assert f"{VIDEO}: 3 parts in failed" in proc.stdout

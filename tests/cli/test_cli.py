# Covers: python/velmar_cli/__init__.py, keyframes.py, index.py (parsing, scene manifest, index actions, info).
import base64
import csv
import json
import os
import pathlib
import re
import subprocess
import sys
from types import SimpleNamespace

import pytest

from clips import make_clips

velmar_cli = pytest.importorskip("velmar_cli")
from velmar_cli import keyframes as kf  # noqa: E402
import velmar  # noqa: E402


INT_FIELDS = ("scene", "start_frame", "end_frame", "picture_frame")


def read_manifest(path):
    if str(path).endswith(".csv"):
        with open(path, newline="") as f:
            rows = list(csv.DictReader(f))
        for row in rows:
            for key in INT_FIELDS:
                row[key] = int(row[key]) if row[key] else None
            for key in ("duration", "score"):
                row[key] = float(row[key]) if row[key] else None
            row["path"] = row["path"] or None
        return rows
    with open(path) as f:
        return json.load(f)


@pytest.fixture(scope="module")
def videos(tmp_path_factory):
    d = tmp_path_factory.mktemp("videos")
    (d / "a").mkdir()
    (d / "b").mkdir()
    first, second = d / "a" / "clip.mp4", d / "b" / "clip.mp4"
    return {"paths": [first, second],
            "cuts": [make_clips(first, clips=3), make_clips(second, clips=2, offset=3)]}


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_scene_manifest(videos, tmp_path, fmt, cli):
    out, manifest = tmp_path / "out", tmp_path / f"scenes.{fmt}"
    proc = cli("keyframes", *videos["paths"], "-o", out, "--manifest", manifest)
    assert proc.returncode == 0, proc.stderr
    rows = read_manifest(manifest)
    # One row per scene, numbered per video; the scenes partition the frames.
    expected = [(str(video), n + 1, start, end - 1)
                for video, cuts in zip(videos["paths"], videos["cuts"])
                for n, (start, end) in enumerate(zip([0] + cuts, cuts + [len(cuts) * 20 + 20]))]
    assert [(r["video"], r["scene"], r["start_frame"], r["end_frame"]) for r in rows] == expected
    assert [r["transition"] for r in rows] == ["start", "cut", "cut", "start", "cut"]
    # 25 frames per second: a 20-frame scene lasts 0.8 s.
    assert [(r["start_timecode"], r["end_timecode"]) for r in rows[:3]] == [
        ("00:00:00.000", "00:00:00.800"), ("00:00:00.800", "00:00:01.600"),
        ("00:00:01.600", "00:00:02.400")]
    assert all(r["duration"] == pytest.approx(0.8) for r in rows)
    # Two videos of the same file name get directories of their own; a
    # picture lies inside its scene and is named by its frame.
    for r in rows:
        if r["path"] is None:
            continue
        directory = out / ("clip" if r["video"] == str(videos["paths"][0]) else "clip-2")
        assert os.path.dirname(r["path"]) == str(directory)
        assert re.fullmatch(rf"keyframe_0*{r['picture_frame']}\.jpg", os.path.basename(r["path"]))
        assert r["start_frame"] <= r["picture_frame"] <= r["end_frame"]
        assert os.path.getsize(r["path"]) > 0
    assert all(r["path"] for r in rows)  # the opening scenes included
    summary = proc.stdout.splitlines()
    assert re.fullmatch(rf"{re.escape(str(videos['paths'][0]))}: 3 scenes, 3 pictures in "
                        rf"{re.escape(str(out / 'clip'))} \([0-9.]+ s, [0-9]+ frames/s\)",
                        summary[0])


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_manifest_of_a_name_that_is_not_utf8(tmp_path, fmt, cli):
    video = os.fsdecode(os.fsencode(tmp_path) + b"/clip\xff.mp4")
    make_clips(video, clips=2)
    manifest = tmp_path / f"scenes.{fmt}"
    proc = cli("keyframes", video, "-o", tmp_path / "out", "--manifest", manifest,
               errors="surrogateescape")
    assert proc.returncode == 0, proc.stderr
    manifest.read_bytes().decode("utf-8")  # no raw bytes
    rows = read_manifest(manifest)
    assert [r["video"] for r in rows] == [video.replace("\udcff", "\ufffd")] * 2
    assert all("\ufffd" in r["path"] for r in rows)
    if fmt == "json":  # and no lone surrogates; the exact names beside them
        assert "\\udc" not in manifest.read_text()
        assert [base64.b64decode(r["video_bytes"]) for r in rows] == [os.fsencode(video)] * 2
        assert all(os.path.isfile(base64.b64decode(r["path_bytes"])) for r in rows)


def test_other_outputs_of_a_name_that_is_not_utf8(tmp_path, cli):
    base = os.fsencode(tmp_path) + b"/clip\xff"
    video = os.fsdecode(base + b".mp4")
    make_clips(video, clips=2)
    outputs = {ext: os.fsdecode(base + ext.encode()) for ext in (".json", ".edl", ".otio", ".html")}
    proc = cli("keyframes", video, "-o", tmp_path / "out", "--images-per-scene", "2",
               "--manifest", outputs[".json"], "--edl", outputs[".edl"],
               "--otio", outputs[".otio"], "--report", outputs[".html"], errors="surrogateescape")
    assert proc.returncode == 0, proc.stderr
    for path in outputs.values():
        text = pathlib.Path(path).read_bytes().decode("utf-8")  # no raw bytes
        assert "\ufffd" in text or "\\ufffd" in text, path
        assert "\\udc" not in text, path  # nor lone surrogates escaped in JSON
    rows = read_manifest(outputs[".json"])
    assert all(len(r["pictures"]) == len(r["pictures_bytes"]) > 1 for r in rows)
    assert all("\ufffd" in name for r in rows for name in r["pictures"])
    assert all(os.path.isfile(base64.b64decode(b)) for r in rows for b in r["pictures_bytes"])


@pytest.mark.parametrize("option", ["--manifest", "--edl", "--report"])
def test_an_output_that_cannot_be_written_fails_before_the_run(videos, tmp_path, option, cli):
    target = tmp_path / "missing" / ("scenes.json" if option == "--manifest" else "out")
    proc = cli("keyframes", videos["paths"][0], "-o", tmp_path / "out", option, target)
    assert proc.returncode == 2
    assert f"{option} {target}: cannot be written: No such file or directory" in proc.stderr
    assert not (tmp_path / "out").exists()  # no video was started


def test_an_output_directory_that_cannot_be_made_fails_before_the_run(videos, tmp_path, cli):
    (tmp_path / "file").write_text("in the way")
    for out in (tmp_path / "file", tmp_path / "file" / "out"):
        proc = cli("keyframes", videos["paths"][0], "-o", out)
        assert proc.returncode == 2, proc.stderr
        assert f"--output {out}: cannot be made: Not a directory" in proc.stderr
        assert "clip.mp4:" not in proc.stderr + proc.stdout  # no video was started


def test_threshold_and_failed_input(videos, tmp_path, cli):
    missing, broken = tmp_path / "missing.mp4", tmp_path / "broken.mp4"
    broken.write_bytes(b"not a video")
    manifest = tmp_path / "scenes.json"
    proc = cli("keyframes", missing, videos["paths"][0], broken, "-o", tmp_path / "out",
               "--threshold", "20", "--manifest", manifest)
    assert proc.returncode == 1
    assert f"{missing}: no such file" in proc.stderr
    # The good video is still processed and listed; the decoder's own
    # failure is reported with its message.
    assert f"{broken}:" in proc.stderr
    assert "Scan failed" in proc.stderr
    rows = read_manifest(manifest)
    assert [r["start_frame"] for r in rows] == [0] + videos["cuts"][0]
    # The fixed rule pictures each cut; no cut opens the first scene.
    assert [r["picture_frame"] for r in rows if r["path"]] == videos["cuts"][0]
    assert proc.stderr.count("velmar:") == 2


def scene(start, end, transition="cut", picture=None, fps=25.0, span=None):
    return SimpleNamespace(start_frame=start, end_frame=end, start_time=start / fps,
                           end_time=(end + 1) / fps, transition=transition,
                           transition_frames=span or (start, start), keyframe=picture,
                           blank=False)


def picture(frame, path, score=1.5, fps=25.0):
    return SimpleNamespace(frame_number=frame, time=frame / fps, score=score, path=str(path))


@pytest.mark.parametrize("keep, kept", [
    (None, [1, 2, 3, 4]), (1, [2]), (2, [2, 4]), (3, [1, 2, 4]), (9, [1, 2, 3, 4]),
])
def test_pictures_of_the_longest_scenes(tmp_path, keep, kept):
    # Lengths 10, 40, 10, 20 frames: -k keeps the longest, earlier first
    # among equals, and lists every scene whatever it keeps.
    bounds = [(0, 9), (10, 49), (50, 59), (60, 79)]
    pictures = []
    for start, _ in bounds:
        pictures.append(picture(start + 5, tmp_path / f"keyframe_{start + 5:06d}.jpg"))
        pathlib.Path(pictures[-1].path).write_bytes(b"jpeg")
    scenes = [scene(s, e, "start" if s == 0 else "cut", p) for (s, e), p in zip(bounds, pictures)]
    result = SimpleNamespace(scenes=scenes, keyframes=pictures, frame_count=80, fps=25.0,
                             scores=[0.0] * 80, first_frame=0)
    outcome = kf.describe(kf.Job(video="v.mp4", output_dir=str(tmp_path), keep=keep), result)
    assert [r["scene"] for r in outcome.rows if r["path"]] == kept
    assert [r["picture_frame"] for r in outcome.rows] == [5, 15, 55, 65]
    assert outcome.pictures == len(kept) and outcome.error is None


def test_outcome_of_a_scan(tmp_path, monkeypatch):
    video = tmp_path / "v.mp4"
    video.write_bytes(b"video")
    written = tmp_path / "keyframe_000012.jpg"
    written.write_bytes(b"jpeg")
    scores = [0.0] * 3000
    scores[2500] = 99.0
    scenes = [scene(0, 19, "start", picture(12, written)),
              scene(20, 59, "dissolve", picture(40, tmp_path / "keyframe_000040.jpg"),
                    span=(16, 24)),
              scene(60, 2999, "cut", None)]
    calls = []

    def scan_video(path, max_keyframes=None, **options):
        calls.append((path, max_keyframes, options))
        return SimpleNamespace(scenes=scenes, keyframes=[s.keyframe for s in scenes[:2]],
                               frame_count=3000, fps=25.0, scores=scores, first_frame=0)

    monkeypatch.setattr(velmar, "scan_video", scan_video, raising=False)
    job = kf.Job(video=str(video), output_dir=str(tmp_path), min_scene_len=5)
    outcome = kf.run_job(job.as_dict())
    # Scene mode (no k, no threshold), every picture saved.
    assert calls[0][:2] == (str(video), None)
    assert calls[0][2]["threshold"] is None and calls[0][2]["min_scene_len"] == 5
    assert calls[0][2]["max_save"] >= 1 << 20
    assert outcome.rows[1] == {
        "video": str(video), "scene": 2, "start_frame": 20, "end_frame": 59,
        "start_timecode": "00:00:00.800", "end_timecode": "00:00:02.400", "duration": 1.6,
        "transition": "dissolve", "blank": False, "picture_frame": 40, "picture_timecode": "00:00:01.600",
        "score": 1.5, "path": None}
    assert outcome.error == "1 of 2 images could not be written (scene 2)"
    assert outcome.spans == [[16, 24]]
    # The plot keeps every peak of a long video in a bounded number of points.
    assert len(outcome.curve) <= kf.CURVE_POINTS
    assert [2500, 99.0] in outcome.curve


@pytest.mark.parametrize("argv", [
    ["keyframes", "v.mp4"],                                       # no -o
    ["keyframes", "v.mp4", "-o", "d", "--manifest", "keys.txt"],
    ["keyframes", "v.mp4", "-o", "d", "-k", "-1"],
    ["keyframes", "v.mp4", "-o", "d", "-k", "0"],
    ["keyframes", "v.mp4", "-o", "d", "--jobs", "0"],
    ["keyframes", "v.mp4", "-o", "d", "--ffmpeg", "/bin/ffmpeg"],  # no such option
    *(["keyframes", "v.mp4", "w.mp4", "-o", "d", "--threshold", t]
      for t in ("0", "-5", "nan", "300", "255.5")),
    ["index", "search", "f.json", "--flexible", "--tag", "x"],
    ["index", "search", "f.json", "--importance-min", "300"],
    ["index", "search", "f.json", "--after", "nan"],
    ["index", "search", "f.json", "--before", "NaN", "--flexible"],
    ["index", "search"],
    ["index", "get", "f.json"],
    ["index", "delete", "f.json"],
    ["index", "delete", "f.json", "m1", "--user", "u"],
    ["index"],
    ["frobnicate"],
])
def test_usage_errors_exit_2(tmp_path, argv):
    proc = subprocess.run([sys.executable, "-m", "velmar_cli", *argv], capture_output=True,
                          text=True, cwd=tmp_path)
    assert proc.returncode == 2
    # Once, by the parser of the command that was given.
    assert proc.stderr.count("usage:") == 1
    assert proc.stderr.count("error:") == 1
    if argv[0] != "frobnicate":
        assert f"usage: velmar {' '.join(argv[:2] if argv[0] == 'index' and len(argv) > 1 else argv[:1])}" \
            in proc.stderr
    assert not (tmp_path / "d").exists()


@pytest.mark.parametrize("seconds, text", [
    (0, "00:00:00.000"), (0.8, "00:00:00.800"), (59.9996, "00:01:00.000"),
    (3661.5, "01:01:01.500"), (100 * 3600 + 0.001, "100:00:00.001"),
])
def test_timecode(seconds, text):
    assert kf.timecode(seconds) == text


def write_lines(path, lines):
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")


def test_index_add_stats_search(tmp_path, cli):
    index, entries = tmp_path / "index.json", tmp_path / "entries.jsonl"
    write_lines(entries, [
        json.dumps({"memory_id": "m1", "user_id": "u", "memory_type": "note",
                    "subjects": ["Work"], "tags": ["urgent"], "created_at": 10}),
        "{not json",
        json.dumps({"memory_id": "m2", "user_id": "u", "memory_type": "note",
                    "subjects": ["homework"], "created_at": 20}),
        json.dumps({"user_id": "u"}),
        "",
    ])
    proc = cli("index", "add", index, entries)
    # The bad lines are reported by number; the good ones are stored anyway.
    assert proc.returncode == 1
    assert f"{entries}:2:" in proc.stderr and f"{entries}:4:" in proc.stderr
    assert "added 2 entries, 2 in total" in proc.stdout

    stats = cli("index", "stats", index, "--json")
    assert stats.returncode == 0
    assert json.loads(stats.stdout)["types_dist"] == {"note": 2}

    strict = cli("index", "search", index, "--user", "u", "--subject", "WORK", "--json")
    assert json.loads(strict.stdout) == ["m2", "m1"]  # loose match, newest first
    assert cli("index", "search", index, "--tag", "urgent").stdout == "m1\n"
    flexible = cli("index", "search", index, "--type", "note", "--subject", "work", "--flexible")
    assert flexible.stdout.split() == ["m1"]  # m2 scores 1.6, below the threshold
    flexible = cli("index", "search", index, "--type", "note", "--subject", "work", "--after", "0",
                   "--flexible")
    assert flexible.stdout.split() == ["m1", "m2"]


def test_index_add_says_why_the_file_could_not_be_written(tmp_path, cli):
    # The index file is a link into a "directory" that is a plain file: the
    # lock and the load succeed, the save cannot, even as root.
    (tmp_path / "plain").write_text("")
    index, entries = tmp_path / "index.json", tmp_path / "entries.jsonl"
    index.symlink_to(tmp_path / "plain" / "index.json")
    write_lines(entries, [json.dumps({"memory_id": "m1"})])
    proc = cli("index", "add", index, entries)
    assert proc.returncode == 1
    assert proc.stderr == f"velmar: {index}: could not be written: Not a directory\n"


def test_index_refuses_unreadable_files(tmp_path, cli):
    broken, entries = tmp_path / "broken.json", tmp_path / "entries.jsonl"
    broken.write_text('[{"memory_id": "m1"}]')  # lacks required fields: loads as nothing
    write_lines(entries, [json.dumps({"memory_id": "m9"})])
    for argv in (["index", "stats", broken], ["index", "search", broken],
                 ["index", "add", broken, entries], ["index", "stats", tmp_path / "none.json"]):
        proc = cli(*argv)
        assert proc.returncode == 1, argv
        assert str(argv[2]) in proc.stderr
    # Adding must not replace a file it could not read.
    assert broken.read_text() == '[{"memory_id": "m1"}]'
    cut = tmp_path / "cut.json"
    cut.write_text('[{"memory_id": "m1", "user_id": "u"')
    for argv in (["index", "get", cut, "m1"], ["index", "delete", cut, "m1"]):
        proc = cli(*argv)
        assert proc.returncode == 1, argv
        assert f"{cut}: not a readable index file: ends in the middle of an entry" in proc.stderr
        assert "Warning" not in proc.stderr
    assert cut.read_text() == '[{"memory_id": "m1", "user_id": "u"'
    for text in (" [] ", "[ ]", "[\n]\n"):
        empty = tmp_path / "empty.json"
        empty.write_text(text)
        proc = cli("index", "stats", empty, "--json")
        assert proc.returncode == 0, (text, proc.stderr)
        assert json.loads(proc.stdout)["total"] == 0


def test_index_says_what_a_load_left_out(tmp_path, cli):
    index = tmp_path / "dup.json"
    entry = {"memory_id": "m1", "user_id": "u", "memory_type": "note", "subjects": [],
             "objects": [], "keywords": [], "tags": [], "importance": 2, "confidence": 2,
             "created_at": 1.0, "access_count": 0}
    index.write_text(json.dumps([entry, dict(entry, user_id="v")]))
    proc = cli("index", "stats", index, "--json")
    assert proc.returncode == 0, proc.stderr
    assert f"velmar: {index}: warning:" in proc.stderr and "more than once" in proc.stderr
    assert json.loads(proc.stdout)["total"] == 1


def test_info(cli):
    proc = cli("info", "--json")
    assert proc.returncode == 0
    info = json.loads(proc.stdout)
    import velmar
    assert info["version"] == velmar.get_system_info()["version"]
    assert set(info["cpu_features"]) == {"avx2", "sse2", "sse4_1", "sse4_2", "fma"}

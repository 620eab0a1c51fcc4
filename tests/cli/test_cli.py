import csv
import json
import os
import subprocess
import sys

import pytest

from clips import make_clips

velmar_cli = pytest.importorskip("velmar_cli")
from velmar_cli import keyframes as kf  # noqa: E402
import velmar  # noqa: E402


def read_manifest(path):
    if str(path).endswith(".csv"):
        with open(path, newline="") as f:
            return [dict(row, frame=int(row["frame"]), score=float(row["score"]))
                    for row in csv.DictReader(f)]
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
def test_keyframes_manifest(videos, tmp_path, fmt, cli):
    out, manifest = tmp_path / "out", tmp_path / f"keys.{fmt}"
    proc = cli("keyframes", *videos["paths"], "-o", out, "-k", "2", "--manifest", manifest)
    assert proc.returncode == 0, proc.stderr
    rows = read_manifest(manifest)
    # Two videos of the same file name get directories of their own; an
    # image is named by its frame.
    expected = [(str(video), frame, str(out / name / f"keyframe_{frame:06d}.jpg"))
                for video, cuts, name in zip(videos["paths"], videos["cuts"], ["clip", "clip-2"])
                for frame in cuts]
    assert [(r["video"], r["frame"], r["path"]) for r in rows] == expected
    # 25 frames per second: frame 20 is 0.8 s in, frame 40 is 1.6 s.
    assert [r["timecode"] for r in rows] == ["00:00:00.800", "00:00:01.600", "00:00:00.800"]
    assert all(r["score"] > 20 for r in rows)
    assert all(os.path.getsize(r["path"]) > 0 for r in rows)


def test_threshold_and_failed_input(videos, tmp_path, cli):
    missing, broken = tmp_path / "missing.mp4", tmp_path / "broken.mp4"
    broken.write_bytes(b"not a video")
    manifest = tmp_path / "keys.json"
    proc = cli("keyframes", missing, videos["paths"][0], broken, "-o", tmp_path / "out",
               "--threshold", "20", "--manifest", manifest)
    assert proc.returncode == 1
    assert f"{missing}: no such file" in proc.stderr
    # The good video is still processed and listed; the decoder's own
    # failure is reported with its message.
    assert f"{broken}:" in proc.stderr
    assert "Scan failed" in proc.stderr
    assert [r["frame"] for r in read_manifest(manifest)] == videos["cuts"][0]


@pytest.mark.parametrize("argv", [
    ["keyframes", "v.mp4"],                                       # no -o
    ["keyframes", "v.mp4", "-o", "d", "-k", "3", "--threshold", "5"],
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


def test_rows_come_from_the_scanner(monkeypatch, tmp_path):
    from types import SimpleNamespace

    video, image = tmp_path / "v.mp4", tmp_path / "keyframe_001.jpg"
    video.write_bytes(b"video")
    image.write_bytes(b"jpeg")
    calls = []

    def scan_video(path, max_keyframes=None, **options):
        calls.append((path, max_keyframes, options))
        return SimpleNamespace(keyframes=[
            SimpleNamespace(frame_number=48, time=2.002, score=31.5, path=str(image)),
            SimpleNamespace(frame_number=96, time=4.004, score=12.0,
                            path=str(tmp_path / "keyframe_002.jpg")),  # never written
        ])

    monkeypatch.setattr(velmar, "scan_video", scan_video, raising=False)
    job = kf.Job(video=str(video), output_dir=str(tmp_path), max_keyframes=2, threshold=None)
    outcome = kf.run_job(job.as_dict())
    assert calls[0][:2] == (str(video), 2)
    assert calls[0][2]["output_dir"] == str(tmp_path)
    assert [(r["frame"], r["timecode"], r["score"], r["path"]) for r in outcome["rows"]] == [
        (48, "00:00:02.002", 31.5, str(image)), (96, "00:00:04.004", 12.0, "")]
    assert outcome["error"] == "1 of 2 images could not be written"


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
    for text in (" [] ", "[ ]", "[\n]\n"):
        empty = tmp_path / "empty.json"
        empty.write_text(text)
        proc = cli("index", "stats", empty, "--json")
        assert proc.returncode == 0, (text, proc.stderr)
        assert json.loads(proc.stdout)["total"] == 0


def test_info(cli):
    proc = cli("info", "--json")
    assert proc.returncode == 0
    info = json.loads(proc.stdout)
    import velmar
    assert info["version"] == velmar.get_system_info()["version"]
    assert set(info["cpu_features"]) == {"avx2", "sse2", "sse4_1", "sse4_2", "fma"}

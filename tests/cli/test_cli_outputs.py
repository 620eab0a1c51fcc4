# Covers: python/velmar_cli/edl.py, html_report.py, index.py, keyframes.py, timeline.py.
"""What ``velmar keyframes`` writes besides the pictures: the edit decision
list read back as an editor reads it, the HTML report rendered by a real
browser, and the index commands that read back and delete entries."""

import csv
import html
import json
import os
import re
import shutil
import subprocess
import urllib.parse

import pytest

from clips import fade_through_black, make_clips

pytest.importorskip("velmar_cli")
from velmar_cli.edl import frames_to_timecode, nominal_rate, write_edl  # noqa: E402
from velmar_cli.html_report import write_report  # noqa: E402
from velmar_cli.keyframes import Outcome  # noqa: E402

EVENT = re.compile(r"(\d{3,})  (\S+) +V +C +((?:\d\d:){3}\d\d) ((?:\d\d:){3}\d\d) "
                   r"((?:\d\d:){3}\d\d) ((?:\d\d:){3}\d\d)")


def parse_edl(text):
    """Title, frame-code mode and events (number, reel, four timecodes, clip name)."""
    lines = text.splitlines()
    title = lines[0].removeprefix("TITLE: ")
    mode = lines[1]
    events = []
    for line in lines[2:]:
        if match := EVENT.fullmatch(line):
            events.append({"number": int(match[1]), "reel": match[2],
                           "timecodes": list(match.group(3, 4, 5, 6)), "clip": None})
        elif line.startswith("* FROM CLIP NAME: "):
            events[-1]["clip"] = line.removeprefix("* FROM CLIP NAME: ")
        else:
            assert line == "", line  # nothing an editor would stumble on
    return title, mode, events


def tc_frames(tc, rate):
    h, m, s, f = map(int, tc.split(":"))
    return ((h * 60 + m) * 60 + s) * rate + f


def outcome(video, fps, bounds):
    rows = [{"video": video, "scene": i + 1, "start_frame": s, "end_frame": e}
            for i, (s, e) in enumerate(bounds)]
    return Outcome(video, rows, fps=fps)


@pytest.mark.parametrize("fps, rate", [(25.0, 25), (29.97, 30), (23.976, 24), (0.0, 25)])
def test_edl_events_at_the_video_rate(tmp_path, fps, rate):
    assert nominal_rate(fps) == rate
    bounds = [(0, 99), (100, 1899), (1900, 108_000)]
    path = tmp_path / "x.edl"
    with open(path, "w") as f:
        write_edl(f, "run", [outcome("/v/a clip.mp4", fps, bounds), outcome("/v/bad.mp4", fps, [])])
    title, mode, events = parse_edl(path.read_text())
    assert (title, mode) == ("run", "FCM: NON-DROP FRAME")
    assert [e["number"] for e in events] == [1, 2, 3]
    assert {e["reel"] for e in events} == {"AX"} and {e["clip"] for e in events} == {"a clip.mp4"}
    for event, (start, end) in zip(events, bounds):
        src_in, src_out, rec_in, rec_out = (tc_frames(tc, rate) for tc in event["timecodes"])
        # Source out and record out are exclusive; the record side runs on
        # without gaps from zero.
        assert (src_in, src_out) == (start, end + 1)
        assert (rec_in, rec_out) == (start, end + 1)
    assert frames_to_timecode(108_001, 30) == "01:00:00:01"


def test_edl_lays_videos_end_to_end(tmp_path):
    path = tmp_path / "x.edl"
    with open(path, "w") as f:
        write_edl(f, "run\nsecond line", [outcome("a.mp4", 25, [(0, 49)]),
                                          outcome("b\nc.mp4", 25, [(0, 99), (100, 149)])])
    title, _, events = parse_edl(path.read_text())
    assert title == "run second line"
    assert [e["timecodes"][2:] for e in events] == [
        ["00:00:00:00", "00:00:02:00"], ["00:00:02:00", "00:00:06:00"],
        ["00:00:06:00", "00:00:08:00"]]
    assert events[1]["timecodes"][:2] == ["00:00:00:00", "00:00:04:00"]
    assert events[2]["clip"] == "b c.mp4"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One real run over two videos with every output."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    d = tmp_path_factory.mktemp("run")
    videos = [d / "one.mp4", d / "two & <three>.mp4"]
    make_clips(videos[0], clips=3, size="160x120")
    make_clips(videos[1], clips=2, size="160x120", offset=3)
    return d, videos


def test_real_run_writes_matching_outputs(run, cli):
    d, videos = run
    (d / "pages").mkdir()
    proc = cli("keyframes", *videos, "-o", d / "out", "--manifest", d / "scenes.json",
               "--edl", d / "scenes.edl", "--report", d / "pages" / "report.html")
    assert proc.returncode == 0, proc.stderr
    rows = json.loads((d / "scenes.json").read_text())
    title, mode, events = parse_edl((d / "scenes.edl").read_text())
    assert title == "scenes"
    assert len(events) == len(rows) == 5
    for event, row in zip(events, rows):
        assert event["clip"] == os.path.basename(row["video"])
        assert [tc_frames(tc, 25) for tc in event["timecodes"][:2]] == [
            row["start_frame"], row["end_frame"] + 1]
    page = (d / "pages" / "report.html").read_text()
    # Every picture, linked relative to the page; names escaped.
    links = [urllib.parse.unquote(html.unescape(link))
             for link in re.findall(r'<img src="([^"]+)"', page)]
    assert all(link.startswith("../out/") for link in links)
    # Each card's picture opens the full-size picture.
    assert re.findall(r'<a href="([^"]+)"><img src="\1"', page) == \
        re.findall(r'<img src="([^"]+)"', page)
    assert len(links) == 5 and all((d / "pages" / link).is_file() for link in links)
    assert "two &amp; &lt;three&gt;.mp4" in page and "<three>" not in page
    assert page.count("<svg") == 2 and page.count('class="cut"') == 3


def test_blank_scene_is_listed_without_a_picture(tmp_path, cli):
    """Three seconds of black between two shots: a blank scene, the longest,
    which every output lists and none pictures; -k 2 keeps both pictures."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    video = tmp_path / "v.mp4"
    fade_through_black(video, 25, 3)
    proc = cli("keyframes", video, "-o", tmp_path / "out", "-k", "2", "--images-per-scene", "2",
               "--manifest", tmp_path / "s.json", "--report", tmp_path / "r.html",
               "--otio", tmp_path / "s.otio")
    assert proc.returncode == 0, proc.stderr
    rows = json.loads((tmp_path / "s.json").read_text())
    assert [r["blank"] for r in rows] == [False, True, False]
    assert rows[1]["path"] is None and rows[1]["picture_frame"] is None
    assert rows[1]["pictures"] == [] and all(r["path"] for r in (rows[0], rows[2]))
    page = (tmp_path / "r.html").read_text()
    assert page.count("<img ") == 2 and page.count("blank: one flat colour") == 1
    clips = json.loads((tmp_path / "s.otio").read_text())["tracks"]["children"][0]["children"]
    assert [c["metadata"]["velmar"]["blank"] for c in clips] == [False, True, False]
    assert cli("keyframes", video, "-o", tmp_path / "out", "--manifest",
               tmp_path / "s.csv").returncode == 0
    with open(tmp_path / "s.csv", newline="") as f:
        assert [(r["blank"], r["picture_frame"], r["path"]) for r in csv.DictReader(f)][1] == \
            ("True", "", "")


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if path := shutil.which(name):
            return path
    pytest.skip("Chromium is not installed")


def test_report_renders_in_chromium(run, tmp_path):
    browser = chromium()
    d, videos = run
    page = d / "pages" / "report.html"
    if not page.exists():
        pytest.skip("the real run failed")
    # A copy beside the original, with a script that counts the pictures
    # the browser could decode, so the relative links are tested as they are.
    probe = d / "pages" / "probe.html"
    probe.write_text(page.read_text().replace(
        "</body>", "<script>addEventListener('load', () => document.body.dataset.loaded = "
        "[...document.images].filter(i => i.naturalWidth > 0).length)</script></body>"))
    common = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
              "--window-size=1280,1800", "--virtual-time-budget=5000"]
    # The browser is no part of the module: it runs without the sanitizer
    # runtime a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    dom = subprocess.run([*common, "--dump-dom", probe.as_uri()], capture_output=True,
                         text=True, timeout=120, env=env)
    assert 'data-loaded="5"' in dom.stdout, dom.stderr[-2000:]
    shot = tmp_path / "report.png"
    subprocess.run([*common, f"--screenshot={shot}", page.as_uri()], capture_output=True,
                   timeout=120, cwd=tmp_path, env=env)
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if os.environ.get("VELMAR_KEEP_SCREENSHOT"):
        shutil.copy(shot, os.environ["VELMAR_KEEP_SCREENSHOT"])


def test_report_of_a_failed_video_names_the_failure(tmp_path):
    path = tmp_path / "r.html"
    failed = Outcome("bad.mp4", error="Scan failed: <corrupt>")
    with open(path, "w") as f:
        write_report(f, str(path), [failed])
    text = path.read_text()
    assert "Scan failed: &lt;corrupt&gt;" in text and "<svg" not in text


def test_index_get_and_delete(tmp_path, cli):
    index, entries = tmp_path / "index.json", tmp_path / "entries.jsonl"
    entries.write_text("".join(
        json.dumps({"memory_id": f"m{i}", "user_id": "u" if i < 3 else "v",
                    "memory_type": "note", "created_at": i}) + "\n" for i in range(5)))
    assert cli("index", "add", index, entries).returncode == 0

    got = cli("index", "get", index, "m3", "nope", "m1")
    assert got.returncode == 1 and '"nope"' in got.stderr
    assert [json.loads(line)["memory_id"] for line in got.stdout.splitlines()] == ["m3", "m1"]

    deleted = cli("index", "delete", index, "m0", "m0", "nope")
    assert deleted.returncode == 0, deleted.stderr
    assert "deleted 1 entry, 4 left" in deleted.stdout
    deleted = cli("index", "delete", index, "--user", "u")
    assert "deleted 2 entries, 2 left" in deleted.stdout
    # Saved: a new process sees only v's entries.
    left = cli("index", "search", index, "--json")
    assert sorted(json.loads(left.stdout)) == ["m3", "m4"]
    assert cli("index", "delete", tmp_path / "none.json", "m1").returncode == 1


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_progress_counts_frames_on_a_terminal(run, tmp_path, jobs):
    import fcntl
    import pty
    import struct
    import sys
    import termios

    pytest.importorskip("tqdm")
    d, videos = run
    leader, follower = pty.openpty()
    # A terminal of no width (as a new pty is) would get a bar of none.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 160, 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "velmar_cli", "keyframes", *map(str, videos),
                             "-o", str(tmp_path / "out"), "--jobs", jobs],
                            stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closed with the command
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    out = proc.communicate(timeout=60)[0].decode()
    assert proc.returncode == 0
    bar = b"".join(chunks).decode(errors="replace")
    # 60 + 40 frames over both videos, whichever order they finish in.
    assert "100/100" in bar and "frame" in bar and "2/2 videos" in bar
    assert len(out.splitlines()) == 2  # the summary lines stay off the terminal's bar

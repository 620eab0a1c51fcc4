# Covers: python/velmar_cli/pool.py, files.py, __init__.py (signals), index.py (locks).
"""The velmar command under stress, with real processes: signals, dead
workers, a killed command, concurrent index runs, a full disk, bad input."""

import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time

import pytest

from clips import make_clips
from conftest import default_sigint

pytest.importorskip("velmar_cli")
from velmar_cli.files import write_atomically  # noqa: E402

VIDEOS = 6


@pytest.fixture(scope="module")
def slow_videos(tmp_path_factory):
    """Six copies of a video that takes the scanner a while, so that a run of
    them can be interrupted while workers are busy."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg not installed")
    d = tmp_path_factory.mktemp("slow")
    source = d / "source.mp4"
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=s=960x540:r=25", "-frames:v", "300", "-c:v", "mpeg4", "-q:v", "5",
                    str(source)], check=True)
    paths = []
    for i in range(VIDEOS):
        paths.append(d / f"v{i}.mp4")
        os.link(source, paths[-1])
    return paths


def start(videos, out, manifest, jobs=2, preexec_fn=default_sigint):
    # Unbuffered bytes: a line read before communicate() must not take more
    # of the pipe with it.
    return subprocess.Popen(
        [sys.executable, "-m", "velmar_cli", "keyframes", *map(str, videos), "-o", str(out),
         "-k", "2", "--jobs", str(jobs), "--manifest", str(manifest), "--no-progress"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0, start_new_session=True,
        preexec_fn=preexec_fn)


def children(pid):
    """Live (not zombie) processes whose parent is `pid`, with the .mp4 each holds open."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) != pid or fields[0] == "Z":
                continue
            held = None
            for fd in os.listdir(f"/proc/{entry}/fd"):
                target = os.readlink(f"/proc/{entry}/fd/{fd}")
                if target.endswith(".mp4"):
                    held = target
            found[int(entry)] = held
        except (OSError, ValueError, IndexError):
            continue
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for_busy_worker(proc, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        busy = {pid: video for pid, video in children(proc.pid).items() if video}
        if busy:
            return busy
        time.sleep(0.02)
    raise AssertionError("no worker took a video")


def manifest_videos(path):
    with open(path) as f:
        return {row["video"] for row in json.load(f)}


def listed_pictures(path, video):
    with open(path) as f:
        return sorted(os.path.basename(row["path"]) for row in json.load(f)
                      if row["video"] == str(video) and row["path"])


@pytest.mark.parametrize("signum, status, jobs", [
    (signal.SIGINT, 130, 2), (signal.SIGTERM, 143, 2),
    (signal.SIGINT, 130, 1),  # in the command's own process
])
def test_signal_stops_the_run_and_keeps_what_finished(slow_videos, tmp_path, signum, status,
                                                      jobs):
    out, manifest = tmp_path / "out", tmp_path / "keys.json"
    proc = start(slow_videos, out, manifest, jobs)
    first = proc.stdout.readline().decode()  # one video has finished
    assert re.search(r": [0-9]+ scenes?, [0-9]+ pictures? in ", first), proc.stderr.read()
    workers = list(children(proc.pid))
    sent = time.monotonic()
    # Ctrl-C at a terminal reaches the whole process group; kill(1) the command alone.
    if signum == signal.SIGINT:
        os.killpg(proc.pid, signum)
    else:
        proc.send_signal(signum)
    rest, err = (text.decode() for text in proc.communicate(timeout=10))
    took = time.monotonic() - sent
    assert proc.returncode == status, err
    assert took < 2, (took, err)
    assert "Traceback" not in err
    assert f"stopped by {signal.Signals(signum).name}" in err
    time.sleep(0.2)
    assert not [pid for pid in workers if alive(pid)]
    # The manifest lists exactly the videos reported finished, and only
    # their images are on disk.
    finished = {line.split(":")[0] for line in (first + rest).splitlines()}
    assert 1 <= len(finished) < VIDEOS, err
    assert manifest_videos(manifest) == finished, err
    for video in slow_videos:
        images = os.listdir(out / video.stem) if (out / video.stem).exists() else []
        assert sorted(images) == listed_pictures(manifest, video), video
        assert bool(images) == (str(video) in finished), video


def test_a_run_started_with_sigint_ignored_keeps_ignoring_it(slow_videos, tmp_path):
    out, manifest = tmp_path / "out", tmp_path / "keys.json"
    proc = start(slow_videos[:2], out, manifest, jobs=1,
                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    proc.stdout.readline()  # the videos have started: the run's own handlers are in place
    os.killpg(proc.pid, signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err.decode()
    assert manifest_videos(manifest) == set(map(str, slow_videos[:2]))


def test_a_dead_worker_fails_only_its_video(slow_videos, tmp_path):
    out, manifest = tmp_path / "out", tmp_path / "keys.json"
    proc = start(slow_videos, out, manifest)
    pid, video = next(iter(wait_for_busy_worker(proc).items()))
    os.kill(pid, signal.SIGKILL)  # as the OOM killer would
    err = proc.communicate(timeout=300)[1].decode()
    assert proc.returncode == 1
    assert f"{video}: worker failed: its process died (killed by SIGKILL)" in err
    assert err.count("velmar:") == 1
    assert manifest_videos(manifest) == {str(v) for v in slow_videos} - {video}


def test_workers_die_with_a_killed_command(slow_videos, tmp_path):
    proc = start(slow_videos, tmp_path / "out", tmp_path / "keys.json")
    wait_for_busy_worker(proc)
    workers = list(children(proc.pid))
    proc.kill()
    proc.communicate()
    deadline = time.monotonic() + 2
    while any(alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [pid for pid in workers if alive(pid)]


def test_only_the_listed_images_stay(tmp_path, cli):
    video, out = tmp_path / "clip.mp4", tmp_path / "out"
    make_clips(video, clips=3)
    own = out / "clip"
    own.mkdir(parents=True)
    for name in ("keyframe_7.jpg", "keyframe_999.png", ".keyframe_3.jpg.12.0.tmp"):
        (own / name).write_bytes(b"an earlier run")
    for name in ("notes.txt", "keyframe_final.jpg", "my_keyframe_1.jpg"):
        (own / name).write_bytes(b"not ours")
    proc = cli("keyframes", video, "-o", out, "-k", "1", "--manifest", tmp_path / "m.json")
    assert proc.returncode == 0, proc.stderr
    listed = json.loads((tmp_path / "m.json").read_text())
    assert len(listed) == 3 and sum(bool(row["path"]) for row in listed) <= 1
    assert sorted(os.listdir(own)) == sorted(
        [os.path.basename(row["path"]) for row in listed if row["path"]]
        + ["notes.txt", "keyframe_final.jpg", "my_keyframe_1.jpg"])


@pytest.mark.parametrize("make, message", [
    (lambda p: p.mkdir(), "is a directory"),
    (lambda p: None, "no such file"),
    (lambda p: os.mkfifo(p), "not a regular file"),
])
def test_inputs_that_are_not_video_files(tmp_path, cli, make, message):
    path = tmp_path / "v.mp4"
    make(path)
    proc = cli("keyframes", path, "-o", tmp_path / "out")
    assert proc.returncode == 1
    assert f"{path}: {message}" in proc.stderr


def test_closed_stdout_ends_quietly(tmp_path, cli):
    index, entries = tmp_path / "index.json", tmp_path / "e.jsonl"
    entries.write_text("".join(json.dumps({"memory_id": f"m{i}", "user_id": "u",
                                           "memory_type": "note", "content": "x"}) + "\n"
                               for i in range(50)))
    assert cli("index", "add", index, entries).returncode == 0
    read, write = os.pipe()
    os.close(read)  # a reader that has gone away, as after `| head -1`
    try:
        proc = subprocess.run([sys.executable, "-m", "velmar_cli", "index", "search", index],
                              stdout=write, stderr=subprocess.PIPE, text=True, timeout=60)
    finally:
        os.close(write)
    assert proc.returncode == 0
    assert proc.stderr == ""


def test_concurrent_index_adds_keep_every_entry(tmp_path):
    index = tmp_path / "index.json"
    runs = []
    for run in range(2):
        entries = tmp_path / f"e{run}.jsonl"
        entries.write_text("".join(
            json.dumps({"memory_id": f"r{run}-{i}", "user_id": f"u{run}", "memory_type": "note",
                        "content": "x" * 200, "subjects": ["a", "b"]}) + "\n"
            for i in range(20000)))
        runs.append(entries)
    procs = [subprocess.Popen([sys.executable, "-m", "velmar_cli", "index", "add", str(index),
                               str(entries)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True) for entries in runs]
    for proc in procs:
        _, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err
    stats = subprocess.run([sys.executable, "-m", "velmar_cli", "index", "stats", str(index),
                            "--json"], capture_output=True, text=True, timeout=120)
    assert json.loads(stats.stdout)["total"] == 40000


def test_lines_that_cannot_be_stored_are_named(tmp_path, cli):
    index, entries = tmp_path / "index.json", tmp_path / "e.jsonl"
    good = {"user_id": "u", "memory_type": "note", "content_preview": "x"}
    entries.write_text("\n".join([
        json.dumps({"memory_id": "ok1", **good}),
        '{"memory_id": "bad\\ud800", "user_id": "u", "memory_type": "note", "content": "x"}',
        json.dumps({"memory_id": "ok2", **good}),
        '{"memory_id": "bad2", "user_id": "\\udfff", "memory_type": "note", "content": "x"}',
        '{"memory_id": "bad3", "user_id": "u", "tags": ["fine", "\\ud83d"], "content": "x"}',
    ]) + "\n")
    proc = cli("index", "add", index, entries)
    assert proc.returncode == 1
    named = [line.split(": ")[1] for line in proc.stderr.splitlines()]
    assert named == [f"{entries}:{n}" for n in (2, 4, 5)]
    assert "added 2 entries, 2 in total" in proc.stdout
    search = cli("index", "search", index, "--json")
    assert sorted(json.loads(search.stdout)) == ["ok1", "ok2"]


@pytest.mark.parametrize("start, bad, message", [
    (b"\xef\xbb\xbf", b"", None),  # a byte order mark: the first line still counts
    (b"", b"[" * 100_000, "nested too deeply"),
    (b"", b'{"memory_id": "caf\xe9"}', "not valid UTF-8 (byte 0xe9 at position 19 of the line)"),
], ids=["byte-order-mark", "nested", "not-utf8"])
def test_a_bad_line_is_named_and_the_others_added(tmp_path, cli, start, bad, message):
    index, entries = tmp_path / "index.json", tmp_path / "e.jsonl"
    entries.write_bytes(start + b'{"memory_id": "ok1"}\n' + bad + b'\n{"memory_id": "ok2"}\n')
    proc = cli("index", "add", index, entries)
    assert proc.stderr == (f"velmar: {entries}:2: {message}\n" if message else "")
    assert proc.returncode == (1 if message else 0)
    search = cli("index", "search", index, "--json")
    assert sorted(json.loads(search.stdout)) == ["ok1", "ok2"]


def test_unknown_keys_are_named_once_and_replacements_counted(tmp_path, cli):
    index, entries = tmp_path / "index.json", tmp_path / "e.jsonl"
    lines = [{"memory_id": "m1", "timestamp": 1}, {"memory_id": "m2", "timestamp": 2},
             {"memory_id": "m1", "timestamp": 3, "Tags": ["x"]}]
    entries.write_text("".join(json.dumps(line) + "\n" for line in lines))
    proc = cli("index", "add", index, entries)
    assert proc.returncode == 0
    assert proc.stderr.splitlines() == [
        f'velmar: {entries}:1: warning: unknown key "timestamp" ignored (also on 2 later lines)',
        f'velmar: {entries}:3: warning: unknown key "Tags" ignored']
    assert proc.stdout == f"{index}: added 2 entries, replaced 1, 2 in total\n"


def test_ctrl_c_while_the_command_starts_exits_quietly(tmp_path):
    # A module the command imports at its start, made to hang there: Ctrl-C
    # then comes in the middle of its imports.
    (tmp_path / "csv.py").write_text("import time\nprint('importing', flush=True)\n"
                                     "time.sleep(60)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(tmp_path), *filter(None, [os.environ.get("PYTHONPATH")])]))
    proc = subprocess.Popen([sys.executable, "-m", "velmar_cli", "info"], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=default_sigint)
    try:
        assert proc.stdout.readline() == "importing\n"
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, err) == (130, "")


def test_a_failed_write_leaves_the_old_file(tmp_path):
    path = tmp_path / "keys.json"
    path.write_text("old")

    def half_then_fail(f):
        f.write("half")
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError):
        write_atomically(str(path), half_then_fail)
    assert path.read_text() == "old"
    assert os.listdir(tmp_path) == ["keys.json"]
    path.chmod(0o600)
    write_atomically(str(path), lambda f: f.write("new"))
    assert path.read_text() == "new" and os.listdir(tmp_path) == ["keys.json"]
    assert stat.S_IMODE(path.stat().st_mode) == 0o600  # kept, not the umask's


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 256 KiB file system, mounted for the test (needs root)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    mount = tmp_path / "small"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {made.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=False)


def test_manifest_on_a_full_disk_keeps_the_old_one(tmp_path, small_tmpfs, cli):
    video = tmp_path / "clip.mp4"
    make_clips(video, clips=3)
    manifest = small_tmpfs / "keys.json"
    old = '[{"video": "the previous run"}]\n'
    manifest.write_text(old)
    # Fill the file system up.
    fd = os.open(small_tmpfs / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fd, b"\0" * 4096):
            pass
    except OSError:
        pass
    finally:
        os.close(fd)
    proc = cli("keyframes", video, "-o", tmp_path / "out", "-k", "2", "--manifest", manifest)
    assert proc.returncode == 1
    assert f"{manifest}: No space left on device" in proc.stderr
    assert manifest.read_text() == old
    assert sorted(os.listdir(small_tmpfs)) == ["filler", "keys.json"]

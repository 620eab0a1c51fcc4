# Covers: python/velmar_cli/dask_fanout.py.
import json
import os

import pytest

from clips import make_clips

distributed = pytest.importorskip("distributed")
pytest.importorskip("velmar_cli")


@pytest.fixture(scope="module")
def cluster():
    # Worker processes, as on real machines; loopback only.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as c:
        yield c


@pytest.fixture
def keyframes(cli):
    return lambda *argv: cli("keyframes", *argv, "--no-progress")


def test_dask_run_matches_local_run(cluster, tmp_path, keyframes):
    videos, scenes = [], 0
    for i in range(5):
        videos.append(tmp_path / f"v{i}.mp4")
        starts = [0]
        for cut in make_clips(videos[-1], clips=2 + i % 3, frames_per_clip=12, offset=i):
            if cut - starts[-1] >= 15:  # the default min_scene_len drops closer cuts
                starts.append(cut)
        scenes += len(starts)
    local = keyframes(*videos, "-o", tmp_path / "local", "-k", "3",
                      "--manifest", tmp_path / "local.json")
    remote = keyframes(*videos, "-o", tmp_path / "remote", "-k", "3",
                       "--manifest", tmp_path / "remote.json", "--dask", cluster.scheduler_address)
    assert local.returncode == 0, local.stderr
    assert remote.returncode == 0, remote.stderr

    def rows(name):
        with open(tmp_path / f"{name}.json") as f:
            data = json.load(f)
        for row in data:
            row["path"] = os.path.relpath(row["path"], tmp_path / name)
        return data

    assert rows("remote") == rows("local")
    assert len(rows("local")) == scenes
    for row in rows("local"):
        assert (tmp_path / "remote" / row["path"]).read_bytes() == \
            (tmp_path / "local" / row["path"]).read_bytes()


def test_unreachable_scheduler_fails_cleanly(tmp_path, keyframes):
    video = tmp_path / "v.mp4"
    make_clips(video, clips=2, frames_per_clip=5)
    # A port nothing listens on (the scheduler is asked for 127.0.0.1 only).
    proc = keyframes(video, "-o", tmp_path / "out", "--dask", "tcp://127.0.0.1:9")
    assert proc.returncode == 1
    assert "tcp://127.0.0.1:9" in proc.stderr

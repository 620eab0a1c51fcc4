# Covers: src/memory/persistence.cpp, src/memory/json/entry_reader.cpp, mender.cpp, pieces.cpp, writer.cpp; src/common/fs.cpp.
import errno
import fcntl
import json
import math
import os
import pathlib
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmar.memory import PyMetadataIndex

ENTRY_KEYS = ["memory_id", "user_id", "memory_type", "subjects", "objects", "keywords", "tags",
              "importance", "confidence", "created_at", "access_count", "chat_id",
              "content_preview"]

FULL = {
    "memory_id": "m1", "user_id": "u", "memory_type": "note", "subjects": ["work", "ΟΔΟΣ"],
    "objects": ["desk"], "keywords": ["k"], "tags": ["t", "t2"], "importance": 7,
    "confidence": 200, "created_at": 1700000000.25, "access_count": 4294967295,
    "chat_id": "c", "content_preview": "line\nbreak \"quoted\" \\ \x01",
}


def saved(path):
    return json.loads(path.read_bytes().decode("utf-8"))


def entry_texts(data):
    """The exact bytes of each entry of an index file, in a canonical order.

    Every index keeps its own randomly seeded hash, so a reopened index
    writes the same entries in another order.
    """
    text = data.decode("utf-8")
    decoder = json.JSONDecoder()
    pieces, pos = [], 1
    while text[pos] != "]":
        _, end = decoder.raw_decode(text, pos)
        pieces.append(text[pos:end])
        pos = end + (text[end] == ",")
    return sorted(pieces)


def leftovers(directory, *keep):
    # The lock file save() takes stays, as the command's does.
    return sorted(p.name for p in directory.iterdir()
                  if p.name not in keep and not p.name.endswith(".lock"))


def test_without_a_path_save_writes_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for index in (PyMetadataIndex(), PyMetadataIndex(None), PyMetadataIndex(path=None)):
        index.batch_add([{"memory_id": "a"}])
        assert index.last_save_error is None
        assert index.save() is False
        assert isinstance(index.last_save_error, ValueError)
    assert leftovers(tmp_path) == []


def test_missing_file_starts_empty_and_first_save_creates_it(tmp_path):
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    assert index.stats()["total"] == 0
    assert not path.exists()
    assert index.save() is True
    assert path.read_bytes() == b"[]"
    index.batch_add([FULL])
    assert index.save() is True
    assert saved(path) == [FULL]
    assert list(saved(path)[0]) == ENTRY_KEYS
    assert leftovers(tmp_path) == ["index.json"]


def test_round_trip_keeps_entries_and_searches(tmp_path):
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    entries = [dict(FULL, memory_id=f"m{i}", created_at=float(i), memory_type=f"t{i % 3}",
                    subjects=[f"s{i % 7}"], tags=[f"g{i % 5}"]) for i in range(200)]
    index.batch_add(entries)
    # Empty the list under "gone" by replacing its only entry.
    index.batch_add([{"memory_id": "r", "memory_type": "gone", "created_at": 1.0}])
    index.batch_add([{"memory_id": "r", "memory_type": "t0", "created_at": 1.0}])
    assert index.save()

    reopened = PyMetadataIndex(str(path))
    before, after = index.stats(), reopened.stats()
    assert before["types_dist"].pop("gone") == 0
    before["types_indexed"] -= 1  # emptied keys are not recreated on loading
    assert after == before
    for query in ({}, {"memory_types": ["t1"], "limit": 500}, {"subjects": ["S3"]}):
        assert reopened.search_strict(query) == index.search_strict(query)
    query = {"memory_types": ["t2"], "subjects": ["s4"]}
    assert sorted(reopened.search_flexible(query)) == sorted(index.search_flexible(query))
    first = path.read_bytes()
    assert reopened.save()
    assert entry_texts(path.read_bytes()) == entry_texts(first)


@pytest.mark.parametrize("text", ["[]", " \n\t[ ]\r\n", "[\n]"])
def test_empty_arrays_load_as_a_readable_file(tmp_path, text):
    path = tmp_path / "index.json"
    path.write_text(text)
    index = PyMetadataIndex(str(path))
    assert index.stats()["total"] == 0
    assert index.save()
    # Readable, so replaced in place: nothing kept aside.
    assert leftovers(tmp_path) == ["index.json"]
    assert path.read_bytes() == b"[]"


def test_positional_form_and_repeated_ids_load_in_file_order(tmp_path):
    path = tmp_path / "index.json"
    first = ["a", "u", "note", ["s"], [], [], ["t"], 1, 2, 5, 0, None, None]
    second = dict(FULL, memory_id="a", memory_type="task")
    path.write_text(json.dumps([first, second, dict(FULL, memory_id="b", memory_type="other")]))
    with pytest.warns(UserWarning, match="occur more than once"):
        index = PyMetadataIndex(str(path))
    stats = index.stats()
    assert stats["total"] == 2
    assert stats["types_dist"] == {"note": 0, "task": 1, "other": 1}


ENTRY = {k: FULL[k] for k in ENTRY_KEYS}


def with_raw_user(raw):
    """A whole, valid entry whose user_id is the raw bytes given."""
    return b"[" + json.dumps(dict(ENTRY, user_id="@@")).encode().replace(b'"@@"', raw) + b"]"


UNREADABLE = [
    b'{"a": []}',
    b"\xef\xbb\xbf[]",
    b"[] x",
    b"[]]",
    b"",
    b"[" + json.dumps({k: v for k, v in ENTRY.items() if k != "access_count"}).encode() + b"]",
    b"[" + json.dumps(ENTRY).encode() + b"," + json.dumps(dict(ENTRY, importance=1.5)).encode()
    + b"]",
    with_raw_user(b'"\xff"'),
    with_raw_user(b'"\xed\xa0\x80"'),  # an encoded surrogate is not UTF-8
    with_raw_user(b'"\xc0\xaf"'),  # nor is an overlong form
]


@pytest.mark.parametrize("content", UNREADABLE)
def test_unreadable_file_loads_nothing_and_is_kept_aside(tmp_path, content):
    path = tmp_path / "index.json"
    path.write_bytes(content)
    with pytest.warns(UserWarning, match="index.json.unreadable"):
        index = PyMetadataIndex(str(path))
    assert index.stats()["total"] == 0
    index.batch_add([{"memory_id": "new", "created_at": 3.0}])
    assert index.save() is True
    assert (tmp_path / "index.json.unreadable").read_bytes() == content
    assert [e["memory_id"] for e in saved(path)] == ["new"]
    # Later saves replace the file this index wrote.
    assert index.save() is True
    assert leftovers(tmp_path) == ["index.json", "index.json.unreadable"]


def test_kept_aside_names_never_replace_each_other(tmp_path):
    path = tmp_path / "index.json"
    for n, name in enumerate(["index.json.unreadable", "index.json.unreadable.1",
                              "index.json.unreadable.2"]):
        path.write_bytes(b"broken %d" % n)
        with pytest.warns(UserWarning, match="not valid JSON"):
            index = PyMetadataIndex(str(path))
        assert index.save() is True
        assert (tmp_path / name).read_bytes() == b"broken %d" % n
    assert saved(path) == []


def test_unreadable_file_replaced_meanwhile_is_not_lost(tmp_path):
    path = tmp_path / "index.json"
    path.write_bytes(b"broken")
    with pytest.warns(UserWarning, match="not valid JSON"):
        index = PyMetadataIndex(str(path))
    path.unlink()
    assert index.save() is True
    assert leftovers(tmp_path) == ["index.json"]
    path.write_bytes(b"again")
    # The flag was cleared, but this is another writer's file: kept.
    with pytest.warns(UserWarning, match="another writer"):
        assert index.save() is True
    assert leftovers(tmp_path) == ["index.json", "index.json.replaced"]
    assert (tmp_path / "index.json.replaced").read_bytes() == b"again"


@pytest.mark.parametrize("entries, total, said", [
    ([dict(ENTRY, memory_id="a", memory_type="x"), dict(ENTRY, memory_id="a"),
      dict(ENTRY, memory_id="b"), dict(ENTRY, memory_id="b")], 2,
     r"2 memory_id\(s\) occur more than once \('a', \.\.\.\); the last entry of each was kept"),
    ([dict(ENTRY, extra=1, more=[2]), dict(ENTRY, memory_id="b", extra=3)], 2,
     r"keys beyond the thirteen entry fields were ignored: \['extra', 'more'\]"),
    ([dict(ENTRY, memory_id=""), dict(ENTRY, memory_id="b")], 1,
     "1 entry with an empty memory_id skipped"),
])
def test_load_that_leaves_something_out_warns_and_keeps_the_file(tmp_path, entries, total, said):
    path = tmp_path / "index.json"
    path.write_text(json.dumps(entries))
    content = path.read_bytes()
    with pytest.warns(UserWarning, match=said) as caught:
        index = PyMetadataIndex(str(path))
    assert repr(str(path)) in str(caught[0].message)
    assert index.stats()["total"] == total
    assert index.save() is True
    assert (tmp_path / "index.json.unreadable").read_bytes() == content
    # Kept once: later saves replace the file this index wrote.
    assert index.save() is True
    assert leftovers(tmp_path) == ["index.json", "index.json.unreadable"]


def test_save_keeps_what_another_writer_saved_meanwhile(tmp_path):
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    index.batch_add([{"memory_id": "mine"}])
    added = tmp_path / "add.jsonl"
    added.write_text('{"memory_id": "theirs", "user_id": "u", "memory_type": "note", '
                     '"content": "x"}\n')
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-m", "velmar_cli", "index", "add", str(path),
                           str(added)], capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    with pytest.warns(UserWarning, match="another writer") as caught:
        assert index.save() is True
    kept = tmp_path / "index.json.replaced"
    assert f"{str(path)!r}" in str(caught[0].message)
    assert f"{str(kept)!r}" in str(caught[0].message)
    assert [e["memory_id"] for e in saved(kept)] == ["theirs"]
    assert [e["memory_id"] for e in saved(path)] == ["mine"]
    # The file is this index's own again: the next save just replaces it.
    assert index.save() is True
    assert leftovers(tmp_path, "add.jsonl") == ["index.json", "index.json.replaced"]


def test_save_waits_for_the_lock(tmp_path):
    # A writer holding the lock saves its own file before it lets go; a
    # save that did not wait would come first and be overwritten.
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    index.batch_add([{"memory_id": "a"}])
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import fcntl, time
        with open({str(path) + ".lock"!r}, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            print("locked", flush=True)
            time.sleep(0.5)
            with open({str(path)!r}, "w") as f:
                f.write("[]")
        """)], stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    with pytest.warns(UserWarning, match="another writer"):
        assert index.save() is True
    assert holder.wait(timeout=60) == 0
    assert (tmp_path / "index.json.replaced").read_text() == "[]"
    assert [e["memory_id"] for e in saved(path)] == ["a"]


def test_directory_at_the_path_is_left_alone(tmp_path):
    path = tmp_path / "index.json"
    path.mkdir()
    (path / "inside").write_text("x")
    with pytest.warns(UserWarning, match="is a directory"):
        index = PyMetadataIndex(str(path))
    assert index.stats()["total"] == 0
    assert index.save() is False
    assert index.last_save_error.errno == errno.EISDIR
    assert (path / "inside").read_text() == "x"
    assert leftovers(tmp_path) == ["index.json"]


@pytest.mark.parametrize("name, kind", [
    ("", ValueError), ("missing/index.json", FileNotFoundError), ("dir/", ValueError)])
def test_save_that_cannot_write_returns_false(tmp_path, monkeypatch, name, kind):
    monkeypatch.chdir(tmp_path)
    index = PyMetadataIndex(name)
    index.batch_add([{"memory_id": "a"}])
    assert index.save() is False
    assert type(index.last_save_error) is kind
    assert leftovers(tmp_path) == []
    if kind is FileNotFoundError:  # the reason goes once a save succeeds
        os.mkdir("missing")
        assert index.save() is True and index.last_save_error is None


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_save_without_permission_returns_false(tmp_path):
    directory = tmp_path / "ro"
    directory.mkdir()
    path = directory / "index.json"
    path.write_text("[]")
    directory.chmod(0o555)
    try:
        index = PyMetadataIndex(str(path))
        index.batch_add([{"memory_id": "a"}])
        assert index.save() is False
        assert isinstance(index.last_save_error, PermissionError)
        assert path.read_text() == "[]"
    finally:
        directory.chmod(0o755)


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_read_only_file_is_not_replaced(tmp_path):
    path = tmp_path / "index.json"
    path.write_text("[]")
    path.chmod(0o444)
    index = PyMetadataIndex(str(path))
    index.batch_add([{"memory_id": "a"}])
    assert index.save() is False
    assert path.read_text() == "[]"


def test_save_as_root_keeps_the_owner(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("only root can give a file away")
    path = tmp_path / "index.json"
    path.write_text("[]")
    os.chown(path, 1234, 5678)
    assert PyMetadataIndex(str(path)).save()
    assert (path.stat().st_uid, path.stat().st_gid) == (1234, 5678)


def test_failing_write_leaves_previous_file_whole(tmp_path, fresh_python):
    path = tmp_path / "index.json"
    proc = fresh_python(f"""
        import os, resource, signal
        from velmar.memory import PyMetadataIndex
        index = PyMetadataIndex({str(path)!r})
        index.batch_add([{{"memory_id": "small"}}])
        assert index.save() is True
        size = os.path.getsize({str(path)!r})
        index.batch_add([{{"memory_id": f"m{{i}}", "content_preview": "x" * 200}}
                         for i in range(500)])
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 5000, size + 5000))
        print(index.save())
    """)
    assert proc.stdout.strip() == "False"
    assert [e["memory_id"] for e in saved(path)] == ["small"]
    assert leftovers(tmp_path) == ["index.json"]


def test_relative_path_resolves_at_each_save(tmp_path, monkeypatch):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    (first / "index.json").write_text(json.dumps([dict(FULL, memory_id="loaded")]))
    monkeypatch.chdir(first)
    index = PyMetadataIndex("index.json")
    assert index.stats()["total"] == 1
    monkeypatch.chdir(second)
    assert index.save() is True
    assert [e["memory_id"] for e in saved(second / "index.json")] == ["loaded"]
    assert saved(first / "index.json")[0]["memory_id"] == "loaded"


def test_save_keeps_permissions_and_links(tmp_path):
    old_mask = os.umask(0o027)
    try:
        new = tmp_path / "new.json"
        assert PyMetadataIndex(str(new)).save()
        assert new.stat().st_mode & 0o777 == 0o640
    finally:
        os.umask(old_mask)

    private = tmp_path / "private.json"
    private.write_text("[]")
    private.chmod(0o600)
    index = PyMetadataIndex(str(private))
    index.batch_add([{"memory_id": "a"}])
    assert index.save()
    assert private.stat().st_mode & 0o777 == 0o600

    real = tmp_path / "data" / "real.json"
    real.parent.mkdir()
    real.write_text("[]")
    link = tmp_path / "link.json"
    link.symlink_to(os.path.relpath(real, tmp_path))
    index = PyMetadataIndex(str(link))
    index.batch_add([{"memory_id": "through link"}])
    assert index.save()
    assert link.is_symlink()
    assert [e["memory_id"] for e in saved(real)] == ["through link"]


def test_non_finite_time_keeps_the_file_readable(tmp_path):
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    before = time.time()
    index.batch_add([{"memory_id": "inf", "created_at": math.inf},
                     {"memory_id": "nan", "created_at": math.nan}])
    assert index.save()
    for e in saved(path):
        assert before - 1 <= e["created_at"] <= time.time() + 1
    assert PyMetadataIndex(str(path)).stats()["total"] == 2


# ------------------------------------------------------------- hypothesis round trip

texts = st.text(max_size=12)
ints = st.one_of(st.integers(-3, 300), st.integers(2**32 - 2, 2**32 + 1), st.booleans())
times = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(-(2**70), 2**70),
    st.sampled_from([0.0, -0.0, 5e-324, 1e16, 1e-7, 123456789012345680.0, 1.7976931348623157e308]),
)
term_lists = st.one_of(texts, st.lists(st.one_of(texts, st.integers()), max_size=4))
entries = st.lists(
    st.fixed_dictionaries(
        {"memory_id": texts.filter(bool)},
        optional={
            "user_id": texts, "memory_type": texts, "subjects": term_lists,
            "objects": term_lists, "keywords": term_lists, "tags": term_lists,
            "importance": ints, "confidence": ints, "access_count": ints,
            "chat_id": st.one_of(st.none(), texts), "content_preview": st.one_of(st.none(), texts),
        },
    ).flatmap(lambda d: st.just(d) | st.builds(lambda t: {**d, "created_at": t}, times)),
    max_size=15,
)


def expected_entry(d):
    def terms(v):
        if isinstance(v, str):
            return [v]
        return [x for x in v if isinstance(x, str)] if isinstance(v, list) else []

    def bounded(v, top, default):
        return int(v) if 0 <= v <= top else default

    return {
        "memory_id": d["memory_id"],
        "user_id": d.get("user_id", ""),
        "memory_type": d.get("memory_type", ""),
        **{k: terms(d.get(k, [])) for k in ("subjects", "objects", "keywords", "tags")},
        "importance": bounded(d.get("importance", 2), 255, 2),
        "confidence": bounded(d.get("confidence", 2), 255, 2),
        "access_count": bounded(d.get("access_count", 0), 2**32 - 1, 0),
        "chat_id": d.get("chat_id"),
        "content_preview": d.get("content_preview"),
    }


def same_double(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(batch=entries)
def test_saved_file_holds_exactly_what_was_added(tmp_path, batch):
    path = tmp_path / "h.json"
    path.unlink(missing_ok=True)
    index = PyMetadataIndex(str(path))
    assert index.batch_add(batch) == len(batch)
    assert index.save()
    last = {d["memory_id"]: d for d in batch}
    on_disk = saved(path)
    assert sorted(e["memory_id"] for e in on_disk) == sorted(last)
    for e in on_disk:
        d = last[e["memory_id"]]
        assert list(e) == ENTRY_KEYS
        created = e.pop("created_at")
        assert e == expected_entry(d)
        if "created_at" in d:
            assert same_double(created, float(d["created_at"]))

    again = tmp_path / "again.json"
    again.write_bytes(path.read_bytes())
    reopened = PyMetadataIndex(str(again))
    assert reopened.stats()["total"] == len(last)
    assert reopened.save()
    assert entry_texts(again.read_bytes()) == entry_texts(path.read_bytes())


# ------------------------------------------------------ leftovers and places


def test_save_removes_what_a_killed_save_left_behind(tmp_path):
    path = tmp_path / "index.json"
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        from velmar.memory import PyMetadataIndex
        index = PyMetadataIndex({str(path)!r})
        index.batch_add([{{"memory_id": f"m{{i}}", "content_preview": "x" * 100000}}
                         for i in range(300)])
        while True:
            index.save()
    """)])
    try:
        deadline = time.monotonic() + 60
        while not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]:
            assert time.monotonic() < deadline and child.poll() is None
        child.send_signal(signal.SIGKILL)
    finally:
        child.kill()
        child.wait()
    assert any(p.name.endswith(".tmp") for p in tmp_path.iterdir())

    index = PyMetadataIndex(str(path))
    index.batch_add([{"memory_id": "after"}])
    assert index.save() is True
    assert leftovers(tmp_path) == ["index.json"]
    assert "after" in {e["memory_id"] for e in saved(path)}


def test_save_leaves_other_savers_files_alone(tmp_path):
    path = tmp_path / "index.json"
    sleeper = subprocess.Popen(["sleep", "60"])
    finished = subprocess.Popen(["true"])
    finished.wait()
    names = {
        "live": f".index.json.{sleeper.pid}.0.tmp",
        "dead": f".index.json.{finished.pid}.0.tmp",
        "dead, locked": f".index.json.{finished.pid}.1.tmp",
        "other file": f".other.json.{finished.pid}.0.tmp",
        "other pattern": f".index.json.{finished.pid}.tmp",
    }
    for name in names.values():
        (tmp_path / name).write_text("partial")
    held = open(tmp_path / names["dead, locked"], "rb")
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        assert PyMetadataIndex(str(path)).save() is True
    finally:
        held.close()
        sleeper.kill()
        sleeper.wait()
    kept = set(leftovers(tmp_path, "index.json"))
    assert kept == {names[k] for k in ("live", "dead, locked", "other file", "other pattern")}


def test_writable_file_in_a_directory_we_cannot_write(fresh_python):
    # As root, permissions bind only once the child has become nobody, who
    # must be able to reach the directory (pytest's own are private).
    base = pathlib.Path(tempfile.mkdtemp())
    base.chmod(0o755)
    directory = base / "shared"
    directory.mkdir()
    path = directory / "index.json"
    path.write_text('[{"memory_id":"old","user_id":"","memory_type":"","subjects":[],'
                    '"objects":[],"keywords":[],"tags":[],"importance":2,"confidence":2,'
                    '"created_at":1.0,"access_count":0,"chat_id":null,"content_preview":null}]')
    path.chmod(0o666)
    directory.chmod(0o555)
    try:
        # The module is imported before the child becomes nobody, who may
        # not be able to reach it (a checkout under /root, or in a private
        # temporary folder).
        proc = fresh_python(f"""
            import os
            from velmar.memory import PyMetadataIndex
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            index = PyMetadataIndex({str(path)!r})
            index.batch_add([{{"memory_id": "new", "content_preview": "y" * 5000}}])
            print(index.save(), sorted(os.listdir({str(directory)!r})))
        """)
        data = saved(path)
    finally:
        directory.chmod(0o755)
        shutil.rmtree(base)
    assert proc.stdout.split(maxsplit=1) == ["True", "['index.json']\n"]
    assert sorted(e["memory_id"] for e in data) == ["new", "old"]


@pytest.mark.parametrize(
    "member, after",
    [
        ('"extra":1e400', None),
        ('"extra":{"n":[-123456789012345678901234567890,"\\ud800"]}', None),
        ('"\\udc00":"\\udfff"', None),
        ('"created_at":123456789012345678901234567890', 1.2e29),
    ],
)
@pytest.mark.filterwarnings("ignore:PyMetadataIndex.*keys beyond the thirteen:UserWarning")
def test_valid_json_that_save_could_meet_loads(tmp_path, member, after):
    entry = dict.fromkeys(ENTRY_KEYS)
    entry.update(memory_id="m", user_id="", memory_type="", subjects=[], objects=[],
                 keywords=[], tags=[], importance=2, confidence=2, created_at=1.0,
                 access_count=0)
    text = json.dumps([entry])
    if member.startswith('"created_at"'):
        text = text.replace('"created_at": 1.0', member)
    else:
        text = text[:-2] + "," + member + "}]"
    path = tmp_path / "index.json"
    path.write_text(text)
    index = PyMetadataIndex(str(path))
    query = {} if after is None else {"created_after": after, "created_before": 1.3e29}
    assert index.search_strict(query) == ["m"]

# Covers: src/python/memory/py_metadata_index.cpp, py_entry.cpp; src/memory/store/metadata_store.cpp, text_pool.cpp.
"""PyMetadataIndex: construction, batch_add counting, and lists that change
while batch_add walks them."""

import gc
import json
import os
import pathlib

import pytest

import velmar
from velmar.memory import PyMetadataIndex


def saved(index, path):
    assert index.save() is True
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def stats(index):
    return index.stats()


def test_class_shape():
    assert velmar.memory.PyMetadataIndex is velmar.PyMetadataIndex
    assert PyMetadataIndex.__module__ == "velmar.memory"
    assert PyMetadataIndex.__text_signature__ == "(path=None)"
    assert not PyMetadataIndex.__doc__
    methods = [n for n, v in vars(PyMetadataIndex).items() if callable(v) and not n.startswith("__")]
    specified = ["batch_add", "search_strict", "search_flexible", "stats", "save"]
    added = ["get", "get_many", "delete", "delete_where"]
    assert sorted(methods) == sorted(specified + added)
    signatures = {n: getattr(PyMetadataIndex, n).__text_signature__ for n in methods}
    assert signatures == {
        "batch_add": "($self, entries)",
        "search_strict": "($self, params)",
        "search_flexible": "($self, params)",
        "stats": "($self)",
        "save": "($self)",
        "get": "($self, memory_id)",
        "get_many": "($self, memory_ids)",
        "delete": "($self, memory_ids)",
        "delete_where": "($self, params)",
    }
    # The specified methods keep their empty docstrings; the added ones say
    # what they do.
    assert all(not getattr(PyMetadataIndex, n).__doc__ for n in specified)
    assert all(getattr(PyMetadataIndex, n).__doc__ for n in added)


@pytest.mark.parametrize(
    "args,kwargs",
    [((), {}), ((None,), {}), ((), {"path": None}), (("",), {}), (("rel/x.json",), {}),
     (("lone\ud800.json",), {}), ((b"rel/b.json",), {})],
)
def test_constructor_accepts(tmp_path, monkeypatch, args, kwargs):
    monkeypatch.chdir(tmp_path)
    index = PyMetadataIndex(*args, **kwargs)
    assert index.batch_add([{"memory_id": "a"}]) == 1


@pytest.mark.parametrize("bad", [5, bytearray(b"path"), ["p"], 1.5])
def test_constructor_rejects_non_str_path(bad):
    with pytest.raises(TypeError, match="path"):
        PyMetadataIndex(bad)
    with pytest.raises(TypeError, match="path"):
        PyMetadataIndex(path=bad)


@pytest.mark.parametrize(
    "args,kwargs", [(("a", "b"), {}), ((), {"paths": "a"}), (("a",), {"path": "b"})]
)
def test_constructor_argument_binding(args, kwargs):
    with pytest.raises(TypeError):
        PyMetadataIndex(*args, **kwargs)


def test_batch_add_arguments():
    index = PyMetadataIndex()
    assert index.batch_add(entries=[{"memory_id": "a"}]) == 1
    with pytest.raises(TypeError):
        index.batch_add()
    with pytest.raises(TypeError):
        index.batch_add([], [])
    with pytest.raises(TypeError):
        index.batch_add(items=[])


class Entries(list):
    """A list subclass whose Python-level views disagree with its storage."""

    def __len__(self):
        return 0

    def __iter__(self):
        return iter([])

    def __getitem__(self, i):
        raise AssertionError("walked through __getitem__")


@pytest.mark.parametrize(
    "entries,count",
    [
        ([], 0),
        ("text", 0),
        (None, 0),
        (({"memory_id": "a"},), 0),
        ({"memory_id": "a"}, 0),
        (iter([{"memory_id": "a"}]), 0),
        ([{"memory_id": "a"}, 5, {"user_id": "u"}], 1),
        ([{"memory_id": "a"}, {"memory_id": "a"}, {"memory_id": "b"}], 3),
        ([None, "x", [("memory_id", "a")], {"memory_id": ""}], 0),
        (Entries([{"memory_id": "a"}, {"memory_id": "b"}]), 2),
    ],
)
def test_batch_add_counts(entries, count):
    index = PyMetadataIndex()
    result = index.batch_add(entries)
    assert type(result) is int and result == count


def test_non_list_stores_nothing(tmp_path):
    path = tmp_path / "i.json"
    index = PyMetadataIndex(str(path))
    for entries in ("text", None, ({"memory_id": "a"},), {"memory_id": "a"}):
        assert index.batch_add(entries) == 0
    assert saved(index, path) == []


def test_later_duplicate_wins(tmp_path):
    path = tmp_path / "i.json"
    index = PyMetadataIndex(str(path))
    entries = [{"memory_id": "a", "user_id": "first"}, {"memory_id": "a", "user_id": "second"}]
    assert index.batch_add(entries) == 2
    assert [(e["memory_id"], e["user_id"]) for e in saved(index, path)] == [("a", "second")]


def test_replacement_keeps_emptied_type(tmp_path):
    index = PyMetadataIndex()
    index.batch_add([{"memory_id": "a", "memory_type": "note", "tags": ["x", "", "x", "y"]}])
    index.batch_add([{"memory_id": "a", "memory_type": "task"}, {"memory_id": "b"}])
    s = stats(index)
    assert s["total"] == 2
    assert s["types_dist"] == {"note": 0, "task": 1}
    assert s["tags_indexed"] == 2


# --- lists that change during the walk --------------------------------------


def test_appended_items_beyond_first_length_are_not_visited():
    entries = []

    class Grow:
        def __index__(self):
            entries.append({"memory_id": "late"})
            return 1

    entries.extend([{"memory_id": "a", "importance": Grow()}, {"memory_id": "b"}])
    assert PyMetadataIndex().batch_add(entries) == 2
    assert len(entries) == 3


def test_shrinking_list_ends_the_walk():
    entries = []

    class Shrink:
        def __index__(self):
            del entries[1:]
            return 1

    entries.extend([{"memory_id": "a", "importance": Shrink()}] + [{"memory_id": "b"}] * 5)
    assert PyMetadataIndex().batch_add(entries) == 1


def test_current_item_removed_by_index_hook():
    # The hook drops the list's (and so the only other) reference to the
    # dict being converted and to the value being converted.
    entries = []

    class Drop:
        def __index__(self):
            item = entries[0]
            entries.clear()
            item.clear()
            return 9

    entries.append({"memory_id": "a", "importance": Drop(), "user_id": "u" * 100, "tags": ["t"]})
    assert PyMetadataIndex().batch_add(entries) == 1
    assert entries == []


def test_del_hook_clears_the_list():
    entries = []
    log = []

    class Bomb:
        def __del__(self):
            log.append("del")
            entries.clear()

    class Pop:
        def __index__(self):
            entries.pop(0)  # the dict now lives only through batch_add's reference
            return 3

    entries.append({"memory_id": "a", "importance": Pop(), "payload": Bomb()})
    entries.extend({"memory_id": f"m{i}"} for i in range(5))
    count = PyMetadataIndex().batch_add(entries)
    gc.collect()
    assert log == ["del"]
    # "a" is stored; the list it was walking is then empty.
    assert count == 1 and entries == []


def test_eq_hook_of_a_key_mutates_the_list():
    entries = []

    class EvilKey:
        # Hashes like "user_id", so looking "user_id" up compares with it.
        def __hash__(self):
            return hash("user_id")

        def __eq__(self, other):
            entries.clear()
            return False

    entries.extend([{EvilKey(): 1, "memory_id": "a"}, {"memory_id": "b"}, {"memory_id": "c"}])
    assert PyMetadataIndex().batch_add(entries) == 1
    assert entries == []


def test_eq_hook_that_raises_counts_as_absent(tmp_path):
    class Raises:
        def __hash__(self):
            return hash("memory_type")

        def __eq__(self, other):
            raise RuntimeError("no")

    path = tmp_path / "i.json"
    index = PyMetadataIndex(str(path))
    assert index.batch_add([{Raises(): 1, "memory_id": "a", "user_id": "u"}]) == 1
    [entry] = saved(index, path)
    assert (entry["memory_id"], entry["user_id"], entry["memory_type"]) == ("a", "u", "")


def test_list_replaced_items_during_walk(tmp_path):
    path = tmp_path / "i.json"
    entries = []

    class Swap:
        def __index__(self):
            entries[1] = {"memory_id": "swapped"}
            entries[0] = None
            return 4

    entries.extend([{"memory_id": "a", "importance": Swap()}, {"memory_id": "b"}])
    index = PyMetadataIndex(str(path))
    assert index.batch_add(entries) == 2
    assert sorted(e["memory_id"] for e in saved(index, path)) == ["a", "swapped"]


@pytest.mark.parametrize("form", [str, os.fsencode, pathlib.Path])
def test_path_with_undecodable_bytes_names_that_file(tmp_path, form):
    name = os.fsdecode(b"idx-\xff.json")  # held as a surrogate escape
    path = os.path.join(str(tmp_path), name)
    index = PyMetadataIndex(form(path))
    index.batch_add([{"memory_id": "a"}])
    assert [e["memory_id"] for e in saved(index, path)] == ["a"]
    assert sorted(os.listdir(os.fsencode(str(tmp_path)))) == [b"idx-\xff.json", b"idx-\xff.json.lock"]
    assert PyMetadataIndex(path=form(path)).get("a")["memory_id"] == "a"


@pytest.mark.parametrize("path", ["nul\0.json", b"nul\0.json", pathlib.Path("nul\0.json")])
def test_path_holding_a_nul_is_refused(tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="argument 'path'"):
        PyMetadataIndex(path)
    assert os.listdir(tmp_path) == []

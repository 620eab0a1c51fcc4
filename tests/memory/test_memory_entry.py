# Covers: src/python/memory/py_entry.cpp, src/python/lenient.cpp, src/memory/json/writer.cpp.
"""Conversion of batch_add dictionaries into index entries.

Entries are observed through the index file that save() writes; until an
index can be saved these tests are skipped, the ones that only count are not.
"""

import ast
import itertools
import json
import math
import pathlib
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmar.memory import PyMetadataIndex

TEXT_FIELDS = ("user_id", "memory_type")
LIST_FIELDS = ("subjects", "objects", "keywords", "tags")


_files = itertools.count()


def stored(tmp_path, entries):
    """The entries an index holds after batch_add(entries), by memory_id."""
    path = tmp_path / f"index-{next(_files)}.json"  # a fresh file: nothing to load
    index = PyMetadataIndex(str(path))
    index.batch_add(entries)
    assert index.save() is True
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    return {e["memory_id"]: e for e in data}


def convert(tmp_path, **fields):
    """The stored form of one dict with memory_id 'm' plus `fields`."""
    result = stored(tmp_path, [{"memory_id": "m", **fields}])
    assert list(result) == ["m"]
    return result["m"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Text(str):
    pass


class Items(list):
    pass


def test_defaults(tmp_path):
    before = time.time()
    entry = convert(tmp_path)
    after = time.time()
    assert list(entry) == [
        "memory_id", "user_id", "memory_type", "subjects", "objects", "keywords", "tags",
        "importance", "confidence", "created_at", "access_count", "chat_id", "content_preview",
    ]
    assert entry == {**entry, "user_id": "", "memory_type": "", "subjects": [], "objects": [],
                     "keywords": [], "tags": [], "importance": 2, "confidence": 2,
                     "access_count": 0, "chat_id": None, "content_preview": None}
    assert before - 1e-3 <= entry["created_at"] <= after + 1e-3


@pytest.mark.parametrize(
    "field,value,expected",
    [
        *[(f, "x", "x") for f in TEXT_FIELDS],
        *[(f, Text("sub"), "sub") for f in TEXT_FIELDS],
        *[(f, "h\u00e9\U0001F600\n\"", "h\u00e9\U0001F600\n\"") for f in TEXT_FIELDS],
        *[(f, bad, "") for f in TEXT_FIELDS for bad in (5, None, b"x", ["x"], "a\ud800")],
        *[(f, "solo", ["solo"]) for f in LIST_FIELDS],
        *[(f, ["a", 1, None, "b", "a"], ["a", "b", "a"]) for f in LIST_FIELDS],
        *[(f, ("a", "b"), []) for f in LIST_FIELDS],
        ("tags", {"a"}, []),
        ("tags", {"a": 1}, []),
        ("tags", iter(["a"]), []),
        ("tags", Items(["x", Text("y")]), ["x", "y"]),
        ("tags", ["x", "\udc80", "y"], ["x", "y"]),
        ("tags", "\ud800", []),
        ("tags", ["", ""], ["", ""]),
        ("subjects", 7, []),
        ("importance", 255, 255),
        ("importance", 0, 0),
        ("importance", 256, 2),
        ("importance", -1, 2),
        ("importance", "3", 2),
        ("importance", 3.0, 2),
        ("importance", True, 1),
        ("importance", False, 0),
        ("importance", Index(7), 7),
        ("importance", Index(700), 2),
        ("importance", 2**80, 2),
        ("confidence", 255, 255),
        ("confidence", 256, 2),
        ("confidence", True, 1),
        ("access_count", 4294967295, 4294967295),
        ("access_count", 4294967296, 0),
        ("access_count", -1, 0),
        ("access_count", True, 1),
        ("access_count", 7.5, 0),
        ("access_count", 2**70, 0),
        ("created_at", 5, 5.0),
        ("created_at", 1700000000.123456, 1700000000.123456),
        ("created_at", -0.5, -0.5),
        ("created_at", True, 1.0),
        ("created_at", Floaty(2.5), 2.5),
        ("created_at", Index(3), 3.0),
        ("chat_id", "c", "c"),
        ("chat_id", "", ""),
        ("chat_id", 5, None),
        ("chat_id", "\ud800", None),
        ("content_preview", "p" * 1000, "p" * 1000),
        ("content_preview", None, None),
    ],
)
def test_field_conversion(tmp_path, field, value, expected):
    entry = convert(tmp_path, **{field: value})
    assert entry[field] == expected
    assert type(entry[field]) is type(expected)


@pytest.mark.parametrize(
    "value",
    ["2024-01-01", None, float("inf"), float("-inf"), float("nan"), 10**400, Floaty("x"), []],
    ids=["date-text", "none", "inf", "-inf", "nan", "huge-int", "bad-float", "list"],
)
def test_unusable_created_at_is_the_current_time(tmp_path, value):
    before = time.time()
    entry = convert(tmp_path, created_at=value)
    after = time.time()
    assert before - 1e-3 <= entry["created_at"] <= after + 1e-3


def test_default_time_is_read_for_each_dict(tmp_path):
    before = time.time()
    result = stored(tmp_path, [{"memory_id": f"m{i}"} for i in range(2000)])
    after = time.time()
    times = [result[f"m{i}"]["created_at"] for i in range(2000)]
    assert times == sorted(times)
    assert before - 1e-3 <= times[0] and times[-1] <= after + 1e-3
    assert len(set(times)) > 1  # not one time shared by the whole batch


@pytest.mark.parametrize(
    "memory_id,accepted",
    [("m", True), (" ", True), (Text("s"), True), ("", False), (None, False), (5, False),
     (b"m", False), (["m"], False), ("m\ud800", False), (Text(""), False)],
)
def test_memory_id_decides_acceptance(memory_id, accepted):
    assert PyMetadataIndex().batch_add([{"memory_id": memory_id}]) == int(accepted)
    assert PyMetadataIndex().batch_add([{"user_id": "u"}]) == 0


class Hooked(dict):
    """A dict whose own lookup hooks must never be consulted."""

    calls = []

    def __getitem__(self, key):
        Hooked.calls.append(("getitem", key))
        return "hooked"

    def __missing__(self, key):
        Hooked.calls.append(("missing", key))
        return "missing"

    def get(self, key, default=None):
        Hooked.calls.append(("get", key))
        return "hooked"

    def __contains__(self, key):
        Hooked.calls.append(("contains", key))
        return True

    def keys(self):
        Hooked.calls.append(("keys",))
        return []


def test_dict_subclass_hooks_are_not_consulted(tmp_path):
    Hooked.calls.clear()
    index = PyMetadataIndex()
    assert index.batch_add([Hooked(user_id="u")]) == 0  # no memory_id in storage
    result = stored(tmp_path, [Hooked(memory_id="m", tags=["t"])])
    assert Hooked.calls == []
    assert result["m"]["user_id"] == "" and result["m"]["tags"] == ["t"]


def test_conversion_leaves_no_exception_pending(tmp_path):
    class Raising:
        def __index__(self):
            raise ValueError("index")

        def __float__(self):
            raise RuntimeError("float")

    entry = convert(tmp_path, importance=Raising(), access_count=Raising(), created_at=Raising(),
                    user_id="a\ud800")
    assert (entry["importance"], entry["access_count"], entry["user_id"]) == (2, 0, "")


values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(), st.binary(),
    st.lists(st.one_of(st.text(), st.integers(), st.none()), max_size=4),
    st.tuples(st.text()), st.builds(Index, st.integers()), st.builds(Floaty, st.floats()),
)
KEYS = ["memory_id", "user_id", "memory_type", "subjects", "objects", "keywords", "tags",
        "importance", "confidence", "created_at", "access_count", "chat_id", "content_preview"]


def usable_id(d):
    v = d.get("memory_id")
    if not isinstance(v, str) or not v:
        return None
    try:
        v.encode()
    except UnicodeEncodeError:
        return None
    return v


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.dictionaries(st.sampled_from(KEYS + ["other"]), values), max_size=6))
def test_hostile_values_never_raise(tmp_path, dicts):
    ids = [usable_id(d) for d in dicts]
    assert PyMetadataIndex().batch_add(dicts) == sum(i is not None for i in ids)
    try:
        result = stored(tmp_path, dicts)
    except pytest.skip.Exception:
        return
    assert set(result) == {i for i in ids if i is not None}
    for entry in result.values():
        assert all(type(entry[k]) is str for k in ("user_id", "memory_type"))
        assert all(type(x) is str for k in LIST_FIELDS for x in entry[k])
        assert 0 <= entry["importance"] <= 255 and 0 <= entry["confidence"] <= 255
        assert 0 <= entry["access_count"] < 2**32
        assert math.isfinite(entry["created_at"])


# ------------------------------------------------------- the stubs' TypedDicts

STUB = pathlib.Path(__file__).parents[2] / "python" / "velmar-stubs" / "memory.pyi"


def stub_fields(name):
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name]
    return [n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)]


@pytest.mark.parametrize("typed_dict", ["MemoryEntry", "StoredEntry"])
def test_stub_entry_types_name_the_fields_of_an_entry_in_order(typed_dict):
    # get() gives the keys of the one field table, in its order.
    index = PyMetadataIndex()
    index.batch_add([{"memory_id": "m"}])
    assert stub_fields(typed_dict) == list(index.get("m"))

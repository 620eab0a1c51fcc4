# Covers: src/python/memory/py_metadata_index.cpp, py_query.cpp; src/memory/store/delete.cpp, store_reader.cpp; src/memory/persistence.cpp (load warning).
"""Reading entries back (get, get_many) and forgetting them (delete,
delete_where), and the warning when an index file cannot be loaded."""

import json
import math
import threading
import warnings

import pytest

from velmar.memory import PyMetadataIndex

KEYS = ["memory_id", "user_id", "memory_type", "subjects", "objects", "keywords", "tags",
        "importance", "confidence", "created_at", "access_count", "chat_id", "content_preview"]

FULL = {"memory_id": "m1", "user_id": "u1", "memory_type": "note", "subjects": ["Work", "ΟΔΟΣ"],
        "objects": ["desk"], "keywords": ["k", "k"], "tags": ["t", ""], "importance": 7,
        "confidence": 255, "created_at": 1700000000.25, "access_count": 4294967295,
        "chat_id": "c\u0000\"1", "content_preview": "line\nbreak \U0001F600"}
BARE = {"memory_id": "m2", "created_at": 5}


def index_with(*entries):
    index = PyMetadataIndex()
    assert index.batch_add(list(entries)) == len(entries)
    return index


def test_get_gives_every_field_through_save_and_a_new_index(tmp_path):
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    index.batch_add([FULL, BARE])
    assert index.save()
    for source in (index, PyMetadataIndex(str(path))):
        got = source.get("m1")
        assert list(got) == KEYS
        assert got == FULL
        bare = source.get("m2")
        assert bare == {**dict.fromkeys(KEYS), "memory_id": "m2", "user_id": "", "memory_type": "",
                        "subjects": [], "objects": [], "keywords": [], "tags": [], "importance": 2,
                        "confidence": 2, "created_at": 5.0, "access_count": 0}
        assert type(bare["created_at"]) is float
        assert source.get_many(["m2", "nope", "m1", "m2"]) == [bare, got, bare]
    # What get returns is a copy: changing it changes nothing stored.
    index.get("m1")["tags"].append("x")
    assert index.get("m1")["tags"] == ["t", ""]


@pytest.mark.parametrize("memory_id", ["", "nope", "m\ud800"])
def test_get_of_an_id_no_entry_has_is_none(memory_id):
    assert index_with(FULL).get(memory_id) is None


@pytest.mark.parametrize("method, argument", [
    ("get", 5), ("get", None), ("get", b"m1"),
    ("get_many", "m1"), ("get_many", ["m1", 1]), ("get_many", None),
    ("delete", "m1"), ("delete", ["m1", None]), ("delete", 5), ("delete", {"m1"}),
])
def test_ids_of_the_wrong_type_raise_and_remove_nothing(method, argument):
    index = index_with(FULL, BARE)
    with pytest.raises(TypeError, match="memory_id"):
        getattr(index, method)(argument)
    assert index.stats()["total"] == 2


def test_delete_counts_each_entry_once_and_keeps_emptied_keys(tmp_path):
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    index.batch_add([FULL, BARE, {**FULL, "memory_id": "m3", "tags": ["t"]}])
    before = index.stats()
    assert index.delete(("m1", "m1", "zzz", "m\ud800")) == 1
    assert index.delete([]) == 0
    assert index.get("m1") is None and index.get_many(["m1"]) == []
    stats = index.stats()
    assert stats["total"] == 2
    for key in ("types_indexed", "subjects_indexed", "keywords_indexed", "tags_indexed"):
        assert stats[key] == before[key]
    assert stats["types_dist"] == {"note": 1}
    assert index.search_strict({"tags": ["t"]}) == ["m3"]
    assert index.search_strict({"keywords": ["k"]}) == ["m3"]
    assert index.delete(["m3"]) == 1
    assert index.stats()["types_dist"] == {"note": 0}
    # Saved without them: the emptied keys are gone after loading.
    assert index.save()
    assert [e["memory_id"] for e in json.loads(path.read_text())] == ["m2"]
    assert PyMetadataIndex(str(path)).stats()["types_indexed"] == 0
    # A deleted id can be stored again, with new fields.
    assert index.batch_add([{**BARE, "memory_id": "m1", "tags": ["new"]}]) == 1
    assert index.search_strict({"tags": ["new"]}) == ["m1"]
    assert index.search_strict({"tags": ["t"]}) == []


def test_delete_where_removes_what_search_strict_finds_without_a_limit():
    entries = [{"memory_id": f"e{i}", "user_id": f"u{i % 3}", "memory_type": ["fact", "note"][i % 2],
                "created_at": float(i), "subjects": ["Work"] if i % 4 == 0 else ["home"]}
               for i in range(300)]
    index = index_with(*entries)
    query = {"user_id": "u1", "memory_types": ["fact"], "subjects": ["work"]}
    doomed = index.search_strict({**query, "limit": 10**9})
    assert len(doomed) > 0
    assert index.delete_where(query) == len(doomed)
    assert index.search_strict({**query, "limit": 10**9}) == []
    assert index.get_many(doomed) == []
    assert index.stats()["total"] == 300 - len(doomed)
    # Forgetting a user.
    assert index.delete_where({"user_id": "u2"}) == 100
    assert index.search_strict({"user_id": "u2"}) == []
    assert index.delete_where({"user_id": "u2"}) == 0


@pytest.mark.parametrize("params, key", [
    ({}, None),
    ({"limit": 5}, "limit"),
    ({"user_id": "u1", "limit": 5}, "limit"),
    ({"user": "u1"}, "user"),
    ({1: "u1"}, 1),
    ({"user_id": None}, "user_id"),
    ({"user_id": 5}, "user_id"),
    ({"user_id": "u\ud800"}, "user_id"),
    ({"memory_types": []}, "memory_types"),
    ({"memory_types": "fact"}, "memory_types"),
    ({"user_id": "u1", "tags": ["a", 1]}, "tags"),
    ({"subjects": {"work"}}, "subjects"),
    ({"importance_min": 300}, "importance_min"),
    ({"importance_max": -1}, "importance_max"),
    ({"created_after": "yesterday"}, "created_after"),
    ({"created_before": math.nan}, "created_before"),
    # An empty text is contained in every text: alone it is no condition.
    *(({key: ["", ""]}, key) for key in ("memory_types", "subjects", "keywords", "tags")),
])
def test_delete_where_fails_closed(params, key):
    index = index_with(*({"memory_id": f"e{i}", "user_id": "u1", "memory_type": "fact",
                          "tags": ["a"]} for i in range(10)))
    with pytest.raises(ValueError) as raised:
        index.delete_where(params)
    if key is not None:
        assert f"{key!r} " in str(raised.value)
    assert "nothing was deleted" in str(raised.value)
    assert index.stats()["total"] == 10


def test_delete_where_never_matches_by_an_empty_text():
    # search_strict lets an empty subject or keyword pass any condition;
    # deleting by it would take entries that name nothing asked for.
    index = index_with({"memory_id": "blank", "subjects": [""], "keywords": [""]},
                       {"memory_id": "garden", "subjects": ["Gardening"]},
                       {"memory_id": "desk", "keywords": ["desks"]})
    assert index.delete_where({"subjects": ["", "gardening"]}) == 1
    assert index.delete_where({"keywords": ["desk"]}) == 1
    assert index.search_strict({}) == ["blank"]


def test_delete_where_needs_a_dict():
    with pytest.raises(TypeError, match="params"):
        PyMetadataIndex().delete_where([("user_id", "u1")])


def test_eight_threads_insert_delete_and_search_losing_nothing():
    # Each thread owns its ids and knows which must be live at the end;
    # shared ids are fought over by all of them.
    index = PyMetadataIndex()
    live = [set() for _ in range(8)]
    failures = []

    def work(t):
        import random
        rng = random.Random(t)
        try:
            for i in range(1500):
                shared = rng.random() < 0.1
                mid = f"shared{rng.randrange(30)}" if shared else f"own{t}_{rng.randrange(200)}"
                op = rng.random()
                if op < 0.5:
                    index.batch_add([{"memory_id": mid, "user_id": f"u{t}", "tags": [f"t{i % 7}"],
                                      "created_at": float(i)}])
                    if not shared:
                        live[t].add(mid)
                elif op < 0.75:
                    removed = index.delete([mid])
                    if not shared:
                        assert removed == (1 if mid in live[t] else 0)
                        live[t].discard(mid)
                elif op < 0.85:
                    tag = f"t{rng.randrange(7)}"
                    tagged = {m for m in live[t] if index.get(m)["tags"] == [tag]}
                    removed = index.delete_where({"user_id": f"u{t}", "tags": [tag]})
                    # Shared ids of this user may go too, but only those.
                    assert removed >= len(tagged)
                    live[t] -= tagged
                else:
                    found = index.search_strict({"user_id": f"u{t}", "limit": 1000})
                    assert set(m for m in found if m.startswith("own")) == live[t]
        except AssertionError as e:
            failures.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures, failures[0]
    expected = set().union(*live)
    own = {m for m in index.search_strict({"limit": 10**9}) if m.startswith("own")}
    assert own == expected
    assert all(index.get(m) is not None for m in expected)


@pytest.mark.parametrize("content, reason", [
    (b'[{"memory_id":"a","user_id":"u","memory_type":"note","subj', "ends in the middle of an entry"),
    (b'[{"memory_id":"a"},', "ends in the middle of an entry"),
    (b'{"memory_id":"a"}', "is not a JSON array"),
    (b'[1, 2]', "not an index entry"),
    (b"", "is empty"),
    (b"\xef\xbb\xbf[]", "byte-order mark"),
    (b"\x89PNG\r\n\x1a\n\x00", "is not UTF-8"),
])
def test_a_file_that_cannot_be_loaded_is_announced(tmp_path, content, reason):
    path = tmp_path / "index.json"
    path.write_bytes(content)
    with pytest.warns(UserWarning) as caught:
        index = PyMetadataIndex(str(path))
    assert len(caught) == 1
    message = str(caught[0].message)
    assert repr(str(path)) in message
    assert reason in message
    assert repr(str(path) + ".unreadable") in message
    # The velmar command reads these rather than the text.
    assert caught[0].message.path == str(path) and reason in caught[0].message.reason
    assert index.stats()["total"] == 0
    assert index.save()
    assert (tmp_path / "index.json.unreadable").read_bytes() == content


@pytest.mark.parametrize("content", [None, "[]", ' [ ] '])
def test_a_missing_or_readable_file_is_loaded_without_a_word(tmp_path, content):
    path = tmp_path / "index.json"
    if content is not None:
        path.write_text(content)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        PyMetadataIndex(str(path))


def entry(memory_id, created_at, **fields):
    made = {**dict.fromkeys(KEYS), "memory_id": memory_id, "user_id": "u1", "memory_type": "note",
            "subjects": [], "objects": [], "keywords": [], "tags": [], "importance": 2,
            "confidence": 2, "created_at": float(created_at), "access_count": 0}
    return {**made, **fields}


def test_texts_entries_share_stay_each_entrys_own_through_replace_delete_and_reload(tmp_path):
    # One copy of each text serves every entry that repeats it; texts that
    # differ only in case are still different texts with one lowercase form.
    path = tmp_path / "index.json"
    index = PyMetadataIndex(str(path))
    a = entry("a", 3, subjects=["Work", "work"], keywords=["Ünï"], tags=["t"], user_id="Ü")
    # Texts that must be escaped in the file, beside ones copied as they are.
    b = entry("b", 2, subjects=["WORK"], keywords=["Ünï", "ünï"], tags=["t"],
              objects=["Work", 'say "hi"\n', "back\\slash\x01"], memory_type="tab\there")
    c = entry("c", 1, subjects=["only-c"], tags=["gone-tag"], memory_type="gone-type",
              chat_id="gone-chat", content_preview="gone-preview")
    index.batch_add([a, b, c])
    replaced = {**a, "subjects": ["home"], "tags": [], "memory_type": "Note"}
    assert index.batch_add([replaced]) == 1
    assert index.delete(["c"]) == 1
    assert index.save()
    assert "gone" not in path.read_text(encoding="utf-8")
    assert "only-c" not in path.read_text(encoding="utf-8")
    for source in (index, PyMetadataIndex(str(path))):
        assert source.get_many(["a", "b", "c"]) == [replaced, b]
        assert source.search_strict({"subjects": ["work"]}) == ["b"]
        assert source.search_strict({"keywords": ["ÜNÏ"]}) == ["a", "b"]
        assert source.search_strict({"tags": ["t"]}) == ["b"]
        assert source.search_strict({"memory_types": ["Note"]}) == ["a"]
        assert source.search_strict({"user_id": "Ü"}) == ["a"]
        assert source.search_strict({"memory_types": ["gone-type"]}) == []
    # A text whose last entry went comes back with a new entry.
    index.batch_add([entry("d", 4, subjects=["only-c"], tags=["gone-tag"])])
    assert index.search_strict({"tags": ["gone-tag"]}) == ["d"]
    assert index.get("d")["subjects"] == ["only-c"]

# Covers: src/python/memory/py_metadata_index.cpp (stats); src/memory/store/metadata_store.cpp, secondary_index.cpp.
import pytest

from velmar.memory import PyMetadataIndex

KEYS = ["total", "types_indexed", "subjects_indexed", "keywords_indexed", "tags_indexed",
        "types_dist"]


def test_empty_index():
    stats = PyMetadataIndex().stats()
    assert list(stats) == KEYS
    assert stats == dict.fromkeys(KEYS[:-1], 0) | {"types_dist": {}}


def test_counts_distinct_keys_and_type_lists():
    index = PyMetadataIndex()
    index.batch_add([
        {"memory_id": "a", "memory_type": "note", "tags": ["x", "y", "z"],
         "subjects": ["s1", "s2"], "keywords": ["k"], "objects": ["not indexed"]},
        {"memory_id": "b", "memory_type": "note", "tags": ["x", "x", "y", ""],
         "subjects": ["s2"], "keywords": ["k", ""]},
        {"memory_id": "c"},  # no type: counted in total only
    ])
    stats = index.stats()
    assert list(stats) == KEYS
    assert stats == {"total": 3, "types_indexed": 1, "subjects_indexed": 2,
                     "keywords_indexed": 1, "tags_indexed": 3, "types_dist": {"note": 2}}


def test_replacement_leaves_emptied_keys_counted():
    index = PyMetadataIndex()
    index.batch_add([{"memory_id": "a", "memory_type": "note", "tags": ["old"]}])
    index.batch_add([{"memory_id": "a", "memory_type": "task", "tags": ["new"]},
                     {"memory_id": "b", "memory_type": "task"}])
    stats = index.stats()
    assert stats["total"] == 2
    assert stats["types_indexed"] == 2
    assert stats["tags_indexed"] == 2
    assert stats["types_dist"] == {"note": 0, "task": 2}


@pytest.mark.parametrize("args", [(1,), ((),)])
def test_takes_no_arguments(args):
    with pytest.raises(TypeError):
        PyMetadataIndex().stats(*args)


def test_many_types():
    index = PyMetadataIndex()
    index.batch_add([{"memory_id": f"m{i}", "memory_type": f"t{i % 300}", "subjects": [f"s{i}"]}
                     for i in range(3000)])
    stats = index.stats()
    assert stats["total"] == 3000
    assert stats["subjects_indexed"] == 3000
    assert stats["types_dist"] == {f"t{i}": 10 for i in range(300)}

"""Names shared by the module, its stubs and the velmar command. The module
holds each one; these tests fail when a copy kept elsewhere drifts."""

import ast
import re
import warnings
from pathlib import Path

import pytest

import velmar
from velmar.memory import PyMetadataIndex

STUBS = Path(__file__).resolve().parents[2] / "python" / "velmar-stubs"


def typed_dict_keys(stub, name):
    """The keys of the TypedDict `name` of the stub file, in order."""
    tree = ast.parse((STUBS / stub).read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
    raise AssertionError(f"{stub} has no class {name}")


def known_query_keys(method):
    """The keys `method` of an index knows, as it reports them for an unknown one."""
    index = PyMetadataIndex()
    if method == "delete_where":
        with pytest.raises(ValueError) as caught:
            index.delete_where({"no such key": 1})
        return list(caught.value.known_keys)
    with pytest.warns(UserWarning) as caught:
        getattr(index, method)({"no such key": 1})
    assert caught[0].message.key == "no such key"
    return list(caught[0].message.known_keys)


@pytest.mark.parametrize("method, typed_dict", [
    ("search_strict", "StrictQuery"),
    ("search_flexible", "FlexibleQuery"),
    ("delete_where", "DeletionQuery"),
])
def test_query_typed_dicts_list_the_keys_the_module_knows(method, typed_dict):
    assert typed_dict_keys("memory.pyi", typed_dict) == known_query_keys(method)


def test_entry_keys_agree_with_what_get_returns():
    from velmar_cli.index import ENTRY_KEYS

    index = PyMetadataIndex()
    index.batch_add([{"memory_id": "m"}])
    stored = list(index.get("m"))
    assert typed_dict_keys("memory.pyi", "StoredEntry") == stored
    assert typed_dict_keys("memory.pyi", "MemoryEntry") == stored
    assert ENTRY_KEYS == set(stored)


@pytest.mark.parametrize("flexible", [False, True])
def test_the_command_sends_only_keys_the_search_knows(tmp_path, flexible):
    from velmar_cli import main

    path = tmp_path / "index.json"
    PyMetadataIndex(str(path)).save()
    options = ["--user", "u", "--type", "note", "--subject", "s", "--after", "0",
               "--before", "1", "--limit", "5"]
    if flexible:
        options.append("--flexible")
    else:
        options += ["--keyword", "k", "--tag", "t", "--importance-min", "1",
                    "--importance-max", "3"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert main(["index", "search", str(path), *options]) == 0


def test_every_exported_name_is_the_object_of_that_name():
    for module in (velmar, velmar.video, velmar.memory):
        for name in module.__all__:
            assert getattr(module, name).__name__ == name


@pytest.mark.parametrize("name, own", [
    ("keyframe_000012.jpg", True),
    ("keyframe_7.png", True),
    ("keyframe_000012.webp", True),
    (".keyframe_000012.jpg.4242.0.tmp", True),
    (".velmar-write-test-4242", True),
    ("keyframe_final.jpg", False),
    ("my_keyframe_1.jpg", False),
    ("keyframe_000012.jpg.tmp-1-2", False),
    ("notes.txt", False),
])
def test_scan_file_pattern(name, own):
    assert bool(re.fullmatch(velmar.ScanResult.file_pattern, name)) == own

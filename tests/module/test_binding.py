# Covers: src/python/convert.cpp, errors.cpp, lenient.cpp, src/python/memory/py_query.cpp.
"""Argument conversion at the edge of the module: text that cannot be encoded,
sequences whose __len__ is wrong, exceptions raised by the caller's own objects,
and the query checks of the memory index."""

import sys
import warnings

import pytest

from velmar import PyMetadataIndex, PyVideoFrame, VideoKeyframeExtractor

LONE = "clip\udce9.mp4"  # how Python names a file whose name is not UTF-8


@pytest.mark.parametrize(
    "call",
    [
        lambda: VideoKeyframeExtractor(ffmpeg_path=LONE),
        lambda: VideoKeyframeExtractor().benchmark("v.mp4", 1, LONE),
    ],
)
def test_lone_surrogate_keeps_its_unicode_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert info.value.object == LONE


class Items:
    """A sequence holding `items` whose __len__ claims `length`. A careless
    one gives the last item again for any index past the items."""

    def __init__(self, items, length, careless=False):
        self.items, self.length, self.careless = list(items), length, careless

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[min(i, len(self.items) - 1) if self.careless else i]

    def __iter__(self):
        return iter(self.items)


def frames(count):
    return [PyVideoFrame(n, 2, 1, bytes([n * 50, 0])) for n in range(count)]


# A length far too large must not be taken as a size to reserve; a careless
# sequence with a claim beyond what it holds yields only what it holds.
@pytest.mark.parametrize("length, careless", [(sys.maxsize, False), (1000, True)])
def test_sequences_are_read_as_far_as_iteration_goes(length, careless):
    assert PyVideoFrame(0, 2, 1, Items([7, 9], length, careless)).get_data() == bytes([7, 9])
    extractor = VideoKeyframeExtractor()
    assert extractor.extract_keyframes(Items(frames(3), length, careless), 5) == [1, 2]


def test_len_beyond_an_index_raises_overflow():
    with pytest.raises(OverflowError):
        VideoKeyframeExtractor().extract_keyframes(Items(frames(2), 2**64), 1)


# ------------------------------------------------------------- the memory index

FATAL = [KeyboardInterrupt, SystemExit, MemoryError]


class Raiser:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __index__


class CollidingKey:
    """A dict key that collides with `name`, so looking `name` up calls __eq__."""

    def __init__(self, name, exc):
        self.name, self.exc = name, exc

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise self.exc


class RaisingLen:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise self.exc

    def __getitem__(self, i):
        return "x"


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("exc", FATAL)
@pytest.mark.parametrize(
    "call",
    [
        lambda exc: PyMetadataIndex().batch_add([{"memory_id": "m", "importance": Raiser(exc)}]),
        lambda exc: PyMetadataIndex().batch_add([{"memory_id": "m", CollidingKey("user_id", exc): 1}]),
        lambda exc: PyMetadataIndex().search_strict({"limit": Raiser(exc)}),
        lambda exc: PyMetadataIndex().search_flexible({"created_after": Raiser(exc)}),
        lambda exc: PyMetadataIndex().search_strict({"subjects": RaisingLen(exc)}),
        lambda exc: PyMetadataIndex().search_flexible({CollidingKey("subjects", exc): 1}),
    ],
)
def test_fatal_exceptions_of_caller_objects_propagate(call, exc):
    with pytest.raises(exc):
        call(exc)


def test_other_exceptions_still_mean_unusable():
    index = PyMetadataIndex()
    assert index.batch_add([{"memory_id": "m", "importance": Raiser(ValueError)}]) == 1
    assert index.search_strict({"subjects": RaisingLen(LookupError), "limit": Raiser(TypeError)}) == ["m"]


@pytest.fixture
def two_users():
    index = PyMetadataIndex()
    index.batch_add([
        {"memory_id": "a", "user_id": "alice", "memory_type": "t", "created_at": 2.0},
        {"memory_id": "b", "user_id": "bob", "memory_type": "t", "created_at": 1.0},
    ])
    return index


@pytest.mark.parametrize("search", ["search_strict", "search_flexible"])
@pytest.mark.parametrize(
    "user, expected",
    [(b"alice", []), (5, []), ("ali\ud800", []), (["alice"], []), ("alice", ["a"]), (None, ["a", "b"])],
)
def test_unusable_user_filter_matches_nothing(two_users, search, user, expected):
    query = {"user_id": user, "memory_types": ["t"], "created_after": 0.0}
    assert getattr(two_users, search)(query) == expected


@pytest.mark.parametrize(
    "search, query, unknown",
    [
        ("search_strict", {"user": "alice", 3: 1, "limit": 5}, ["'user'", "3"]),
        ("search_flexible", {"keywords": ["x"], "user_id": "alice"}, ["'keywords'"]),
    ],
)
def test_unknown_query_keys_are_warned_about(two_users, search, query, unknown):
    with pytest.warns(UserWarning) as record:
        getattr(two_users, search)(query)
    messages = [str(w.message) for w in record]
    assert len(messages) == len(unknown)
    for message, key in zip(messages, unknown):
        assert f"{search}(): unknown query key {key}" in message
    # The warning can be made an error; the search then does not run.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            getattr(two_users, search)(query)


def test_known_keys_and_batch_add_do_not_warn(two_users):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        full = {"user_id": "alice", "memory_types": ["t"], "subjects": [], "keywords": [],
                "tags": [], "importance_min": 0, "importance_max": 9, "created_after": 0,
                "created_before": 9, "limit": 5}
        assert two_users.search_strict(full) == ["a"]
        flexible = {k: full[k] for k in ("user_id", "memory_types", "subjects", "created_after",
                                         "created_before", "limit")}
        assert two_users.search_flexible(flexible) == ["a"]
        assert two_users.batch_add([{"memory_id": "c", "bogus": 1}]) == 1


@pytest.mark.parametrize("call, message", [
    (lambda: PyMetadataIndex(5), "argument 'path': 'int' object cannot be converted to 'str, bytes or os.PathLike'"),
    (lambda: VideoKeyframeExtractor(verbose=1), "argument 'verbose': 'int' object cannot be converted to 'bool'"),
    (lambda: PyMetadataIndex().search_strict([]), "argument 'params': 'list' object cannot be converted to 'dict'"),
])
def test_conversion_errors_name_python_types(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message

#!/usr/bin/env python3
"""Memory index benchmark: velmar beside a pure-Python dict index, SQLite and DuckDB.

Generates realistic entries (2,000 users, a few hundred memory types, a few
thousand subjects; Zipf-distributed types, subjects, objects, keywords and
tags, so that texts repeat as they do in an agent's memories) and runs the
same work on four implementations of the same semantics, in one process:

  * batch_add throughput (entries/s, in batches of 10,000), and the first
    search after it against a later one (what the fill left undone),
  * search_strict latency of every strict query for the heaviest user, a
    user holding about 3% of the entries and a user holding about five,
    and over all users; search_flexible latency (median of rounds; a round
    of a sub-millisecond query is the mean of as many calls as fill a
    millisecond). Every side must return the same identifiers: a query on
    which they differ is marked, and fails the run,
  * get of one entry and get_many of 100 (beside SQLite's primary key),
  * delete_where of the heaviest user (beside SQLite's DELETE by index),
  * RSS per entry against the index file's bytes per entry,
  * save and load throughput (MB/s of index file) beside orjson dumping
    and parsing the same entries.

The rows of methods the module does not have yet read "n/a".

Users follow one of two laws (--users): "skewed", a Pareto law of shape
1.2 under which one user holds 57% of the entries, a few hold a few
percent and the long tail a handful each; or "uniform", every user alike.
The default, "both", runs each in a fresh process, one after the other.

    .venv/bin/python bench/bench_memory.py                 # 1,000,000 entries, both laws
    .venv/bin/python bench/bench_memory.py --entries 100000 --users skewed --plans

SQLite runs in memory with, for each query, the index that serves it best
(user, type and time for a user's entries of a type newest first; user and
time; type and time; time; tag), and ANALYZE run after the fill so that its
planner knows how skewed the users are; --plans prints the plan it picks.
The loose subject and keyword matches cannot use an index on any side.
DuckDB runs in memory with its defaults. DuckDB is filled in bulk from CSV
files, since inserting row by row would take it hours: its batch_add figure
is that bulk load and is not comparable with the others.

orjson and duckdb, the benchmark's own dependencies, are installed into the
running interpreter on first use.

At 10,000,000 entries the generated dicts would not fit in memory with the
indexes: --stream makes them a batch at a time and hands each batch to
every side in turn, keeps none, and leaves out the pure-Python index,
DuckDB and orjson. SQLite then keeps its tables in a file that it reads
through a memory map, as fast as in memory while the system's cache holds
it (--no-sqlite for velmar alone).

    .venv/bin/python bench/bench_memory.py --entries 10000000 --stream --users skewed
"""

import argparse
import bisect
import csv
import gc
import importlib
import itertools
import json
import operator
import os
import random
import resource
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import time


def ensure(module):
    try:
        return importlib.import_module(module)
    except ImportError:
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", module])
    return importlib.import_module(module)


orjson = ensure("orjson")
from velmar.memory import PyMetadataIndex  # noqa: E402

BATCH = 10_000
IO_RUNS = 3
# The shortest round of latency(): a query faster than this runs many times.
ROUND_SECONDS = 0.001
NOW = 1_760_000_000.0
DAY = 86_400.0

# ------------------------------------------------------------------ the data

SYLLABLES = ("ka ri to me na lo su vi de pa mo ne ra ti lu be co fa gu ha "
             "jo ke li ma no pe qu sa te vo wa xe yo zu an el in or ul").split()
ACCENTED = ["é", "ü", "ö", "ñ", "ø", "ç", "ß"]


def word(rng, parts):
    w = "".join(rng.choice(SYLLABLES) for _ in range(parts))
    if rng.random() < 0.05:
        i = rng.randrange(len(w))
        w = w[:i] + rng.choice(ACCENTED) + w[i + 1:]
    return w


def vocabulary(rng, count, parts, capitalise=0.0, words=1):
    seen, out = set(), []
    while len(out) < count:
        v = " ".join(word(rng, parts) for _ in range(words))
        if rng.random() < capitalise:
            v = v.title()
        if v not in seen:
            seen.add(v)
            out.append(v)
    return out


class Zipf:
    def __init__(self, rng, items, s=1.1):
        self.rng, self.items = rng, items
        self.cum = list(itertools.accumulate(1.0 / (r + 1) ** s for r in range(len(items))))

    def take(self, k):
        return self.rng.choices(self.items, cum_weights=self.cum, k=k)

    def one(self):
        return self.items[bisect.bisect(self.cum, self.rng.random() * self.cum[-1])]


USERS = 2000
# Pareto shape of the skewed users: the rank of an entry's user is the whole
# part of a Pareto(1.2) draw less one, so user 0 holds 1 - 2**-1.2 = 57% of
# the entries, user 4 about 3%, and most of the 2,000 a handful each or none.
PARETO_SHAPE = 1.2


def vocabularies(rng):
    v = {
        "users": [f"user_{i:04d}" for i in range(USERS)],
        "types": vocabulary(rng, 300, 3),
        "subjects": vocabulary(rng, 4000, 2, capitalise=0.4, words=2),
        "objects": vocabulary(rng, 3000, 3),
        "keywords": vocabulary(rng, 2000, 2),
        "tags": vocabulary(rng, 200, 2),
    }
    return v, {k: Zipf(rng, items) for k, items in v.items()}


def draw_users(rng, users, mode, n):
    names = users.items
    if mode == "uniform":
        return [names[rng.randrange(USERS)] for _ in range(n)]
    out = []
    for _ in range(n):
        rank = int(rng.paretovariate(PARETO_SHAPE)) - 1
        while rank >= USERS:
            rank = int(rng.paretovariate(PARETO_SHAPE)) - 1
        out.append(names[rank])
    return out


def make_entries(rng, z, first, n, mode):
    pools = {k: iter(z[k].take(n * 3)) for k in ("subjects", "objects", "keywords", "tags")}
    users, types = draw_users(rng, z["users"], mode, n), z["types"].take(n)
    entries = []
    for i in range(n):
        e = {
            "memory_id": f"mem-{first + i:08x}-{rng.getrandbits(32):08x}",
            "user_id": users[i],
            "memory_type": types[i],
            "subjects": [next(pools["subjects"]) for _ in range(rng.randint(1, 3))],
            "objects": [next(pools["objects"]) for _ in range(rng.randint(0, 2))],
            "keywords": [next(pools["keywords"]) for _ in range(rng.randint(1, 4))],
            "tags": [next(pools["tags"]) for _ in range(rng.randint(0, 3))],
            "importance": rng.randint(0, 10),
            "confidence": rng.randint(50, 100),
            "created_at": NOW - rng.random() * 730 * DAY,
            "access_count": rng.randint(0, 50),
        }
        if rng.random() < 0.7:
            e["chat_id"] = f"chat-{rng.getrandbits(40):010x}"
        if rng.random() < 0.8:
            e["content_preview"] = " ".join(word(rng, 2) for _ in range(rng.randint(4, 14)))
        entries.append(e)
    return entries


class Profile:
    """How many entries each user holds, one sample entry per user (the
    first with a tag, else the first) and a sample of identifiers: what the
    queries and lookups are made from."""

    def __init__(self, seed):
        self.counts, self.samples, self.ids = {}, {}, []
        self.rng = random.Random(seed)
        self.seen = 0

    def observe(self, batch):
        for e in batch:
            u = e["user_id"]
            self.counts[u] = self.counts.get(u, 0) + 1
            if u not in self.samples or (e["tags"] and not self.samples[u]["tags"]):
                self.samples[u] = e
            # Reservoir sampling: 1,000 identifiers drawn evenly from all.
            self.seen += 1
            if len(self.ids) < 1000:
                self.ids.append(e["memory_id"])
            else:
                j = self.rng.randrange(self.seen)
                if j < 1000:
                    self.ids[j] = e["memory_id"]

    def users(self, n):
        """(label, user) of the heaviest user, the one closest to 3% of the
        entries and the one closest to five entries."""
        ranked = sorted(self.counts.items(), key=lambda kv: (-kv[1], kv[0]))
        heavy = ranked[0][0]
        mid = min(ranked[1:], key=lambda kv: (abs(kv[1] - 0.03 * n), kv[0]))[0]
        tail = min((kv for kv in ranked[1:] if kv[0] != mid),
                   key=lambda kv: (abs(kv[1] - 5), kv[0]))[0]
        return [(f"{label} {100 * self.counts[u] / n:.2g}%", u)
                for label, u in (("heavy", heavy), ("mid", mid), ("tail", tail))]


def generate(n, seed, mode):
    rng = random.Random(seed)
    v, z = vocabularies(rng)
    entries = make_entries(rng, z, 0, n, mode)
    profile = Profile(seed)
    profile.observe(entries)
    return entries, z, profile


def generate_batches(n, seed, mode):
    """The same kind of data made a batch at a time, for sizes whose dicts
    would not fit in memory at once (not the same entries as generate)."""
    rng = random.Random(seed)
    v, z = vocabularies(rng)
    profile = Profile(seed)

    def batches():
        for first in range(0, n, BATCH):
            batch = make_entries(rng, z, first, min(BATCH, n - first), mode)
            profile.observe(batch)
            yield batch

    return batches(), z, profile


def queries(z, rng, users, samples):
    """The strict and flexible queries: each strict query for every user
    of `users` (with terms taken from that user's sample entry, so that the
    small users have hits), and the queries over all users."""
    def cased(s):
        return rng.choice([s, s.upper(), s.lower()])

    recent = NOW - 60 * DAY
    strict, flexible = [], []
    for label, u in users:
        s = samples[u]
        tag = s["tags"][0] if s["tags"] else z["tags"].one()
        strict += [
            (f"user + type ({label})", {"user_id": u, "memory_types": [s["memory_type"]],
                                        "limit": 20}),
            (f"user + subject ({label})", {"user_id": u, "subjects": [cased(s["subjects"][0])],
                                           "limit": 50}),
            (f"user + types + tag ({label})", {"user_id": u, "memory_types": [
                s["memory_type"], z["types"].one()], "tags": [tag], "created_after": recent}),
            (f"user, 100 newest ({label})", {"user_id": u}),
            (f"user + keyword + imp ({label})", {"user_id": u, "keywords": [s["keywords"][0]],
                                                 "importance_min": 7}),
        ]
        flexible.append((f"user + subjects + window ({label})", {
            "user_id": u, "subjects": [s["subjects"][0], z["subjects"].one()],
            "created_after": recent}))
    strict += [
        ("subject (any case)", {"subjects": [cased(z["subjects"].one())], "limit": 50}),
        ("types + tag + window", {"memory_types": [z["types"].one(), z["types"].one()],
                                  "tags": [z["tags"].one()], "created_after": recent}),
        ("100 newest", {}),
        ("keyword + importance", {"keywords": [z["keywords"].one()], "importance_min": 7}),
    ]
    flexible += [
        ("type + subject", {"memory_types": [z["types"].one()],
                            "subjects": [cased(z["subjects"].one())]}),
        ("types + partial subject", {"memory_types": [z["types"].one(), z["types"].one()],
                                     "subjects": [z["subjects"].one().split()[0]], "limit": 20}),
    ]
    return strict, flexible


# ------------------------------------------------- pure-Python implementation


def text(v):
    return v if isinstance(v, str) else ""


def text_list(v):
    if isinstance(v, str):
        return [v]
    if isinstance(v, list):
        return [x for x in v if isinstance(x, str)]
    return []


def bounded(v, top, default):
    try:
        i = operator.index(v)
    except TypeError:
        return default
    return i if 0 <= i <= top else default


def timestamp(v):
    try:
        f = float(v)
    except (TypeError, ValueError, OverflowError):
        return time.time()
    return f if f == f and abs(f) != float("inf") else time.time()


def entry_from_dict(d):
    memory_id = text(d.get("memory_id"))
    if not memory_id:
        return None
    chat, preview = d.get("chat_id"), d.get("content_preview")
    return {
        "memory_id": memory_id,
        "user_id": text(d.get("user_id")),
        "memory_type": text(d.get("memory_type")),
        "subjects": text_list(d.get("subjects")),
        "objects": text_list(d.get("objects")),
        "keywords": text_list(d.get("keywords")),
        "tags": text_list(d.get("tags")),
        "importance": bounded(d.get("importance", 2), 255, 2),
        "confidence": bounded(d.get("confidence", 2), 255, 2),
        "created_at": timestamp(d["created_at"]) if "created_at" in d else time.time(),
        "access_count": bounded(d.get("access_count", 0), 2**32 - 1, 0),
        "chat_id": chat if isinstance(chat, str) else None,
        "content_preview": preview if isinstance(preview, str) else None,
    }


def either_contains(a, b):
    return a in b or b in a


class DictIndex:
    """The same semantics in plain Python: dicts keyed by text, with
    insertion-ordered dicts as the identifier lists."""

    def __init__(self):
        self.entries = {}
        self.lower = {}
        self.indexes = {k: {} for k in ("memory_type", "subjects", "keywords", "tags")}

    def _keys(self, e):
        yield self.indexes["memory_type"], (e["memory_type"],)
        for k in ("subjects", "keywords", "tags"):
            yield self.indexes[k], e[k]

    def batch_add(self, items):
        if not isinstance(items, list):
            return 0
        count = 0
        for d in items:
            if not isinstance(d, dict):
                continue
            e = entry_from_dict(d)
            if e is None:
                continue
            mid = e["memory_id"]
            old = self.entries.get(mid)
            if old is not None:
                for index, keys in self._keys(old):
                    for key in keys:
                        ids = index.get(key)
                        if ids is not None:
                            ids.pop(mid, None)
            self.entries[mid] = e
            self.lower[mid] = ([s.lower() for s in e["subjects"]],
                               [s.lower() for s in e["objects"]],
                               [s.lower() for s in e["keywords"]])
            for index, keys in self._keys(e):
                for key in keys:
                    if key:
                        index.setdefault(key, {})[mid] = None
            count += 1
        return count

    def search_strict(self, q):
        subjects = [s.lower() for s in q.get("subjects", [])]
        keywords = [s.lower() for s in q.get("keywords", [])]
        types, tags = q.get("memory_types"), set(q.get("tags", ()))
        user, after, before = q.get("user_id"), q.get("created_after"), q.get("created_before")
        imin, imax = q.get("importance_min"), q.get("importance_max")
        kept = []
        for e in list(self.entries.values()):
            if user is not None and e["user_id"] != user:
                continue
            if types and e["memory_type"] not in types:
                continue
            if tags and not tags.intersection(e["tags"]):
                continue
            if imin is not None and e["importance"] < imin:
                continue
            if imax is not None and e["importance"] > imax:
                continue
            if after is not None and after > e["created_at"]:
                continue
            if before is not None and e["created_at"] > before:
                continue
            low = self.lower[e["memory_id"]]
            if subjects and not any(either_contains(s, t) for s in low[0] for t in subjects):
                continue
            if keywords and not any(either_contains(s, t) for s in low[2] for t in keywords):
                continue
            kept.append(e)
        kept.sort(key=lambda e: -e["created_at"])
        return [e["memory_id"] for e in kept[: q.get("limit", 100)]]

    def search_flexible(self, q):
        f32 = struct.Struct("f")

        def single(x):
            return f32.unpack(f32.pack(x))[0]

        subjects = [s.lower() for s in q.get("subjects", [])]
        types = q.get("memory_types", [])
        user, after, before = q.get("user_id"), q.get("created_after"), q.get("created_before")
        bonus = 1.0 if after is not None or before is not None else 0.0
        kept = []
        for e in list(self.entries.values()):
            if user is not None and e["user_id"] != user:
                continue
            if after is not None and after > e["created_at"]:
                continue
            if before is not None and e["created_at"] > before:
                continue
            t = e["memory_type"]
            ts = 0.0
            for qt in types:
                if t == qt:
                    ts = 1.0
                    break
                if either_contains(t, qt):
                    ts = 0.5
                    break
            low = self.lower[e["memory_id"]]
            ss = 0.0
            for qs in subjects:
                for es in low[0]:
                    if es == qs:
                        ss = 1.0
                    elif either_contains(es, qs):
                        ss = 0.6
                    else:
                        continue
                    break
                if ss:
                    break
            os_ = 0.8 if any(either_contains(o, qs) for o in low[1] for qs in subjects) else 0.0
            score = single(single(single(single(ts) + single(ss)) + single(os_)) + bonus)
            if score >= 2.0:
                kept.append((score, e["created_at"], e["memory_id"]))
        kept.sort(key=lambda k: (-k[0], -k[1]))
        return [k[2] for k in kept[: q.get("limit", 100)]]


    def get(self, memory_id):
        return self.entries.get(memory_id)

    def get_many(self, memory_ids):
        entries = self.entries
        return [entries[m] for m in memory_ids if m in entries]

    def delete_where(self, params):
        """Removes every entry of params["user_id"] (the only condition the
        bench deletes by) and returns their number."""
        user = params["user_id"]
        gone = [mid for mid, e in self.entries.items() if e["user_id"] == user]
        for mid in gone:
            e = self.entries.pop(mid)
            del self.lower[mid]
            for index, keys in self._keys(e):
                for key in keys:
                    ids = index.get(key)
                    if ids is not None:
                        ids.pop(mid, None)
        return len(gone)


# ------------------------------------------------------------------- SQLite


def strict_sql(q, loose, sqlite=False):
    """A strict query as SQL over the tables of SqliteIndex and DuckIndex,
    with loose(table, lowercase terms) giving the loose-match condition."""
    where, args = [], []
    if "user_id" in q:
        where.append("e.user_id = ?")
        args.append(q["user_id"])
    if q.get("memory_types"):
        where.append(f"e.memory_type IN ({','.join('?' * len(q['memory_types']))})")
        args += q["memory_types"]
    for key in ("subjects", "keywords"):
        if q.get(key):
            cond, cond_args = loose(key, [t.lower() for t in q[key]])
            where.append(cond)
            args += cond_args
    if q.get("tags"):
        # A set built once from the tag index, rather than a lookup per row.
        # With a user or types to go by, SQLite's unary + keeps its planner
        # from driving the query by that set: ANALYZE cannot tell a common
        # tag from a rare one, and walking every entry of a common tag by
        # primary key is far slower than the (user or) type and time
        # index with the tag checked per row.
        probe = "+" if sqlite and (q.get("user_id") is not None or q.get("memory_types")) else ""
        where.append(f"{probe}e.memory_id IN (SELECT memory_id FROM tags "
                     f"WHERE tag IN ({','.join('?' * len(q['tags']))}))")
        args += q["tags"]
    for key, cond in (("importance_min", "e.importance >= ?"),
                      ("importance_max", "e.importance <= ?"),
                      ("created_after", "e.created_at >= ?"),
                      ("created_before", "e.created_at <= ?")):
        if key in q:
            where.append(cond)
            args.append(q[key])
    sql = (f"SELECT memory_id FROM entries e {'WHERE ' + ' AND '.join(where) if where else ''}"
           f" ORDER BY e.created_at DESC LIMIT ?")
    return sql, args + [q.get("limit", 100)]


def flexible_where(q):
    """The hard conditions of a flexible query: SQL conditions and their arguments."""
    conds = {"user_id": "e.user_id = ?", "created_after": "e.created_at >= ?",
             "created_before": "e.created_at <= ?"}
    keys = [k for k in conds if k in q]
    return [conds[k] for k in keys], [q[k] for k in keys]


class SqliteIndex:
    LISTS = ("subjects", "objects", "keywords", "tags")

    def __init__(self, path=":memory:"):
        self.db = sqlite3.connect(path)
        if path != ":memory:":
            # A file too large for memory beside the others, read through a
            # memory map of the system's cache as an in-memory one would be,
            # and written without a journal or syncs, as :memory: is.
            self.db.executescript("PRAGMA mmap_size = 1099511627776; PRAGMA journal_mode = OFF; "
                                  "PRAGMA synchronous = OFF; PRAGMA cache_size = -1048576;")
        self.db.create_function("contains_either", 2, lambda a, b: a in b or b in a,
                                deterministic=True)
        self.db.executescript("""
            CREATE TABLE entries(memory_id TEXT PRIMARY KEY, user_id TEXT, memory_type TEXT,
                importance INT, confidence INT, created_at REAL, access_count INT,
                chat_id TEXT, content_preview TEXT, lists TEXT);
            CREATE TABLE subjects(memory_id TEXT, pos INT, lower TEXT);
            CREATE TABLE objects(memory_id TEXT, lower TEXT);
            CREATE TABLE keywords(memory_id TEXT, lower TEXT);
            CREATE TABLE tags(memory_id TEXT, tag TEXT);
            CREATE INDEX entries_user_type_time ON entries(user_id, memory_type, created_at);
            CREATE INDEX entries_user_time ON entries(user_id, created_at);
            CREATE INDEX entries_type_time ON entries(memory_type, created_at);
            CREATE INDEX entries_time ON entries(created_at);
            CREATE INDEX subjects_id ON subjects(memory_id);
            CREATE INDEX objects_id ON objects(memory_id);
            CREATE INDEX keywords_id ON keywords(memory_id);
            CREATE INDEX tags_id ON tags(memory_id);
            CREATE INDEX tags_tag ON tags(tag, memory_id);
        """)

    def analyze(self):
        """Gathers the statistics the planner chooses among the indexes by
        (with skewed users, the user indexes are only sometimes the best)."""
        self.db.execute("ANALYZE")

    def plan(self, q):
        sql, args = strict_sql(q, self._loose, sqlite=True)
        return "; ".join(r[-1] for r in self.db.execute("EXPLAIN QUERY PLAN " + sql, args))

    ROW = ("SELECT memory_id, user_id, memory_type, lists, importance, confidence, created_at, "
           "access_count, chat_id, content_preview FROM entries")

    @staticmethod
    def _entry(r):
        subjects, objects, keywords, tags = orjson.loads(r[3])
        return {"memory_id": r[0], "user_id": r[1], "memory_type": r[2], "subjects": subjects,
                "objects": objects, "keywords": keywords, "tags": tags, "importance": r[4],
                "confidence": r[5], "created_at": r[6], "access_count": r[7], "chat_id": r[8],
                "content_preview": r[9]}

    def get(self, memory_id):
        r = self.db.execute(self.ROW + " WHERE memory_id = ?", (memory_id,)).fetchone()
        return None if r is None else self._entry(r)

    def get_many(self, memory_ids):
        found = {}
        for i in range(0, len(memory_ids), 500):
            part = memory_ids[i:i + 500]
            sql = f"{self.ROW} WHERE memory_id IN ({','.join('?' * len(part))})"
            found.update((r[0], r) for r in self.db.execute(sql, part))
        return [self._entry(found[m]) for m in memory_ids if m in found]

    def delete_where(self, params):
        """Removes every entry of params["user_id"], list rows first, in one
        transaction; returns the number of entries removed."""
        user = params["user_id"]
        with self.db:
            for table in self.LISTS:
                self.db.execute(f"DELETE FROM {table} WHERE memory_id IN "
                                f"(SELECT memory_id FROM entries WHERE user_id = ?)", (user,))
            return self.db.execute("DELETE FROM entries WHERE user_id = ?", (user,)).rowcount

    def batch_add(self, items):
        rows, subj, obj, kw, tg = [], [], [], [], []
        for d in items:
            e = entry_from_dict(d) if isinstance(d, dict) else None
            if e is None:
                continue
            mid = e["memory_id"]
            rows.append((mid, e["user_id"], e["memory_type"], e["importance"], e["confidence"],
                         e["created_at"], e["access_count"], e["chat_id"], e["content_preview"],
                         json.dumps([e[k] for k in self.LISTS])))
            subj += [(mid, i, s.lower()) for i, s in enumerate(e["subjects"])]
            obj += [(mid, s.lower()) for s in e["objects"]]
            kw += [(mid, s.lower()) for s in e["keywords"]]
            tg += [(mid, t) for t in dict.fromkeys(e["tags"]) if t]
        with self.db:
            ids = [(r[0],) for r in rows]
            for table in self.LISTS:
                self.db.executemany(f"DELETE FROM {table} WHERE memory_id = ?", ids)
            self.db.executemany("INSERT OR REPLACE INTO entries VALUES (?,?,?,?,?,?,?,?,?,?)", rows)
            self.db.executemany("INSERT INTO subjects VALUES (?,?,?)", subj)
            self.db.executemany("INSERT INTO objects VALUES (?,?)", obj)
            self.db.executemany("INSERT INTO keywords VALUES (?,?)", kw)
            self.db.executemany("INSERT INTO tags VALUES (?,?)", tg)
        return len(rows)

    @staticmethod
    def _loose(table, terms):
        cond = " OR ".join("contains_either(x.lower, ?)" for _ in terms)
        return (f"EXISTS (SELECT 1 FROM {table} x WHERE x.memory_id = e.memory_id "
                f"AND ({cond}))", terms)

    def search_strict(self, q):
        sql, args = strict_sql(q, self._loose, sqlite=True)
        return [r[0] for r in self.db.execute(sql, args)]

    def search_flexible(self, q):
        args = []
        type_cases = []
        for t in q.get("memory_types", []):
            type_cases.append("WHEN e.memory_type = ? THEN 1.0 "
                              "WHEN contains_either(e.memory_type, ?) THEN 0.5")
            args += [t, t]
        type_score = f"(CASE {' '.join(type_cases)} ELSE 0.0 END)" if type_cases else "0.0"
        subjects = [s.lower() for s in q.get("subjects", [])]
        subject_parts = []
        for s in subjects:
            subject_parts.append(
                "(SELECT CASE WHEN x.lower = ? THEN 1.0 ELSE 0.6 END FROM subjects x "
                "WHERE x.memory_id = e.memory_id AND contains_either(x.lower, ?) "
                "ORDER BY x.pos LIMIT 1)")
            args += [s, s]
        subject_score = f"COALESCE({', '.join(subject_parts)}, 0.0)" if subjects else "0.0"
        object_score = "0.0"
        if subjects:
            cond = " OR ".join("contains_either(x.lower, ?)" for _ in subjects)
            object_score = (f"(CASE WHEN EXISTS (SELECT 1 FROM objects x WHERE "
                            f"x.memory_id = e.memory_id AND ({cond})) THEN 0.8 ELSE 0.0 END)")
            args += subjects
        timed = "created_after" in q or "created_before" in q
        where, where_args = flexible_where(q)
        sql = (f"SELECT memory_id, score FROM (SELECT e.memory_id, e.created_at, "
               f"{type_score} + {subject_score} + {object_score} + {1.0 if timed else 0.0} "
               f"AS score FROM entries e {'WHERE ' + ' AND '.join(where) if where else ''}) "
               f"WHERE score >= 1.99999 ORDER BY score DESC, created_at DESC LIMIT ?")
        return [r[0] for r in self.db.execute(sql, args + where_args + [q.get("limit", 100)])]


# ------------------------------------------------------------------- DuckDB


class DuckIndex:
    """The SQLite schema and queries in DuckDB, with its contains() for the
    loose matches."""

    def __init__(self):
        duckdb = ensure("duckdb")
        self.db = duckdb.connect(":memory:")
        self.tmp = tempfile.TemporaryDirectory()

    def load(self, entries):
        """Fills the tables in bulk from CSV files (the whole data set at once)."""
        files = {t: open(os.path.join(self.tmp.name, t + ".csv"), "w", newline="")
                 for t in ("entries", "subjects", "objects", "keywords", "tags")}
        out = {t: csv.writer(f) for t, f in files.items()}
        latest = {}
        for d in entries:
            e = entry_from_dict(d) if isinstance(d, dict) else None
            if e is not None:
                latest[e["memory_id"]] = e
        for mid, e in latest.items():
            out["entries"].writerow((mid, e["user_id"], e["memory_type"], e["importance"],
                                     e["confidence"], repr(e["created_at"]), e["access_count"]))
            out["subjects"].writerows((mid, i, s.lower()) for i, s in enumerate(e["subjects"]))
            out["objects"].writerows((mid, s.lower()) for s in e["objects"])
            out["keywords"].writerows((mid, s.lower()) for s in e["keywords"])
            out["tags"].writerows((mid, t) for t in dict.fromkeys(e["tags"]) if t)
        for f in files.values():
            f.close()
        columns = {
            "entries": "{'memory_id':'VARCHAR','user_id':'VARCHAR','memory_type':'VARCHAR',"
                       "'importance':'INTEGER','confidence':'INTEGER','created_at':'DOUBLE',"
                       "'access_count':'BIGINT'}",
            "subjects": "{'memory_id':'VARCHAR','pos':'INTEGER','lower':'VARCHAR'}",
            "objects": "{'memory_id':'VARCHAR','lower':'VARCHAR'}",
            "keywords": "{'memory_id':'VARCHAR','lower':'VARCHAR'}",
            "tags": "{'memory_id':'VARCHAR','tag':'VARCHAR'}",
        }
        for table, cols in columns.items():
            path = os.path.join(self.tmp.name, table + ".csv")
            self.db.execute(f"CREATE TABLE {table} AS SELECT * FROM read_csv('{path}', "
                            f"header=false, quote='\"', escape='\"', columns={cols})")
        return len(latest)

    def delete_where(self, params):
        user = params["user_id"]
        self.db.execute("BEGIN TRANSACTION")
        for table in ("subjects", "objects", "keywords", "tags"):
            self.db.execute(f"DELETE FROM {table} WHERE memory_id IN "
                            f"(SELECT memory_id FROM entries WHERE user_id = ?)", (user,))
        n = self.db.execute("DELETE FROM entries WHERE user_id = ?", (user,)).fetchone()[0]
        self.db.execute("COMMIT")
        return n

    def search_strict(self, q):
        def loose(table, terms):
            cond = " OR ".join("contains(x.lower, ?) OR contains(?, x.lower)" for _ in terms)
            return (f"e.memory_id IN (SELECT memory_id FROM {table} x WHERE {cond})",
                    [t for t in terms for _ in (0, 1)])

        sql, args = strict_sql(q, loose)
        return [r[0] for r in self.db.execute(sql, args).fetchall()]

    def search_flexible(self, q):
        args = []
        type_cases = []
        for t in q.get("memory_types", []):
            type_cases.append("WHEN e.memory_type = ? THEN 1.0 WHEN contains(e.memory_type, ?) "
                              "OR contains(?, e.memory_type) THEN 0.5")
            args += [t, t, t]
        type_score = f"(CASE {' '.join(type_cases)} ELSE 0.0 END)" if type_cases else "0.0"
        subjects = [s.lower() for s in q.get("subjects", [])]
        ctes, cte_args, joins, parts = [], [], [], []
        if subjects:
            # First matching (query subject, entry subject) pair decides.
            cases = " ".join(f"WHEN contains(x.lower, ?) OR contains(?, x.lower) THEN {i}"
                             for i in range(len(subjects)))
            exact = " ".join(f"WHEN {i} THEN x.lower = ?" for i in range(len(subjects)))
            ctes.append(
                f"s AS (SELECT memory_id, arg_min(CASE WHEN ex THEN 1.0 ELSE 0.6 END, "
                f"qi * 1000 + pos) AS score FROM (SELECT x.memory_id, x.pos, "
                f"(CASE {cases} END) AS qi, (CASE (CASE {cases} END) {exact} END) AS ex "
                f"FROM subjects x) WHERE qi IS NOT NULL GROUP BY memory_id)")
            cte_args += [s for s in subjects for _ in (0, 1)] * 2 + subjects
            cond = " OR ".join("contains(x.lower, ?) OR contains(?, x.lower)" for _ in subjects)
            ctes.append(f"o AS (SELECT DISTINCT memory_id FROM objects x WHERE {cond})")
            cte_args += [s for s in subjects for _ in (0, 1)]
            joins = ["LEFT JOIN s ON s.memory_id = e.memory_id",
                     "LEFT JOIN o ON o.memory_id = e.memory_id"]
            parts = ["COALESCE(s.score, 0.0)",
                     "(CASE WHEN o.memory_id IS NULL THEN 0.0 ELSE 0.8 END)"]
        timed = "created_after" in q or "created_before" in q
        where, where_args = flexible_where(q)
        score = " + ".join([type_score] + parts + [str(1.0 if timed else 0.0)])
        sql = (f"{'WITH ' + ', '.join(ctes) if ctes else ''} SELECT memory_id FROM "
               f"(SELECT e.memory_id, e.created_at, {score} AS score FROM entries e "
               f"{' '.join(joins)} {'WHERE ' + ' AND '.join(where) if where else ''}) "
               f"WHERE score >= 1.99999 ORDER BY score DESC, created_at DESC LIMIT ?")
        return [r[0] for r in
                self.db.execute(sql, cte_args + args + where_args + [q.get("limit", 100)]).fetchall()]


# --------------------------------------------------------------------- runs


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def add_all(index, entries):
    total = 0
    for i in range(0, len(entries), BATCH):
        total += index.batch_add(entries[i:i + BATCH])
    return total


def latency(fn, q, repeat):
    """Median over `repeat` rounds of the time per call. A round of a query
    that takes under a millisecond calls it again and again for about that
    long and takes the mean, as timeit does: one call of a few microseconds
    is below what a single reading of the clock can tell apart from noise."""
    times = []
    for _ in range(repeat):
        calls = 0
        start = time.perf_counter()
        while True:
            result = fn(q)
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= ROUND_SECONDS:
                break
        times.append(elapsed / calls)
    return statistics.median(times), result


def row(label, *cells):
    print(f"  {label:<40}" + "".join(f"{c:>14}" for c in cells))


def ms(t):
    return "n/a" if t is None else f"{t * 1e3:,.2f}"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def loaded_rss(path):
    """The RSS an index loaded from path adds to a fresh process: free of
    whatever this process freed earlier and could reuse."""
    code = ("import os, sys, velmar\n"
            "def rss():\n"
            "    with open('/proc/self/statm') as f:\n"
            "        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')\n"
            "before = rss()\n"
            "index = velmar.memory.PyMetadataIndex(sys.argv[1])\n"
            "print(rss() - before)\n")
    return int(subprocess.check_output([sys.executable, "-c", code, path]))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--users", choices=("skewed", "uniform", "both"), default="both",
                        help="how entries are spread over the 2,000 users: a Pareto law "
                             "(one user holds over half), evenly, or one run of each")
    parser.add_argument("--repeat", type=int, default=5, help="runs per velmar query")
    parser.add_argument("--plans", action="store_true",
                        help="print the plan SQLite picks for each strict query")
    parser.add_argument("--no-python", action="store_true", help="skip the pure-Python index")
    parser.add_argument("--no-sqlite", action="store_true", help="skip SQLite")
    parser.add_argument("--no-duckdb", action="store_true", help="skip DuckDB")
    parser.add_argument("--stream", action="store_true",
                        help="make the entries batch by batch and keep none (for 10M and up): "
                             "each batch goes to every side in turn; SQLite keeps its tables in "
                             "a file (memory-mapped); no pure-Python index, DuckDB or orjson")
    args = parser.parse_args()
    if args.stream:
        args.no_python = args.no_duckdb = True
    return args


def main():
    args = parse_args()
    if args.users != "both":
        return Run(args).run()
    # Each law of users in a fresh process: the first run's data and
    # indexes would otherwise still weigh on the second's memory figures.
    rc = 0
    for mode in ("skewed", "uniform"):
        sys.stdout.flush()
        rc |= subprocess.run([sys.executable, sys.argv[0], *sys.argv[1:],
                              "--users", mode]).returncode
    return rc


class Run:
    """One run of the bench over one data set, section by section."""

    def __init__(self, args):
        self.args = args
        self.n = args.entries
        self.differ = []
        self.slowest = {}

    def run(self):
        args = self.args
        print(f"generating {self.n:,} entries, {args.users} users ...", flush=True)
        if args.stream:
            self.batches, self.z, self.profile = generate_batches(self.n, args.seed, args.users)
            self.entries = None
        else:
            self.entries, self.z, self.profile = generate(self.n, args.seed, args.users)
        self.strict = None
        gc.collect()
        gc.freeze()  # the generated data is not garbage; spare every side the scans

        tmp = tempfile.TemporaryDirectory()
        self.path = os.path.join(tmp.name, "index.json")
        self.impls = [("velmar", PyMetadataIndex(self.path))]
        if not args.no_python:
            self.impls.append(("python dict", DictIndex()))
        if not args.no_sqlite:
            self.impls.append(("sqlite3", SqliteIndex(
                os.path.join(tmp.name, "sqlite.db") if args.stream else ":memory:")))
        if not args.no_duckdb:
            self.impls.append(("duckdb", DuckIndex()))
        self.names = [n for n, _ in self.impls]
        self.peers = [n for n in ("sqlite3", "duckdb") if n in self.names]

        self.fill()
        self.searches()
        self.lookups()
        self.persist()
        report_end(self.slowest)
        tmp.cleanup()
        if self.differ:
            print(f"\nFAILED: the sides disagree on {', '.join(self.differ)}")
            return 1
        return 0

    def make_queries(self):
        self.users = self.profile.users(self.n)
        self.strict, self.flexible = queries(self.z, random.Random(self.args.seed + 1),
                                             self.users, self.profile.samples)

    def fill_one(self, name, index):
        if name == "duckdb":
            return timed(index.load, self.entries)
        return timed(add_all, index, self.entries)

    def fill_streamed(self):
        """Each batch, made once, to every side in turn: (seconds, entries)
        per side."""
        spent = {name: [0.0, 0] for name, _ in self.impls}
        for batch in self.batches:
            for name, index in self.impls:
                dt, added = timed(index.batch_add, batch)
                spent[name][0] += dt
                spent[name][1] += added
        return spent

    def fill(self):
        print(f"\nbatch_add, batches of {BATCH:,} (entries/s; duckdb: one bulk load from CSV)")
        rates, first = [], {}
        streamed = self.fill_streamed() if self.entries is None else None
        for name, index in self.impls:
            if streamed:
                # RSS growth per batch would undercount here: each batch
                # reuses what the previous batch's dicts freed. The figure
                # comes from a fresh process's load instead (see persist).
                t, n = streamed[name]
            else:
                before = rss_bytes()
                t, n = self.fill_one(name, index)
                if name == "velmar":
                    self.velmar_rss = rss_bytes() - before
            if name == "velmar":
                self.velmar_fill = t
            assert n == self.n, (name, n)
            rates.append(n / t)
            if name == "sqlite3":
                self.analyze = timed(index.analyze)[0]
            if self.strict is None:
                self.make_queries()
            if name != "python dict":
                # The first search pays for whatever the fill left to do.
                first[name] = timed(index.search_strict, self.strict[0][1])[0]
        row("", *self.names)
        row("throughput", *(f"{r:,.0f}" for r in rates))
        if "python dict" in self.names:
            print(f"  velmar / python dict: {rates[0] / rates[1]:.2f}x")
        if "sqlite3" in self.names:
            print(f"  sqlite3: ANALYZE afterwards {self.analyze:.2f} s (not in its figure)")
        if streamed is None:
            print(f"  velmar memory: {self.velmar_rss / self.n:,.0f} bytes of RSS per entry "
                  f"(growth during batch_add)")
        counts = self.profile.counts
        print(f"  users: {len(counts):,} of {USERS:,} hold entries; " + ", ".join(
            f"{label}: {u} ({counts[u]:,})" for label, u in self.users))

        label, q = self.strict[0]
        print(f"\nfirst search after batch_add vs a later one (ms; {label})")
        sides = [n for n in self.names if n in first]
        later = {n: latency(dict(self.impls)[n].search_strict, q, self.args.repeat)[0]
                 for n in sides}
        row("", *sides)
        row("first", *(ms(first[n]) for n in sides))
        row("later (median)", *(ms(later[n]) for n in sides))
        print(f"  velmar: first / later {first['velmar'] / later['velmar']:,.1f}x; "
              f"first search = {100 * first['velmar'] / self.velmar_fill:.1f}% of batch_add")

    def searches(self):
        for title, qs in (("search_strict", self.strict), ("search_flexible", self.flexible)):
            print(f"\n{title} latency (ms, median of {self.args.repeat} rounds)")
            row("query", *self.names, *(f"x {p}" for p in self.peers), "hits")
            for label, q in qs:
                results, times = [], {}
                for name, index in self.impls:
                    t, result = latency(getattr(index, title), q, self.args.repeat)
                    times[name] = t
                    results.append(result)
                self.slowest[f"{title}: {label}"] = times["velmar"]
                # Every side must return the same identifiers in the same order
                # (the generated times have no ties).
                agree = self.agree(f"{title}: {label}", results)
                ratios = [f"{times[p] / times['velmar']:,.1f}" for p in self.peers]
                row(label, *(ms(times[n]) for n in self.names), *ratios,
                    f"{len(results[0])}{'' if agree else ' (differ)'}")
                if self.args.plans and title == "search_strict" and "sqlite3" in self.names:
                    print(f"      sqlite3: {dict(self.impls)['sqlite3'].plan(q)}")

    def agree(self, what, results):
        if all(r == results[0] for r in results[1:]):
            return True
        self.differ.append(what)
        return False

    def lookups(self):
        """get over 1,000 known identifiers, and get_many of 100 of them with
        10 unknown among them, on the sides that have them."""
        ids = list(self.profile.ids)
        many = ids[:90] + [f"missing-{i}" for i in range(10)]
        random.Random(self.args.seed + 2).shuffle(many)
        sides = [(n, i) for n, i in self.impls if hasattr(i, "get")]
        print("\nget and get_many (us per get of a known id; ms per get_many of 100 ids, "
              "10 unknown; sqlite3: primary key lookup)")
        row("", *self.names, *(f"x {p}" for p in self.peers))
        if not sides:
            row("get", *("n/a" for _ in self.names + self.peers))
            return
        for title, work, unit in (
                ("get", lambda f: lambda q: [f(m) for m in q], 1e6 / len(ids)),
                ("get_many", lambda f: f, 1e3)):
            times, results = {}, []
            for name, index in sides:
                q = ids if title == "get" else many
                t, result = latency(work(getattr(index, title)), q, self.args.repeat)
                times[name] = t
                results.append(result)
            agree = self.agree(title, results)
            cells = [f"{times[n] * unit:,.2f}" if n in times else "n/a" for n in self.names]
            ratios = [f"{times[p] / times['velmar']:,.1f}" if p in times and "velmar" in times
                      else "n/a" for p in self.peers]
            row(title + ("" if agree else " (differ)"), *cells, *ratios)

    def persist(self):
        # Each side is timed IO_RUNS times and the median kept: a single run of
        # a second or two swings widely on a busy machine.
        # At 10M entries one run of each takes minutes: once is enough there.
        io_runs = 1 if self.args.stream else IO_RUNS
        velmar_index = self.impls[0][1]
        saves = []
        for _ in range(io_runs):
            t, ok = timed(velmar_index.save)
            assert ok
            saves.append(t)
        t_save = statistics.median(saves)
        size = os.path.getsize(self.path)
        self.delete()
        del self.impls, velmar_index  # room for the reloads
        gc.collect()
        loads = []
        for _ in range(io_runs):
            gc.collect()
            t, loaded = timed(PyMetadataIndex, self.path)
            assert loaded.stats()["total"] == self.n
            del loaded
            loads.append(t)
        t_load = statistics.median(loads)
        rss = loaded_rss(self.path)

        print(f"\nsave and load (MB/s of index file, median of {io_runs})")
        print(f"  file: {size / 1e6:,.1f} MB, {size / self.n:,.0f} bytes per entry; velmar RSS "
              f"after loading it in a fresh process {rss / self.n:,.0f} bytes per entry = "
              f"{rss / size:.2f}x the file")
        if self.entries is None:
            print(f"  save {size / t_save / 1e6:,.0f} MB/s ({t_save:.2f} s, written and synced), "
                  f"load {size / t_load / 1e6:,.0f} MB/s ({t_load:.2f} s, parsed and indexed)")
            return
        # The reference: orjson with the same entries, as converted.
        converted = [entry_from_dict(e) for e in self.entries]
        t_dumps = statistics.median(timed(orjson.dumps, converted)[0] for _ in range(IO_RUNS))
        data = orjson.dumps(converted)
        del converted
        t_loads = statistics.median(timed(orjson.loads, data)[0] for _ in range(IO_RUNS))
        print(f"  orjson: {len(data) / 1e6:,.1f} MB")
        row("", "velmar", "orjson")
        row("save", f"{size / t_save / 1e6:,.0f}", f"{len(data) / t_dumps / 1e6:,.0f}")
        row("load", f"{size / t_load / 1e6:,.0f}", f"{len(data) / t_loads / 1e6:,.0f}")
        print(f"  velmar: save {t_save:.2f} s (written and synced to disk), load {t_load:.2f} s "
              f"(parsed and indexed); orjson: in memory only")

    def delete(self):
        """Forgets the heaviest user on every side that can, once (it cannot
        be repeated), then checks the sides still agree."""
        heavy = self.users[0][1]
        params = {"user_id": heavy}
        print(f"\ndelete_where({{'user_id': heaviest}}) ({self.profile.counts[heavy]:,} entries; "
              f"ms, one run; sqlite3, duckdb: DELETE by index in one transaction)")
        times, counts = {}, {}
        for name, index in self.impls:
            if hasattr(index, "delete_where"):
                times[name], counts[name] = timed(index.delete_where, params)
        row("", *self.names, *(f"x {p}" for p in self.peers))
        ratios = [f"{times[p] / times['velmar']:,.1f}" if p in times and "velmar" in times
                  else "n/a" for p in self.peers]
        row("delete_where", *(ms(times.get(n)) for n in self.names), *ratios)
        if not times:
            return
        if set(counts.values()) != {self.profile.counts[heavy]}:
            self.differ.append(f"delete_where counts {counts}")
        sides = [(n, i) for n, i in self.impls if n in times]
        if "velmar" in times:
            total = dict(sides)["velmar"].stats()["total"]
            if total != self.n - counts["velmar"]:
                self.differ.append(f"velmar total {total} after delete_where")
        for label, q in (("the deleted user", params), ("100 newest", {}),
                         self.strict[5]):
            results = [i.search_strict(q) for _, i in sides]
            if label == "the deleted user" and results[0]:
                self.differ.append("entries of the deleted user remain")
            self.agree(f"after delete_where: {label}", results)


def report_end(slowest):
    worst = max(slowest, key=slowest.get)
    print(f"\nslowest velmar search: {slowest[worst] * 1e3:,.2f} ms ({worst})")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"peak RSS of the whole run: {peak / 1e9:,.2f} GB")


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Memory index benchmark: velmar beside a pure-Python dict index, SQLite and DuckDB.

Generates realistic entries (a few hundred memory types, a few thousand
subjects, Zipf-distributed users, types, subjects, objects, keywords and
tags) and runs the same work on three implementations of the same
semantics, in one process:

  * batch_add throughput (entries/s, in batches of 10,000),
  * search_strict and search_flexible latency for typical queries (median
    of rounds; a round of a sub-millisecond query is the mean of as many
    calls as fill a millisecond),
  * save and load throughput (MB/s of index file); the pure-Python side
    saves and loads the same entries with orjson as the reference.

    .venv/bin/python bench/bench_memory.py                 # 1,000,000 entries
    .venv/bin/python bench/bench_memory.py --entries 100000

SQLite runs in memory with an index on every column a query filters or
orders by; DuckDB runs in memory with its defaults. DuckDB is filled in
bulk from CSV files, since inserting row by row would take it hours: its
batch_add figure is that bulk load and is not comparable with the others.

orjson and duckdb, the benchmark's own dependencies, are installed into the
running interpreter on first use.

    .venv/bin/python bench/bench_memory.py --entries 10000000 --no-python --no-sqlite --no-duckdb
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


def vocabularies(rng):
    v = {
        "users": [f"user_{i:04d}" for i in range(2000)],
        "types": vocabulary(rng, 300, 3),
        "subjects": vocabulary(rng, 4000, 2, capitalise=0.4, words=2),
        "objects": vocabulary(rng, 3000, 3),
        "keywords": vocabulary(rng, 2000, 2),
        "tags": vocabulary(rng, 200, 2),
    }
    return v, {k: Zipf(rng, items) for k, items in v.items()}


def make_entries(rng, z, first, n):
    pools = {k: iter(z[k].take(n * 3)) for k in ("subjects", "objects", "keywords", "tags")}
    users, types = z["users"].take(n), z["types"].take(n)
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


def generate(n, seed):
    rng = random.Random(seed)
    v, z = vocabularies(rng)
    return make_entries(rng, z, 0, n), v, z


def generate_batches(n, seed):
    """The same kind of data made a batch at a time, for sizes whose dicts
    would not fit in memory at once (not the same entries as generate)."""
    rng = random.Random(seed)
    v, z = vocabularies(rng)

    def batches():
        for first in range(0, n, BATCH):
            yield make_entries(rng, z, first, min(BATCH, n - first))

    return batches(), v, z


def queries(z, rng):
    def cased(s):
        return rng.choice([s, s.upper(), s.lower()])

    recent = NOW - 60 * DAY
    strict = [
        ("user + type", {"user_id": z["users"].one(), "memory_types": [z["types"].one()],
                         "limit": 20}),
        ("subject (any case)", {"subjects": [cased(z["subjects"].one())], "limit": 50}),
        ("types + tag + window", {"memory_types": [z["types"].one(), z["types"].one()],
                                  "tags": [z["tags"].one()], "created_after": recent}),
        ("100 newest", {}),
        ("keyword + importance", {"keywords": [z["keywords"].one()], "importance_min": 7}),
    ]
    flexible = [
        ("type + subject", {"memory_types": [z["types"].one()],
                            "subjects": [cased(z["subjects"].one())]}),
        ("user + subjects + window", {"user_id": z["users"].one(),
                                      "subjects": [z["subjects"].one(), z["subjects"].one()],
                                      "created_after": recent}),
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


# ------------------------------------------------------------------- SQLite


def strict_sql(q, loose):
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
        where.append(f"e.memory_id IN (SELECT memory_id FROM tags "
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

    def __init__(self):
        self.db = sqlite3.connect(":memory:")
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
            CREATE INDEX entries_type ON entries(memory_type);
            CREATE INDEX entries_user ON entries(user_id);
            CREATE INDEX entries_time ON entries(created_at);
            CREATE INDEX subjects_id ON subjects(memory_id);
            CREATE INDEX objects_id ON objects(memory_id);
            CREATE INDEX keywords_id ON keywords(memory_id);
            CREATE INDEX tags_id ON tags(memory_id);
            CREATE INDEX tags_tag ON tags(tag);
        """)

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

    def search_strict(self, q):
        def loose(table, terms):
            cond = " OR ".join("contains_either(x.lower, ?)" for _ in terms)
            return (f"EXISTS (SELECT 1 FROM {table} x WHERE x.memory_id = e.memory_id "
                    f"AND ({cond}))", terms)

        sql, args = strict_sql(q, loose)
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
    print(f"  {label:<28}" + "".join(f"{c:>14}" for c in cells))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=5, help="runs per velmar query")
    parser.add_argument("--no-python", action="store_true", help="skip the pure-Python index")
    parser.add_argument("--no-sqlite", action="store_true", help="skip SQLite")
    parser.add_argument("--no-duckdb", action="store_true", help="skip DuckDB")
    parser.add_argument("--stream", action="store_true",
                        help="make the entries batch by batch and keep none (for 10M and up): "
                             "velmar only, no orjson reference")
    args = parser.parse_args()
    if args.stream:
        args.no_python = args.no_sqlite = args.no_duckdb = True

    print(f"generating {args.entries:,} entries ...", flush=True)
    if args.stream:
        batches, _, z = generate_batches(args.entries, args.seed)
        entries = None
    else:
        entries, _, z = generate(args.entries, args.seed)
    strict, flexible = queries(z, random.Random(args.seed + 1))
    gc.collect()
    gc.freeze()  # the generated data is not garbage; spare every side the scans

    tmp = tempfile.TemporaryDirectory()
    path = os.path.join(tmp.name, "index.json")
    impls = [("velmar", PyMetadataIndex(path))]
    if not args.no_python:
        impls.append(("python dict", DictIndex()))
    if not args.no_sqlite:
        impls.append(("sqlite3", SqliteIndex()))
    if not args.no_duckdb:
        impls.append(("duckdb", DuckIndex()))
    names = [n for n, _ in impls]

    print(f"\nbatch_add, batches of {BATCH:,} (entries/s; duckdb: one bulk load from CSV)")
    row("", *names)
    rates = []
    for name, index in impls:
        before = rss_bytes()
        if name == "duckdb":
            t, n = timed(index.load, entries)
        elif entries is None:
            t = 0.0
            n = 0
            for batch in batches:
                dt, added = timed(index.batch_add, batch)
                t += dt
                n += added
        else:
            t, n = timed(add_all, index, entries)
        if name == "velmar":
            velmar_rss = rss_bytes() - before
        assert n == args.entries, (name, n)
        rates.append(n / t)
    row("throughput", *(f"{r:,.0f}" for r in rates))
    if len(rates) > 1 and names[1] == "python dict":
        print(f"  velmar / python dict: {rates[0] / rates[1]:.2f}x")
    print(f"  velmar memory: {velmar_rss / args.entries:,.0f} bytes of RSS per entry")

    peers = [n for n in ("sqlite3", "duckdb") if n in names]
    slowest = {}
    for title, qs, method in (("search_strict", strict, "search_strict"),
                              ("search_flexible", flexible, "search_flexible")):
        print(f"\n{title} latency (ms, median of {args.repeat} rounds)")
        row("query", *names, *(f"x {p}" for p in peers), "hits")
        for label, q in qs:
            cells, results, times = [], [], {}
            for name, index in impls:
                t, result = latency(getattr(index, method), q, args.repeat)
                times[name] = t
                cells.append(f"{t * 1e3:,.2f}")
                results.append(result)
            slowest[f"{title}: {label}"] = times["velmar"]
            # Every side must return the same identifiers in the same order
            # (the generated times have no ties).
            agree = all(r == results[0] for r in results[1:])
            ratios = [f"{times[p] / times['velmar']:,.1f}" for p in peers]
            row(label, *cells, *ratios, f"{len(results[0])}{'' if agree else ' (differ)'}")

    # Each side is timed IO_RUNS times and the median kept: a single run of
    # a second or two swings widely on a busy machine.
    # At 10M entries one run of each takes minutes: once is enough there.
    io_runs = 1 if args.stream else IO_RUNS
    print(f"\nsave and load (MB/s of index file, median of {io_runs})")
    velmar_index = impls[0][1]
    del impls, index  # room for the reloads
    gc.collect()
    saves = []
    for _ in range(io_runs):
        t, ok = timed(velmar_index.save)
        assert ok
        saves.append(t)
    t_save = statistics.median(saves)
    size = os.path.getsize(path)
    del velmar_index
    loads = []
    for _ in range(io_runs):
        gc.collect()
        t, loaded = timed(PyMetadataIndex, path)
        assert loaded.stats()["total"] == args.entries
        del loaded
        loads.append(t)
    t_load = statistics.median(loads)

    if entries is None:
        print(f"  file: {size / 1e6:,.1f} MB")
        print(f"  save {size / t_save / 1e6:,.0f} MB/s ({t_save:.2f} s, written and synced), "
              f"load {size / t_load / 1e6:,.0f} MB/s ({t_load:.2f} s, parsed and indexed)")
        report_end(slowest)
        return
    # The reference: orjson with the same entries, as converted.
    converted = [entry_from_dict(e) for e in entries]
    dumps = []
    for _ in range(IO_RUNS):
        t, data = timed(orjson.dumps, converted)
        dumps.append(t)
    t_dumps = statistics.median(dumps)
    del converted
    t_loads = statistics.median(timed(orjson.loads, data)[0] for _ in range(IO_RUNS))
    print(f"  file: {size / 1e6:,.1f} MB (orjson: {len(data) / 1e6:,.1f} MB)")
    row("", "velmar", "orjson")
    row("save", f"{size / t_save / 1e6:,.0f}", f"{len(data) / t_dumps / 1e6:,.0f}")
    row("load", f"{size / t_load / 1e6:,.0f}", f"{len(data) / t_loads / 1e6:,.0f}")
    print(f"  velmar: save {t_save:.2f} s (written and synced to disk), load {t_load:.2f} s "
          f"(parsed and indexed); orjson: in memory only")
    report_end(slowest)
    tmp.cleanup()


def report_end(slowest):
    worst = max(slowest, key=slowest.get)
    print(f"\nslowest velmar search: {slowest[worst] * 1e3:,.2f} ms ({worst})")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"peak RSS of the whole run: {peak / 1e9:,.2f} GB")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""How many rows of a damaged file come out as they were meant, under repair="columns" and
repair="literal".

Generates a CSV of about --size-mb MB (columns id,name,city,note,amount,date; some notes are
quoted, some span lines) and damages --damage of its rows, one kind per row in turn:

  text_after_quote    "Ann" Jr. with a quoted field later on the line   -> Ann Jr.
  blank_after_quote   "Dubois, Claire" Jr.                               -> Dubois, Claire Jr.
  quote_mid_row       a field opening with a quote that never closes, a quoted field after it
  stray_quote         a quote opening a field, never closed, further rows on later lines
  trailing_delimiter  two empty surplus fields at the end of the row
  unescaped_quotes    quotes inside a quoted field not doubled ("said "hi" there")
  blank_line          a blank line before the row (the row itself is sound)
  invalid_utf8        a byte that is not UTF-8 in a field (meant: what the default fallback
                      encoding, cp1252, reads it as: 0xFF is "\u00ff")

The ground truth is each row's intended fields. Each intended row is scored as
  intact     a clean row with its id holds exactly its fields
  corrupted  a clean row with its id holds something else
  set aside  the quarantine holds the line it begins on
  lost       none of these (it went into another row)
and per damage kind, with the clean rows no intended row accounts for (other than padded blank
lines) counted as spurious. Goal for repair="columns" on 50 MB with 1% damage: >= 99.95% intact,
no row lost, no kind more corrupted than under "literal".

    python3 bench/repair_score.py --size-mb 50 --damage 0.01 --module-dir build/dev-python/site
    python3 bench/repair_score.py --speed bench/data/messy_48mb_seed1.csv    # the stage's cost
"""

from __future__ import annotations

import argparse
import csv
import io
import os
import random
import sys
import tempfile
import time
from collections import Counter, defaultdict

from bench_common import MB, add_module_dir

KINDS = ["text_after_quote", "blank_after_quote", "quote_mid_row", "stray_quote", "trailing_delimiter",
         "unescaped_quotes", "blank_line", "invalid_utf8"]
HEADER = ["id", "name", "city", "note", "amount", "date"]
NAMES = ["Ann", "Bob", "Chloé", "Dubois, Claire", "Émile", "Li Wei", "O'Neil", "Zoë"]
CITIES = ["Paris", "Lyon", "São Paulo", "New York, NY", "Kraków", "Oslo"]
NOTES = ["ok", "Cable, 2m", "fragile", 'said "hi"', "line one\nline two", "", "box 3 of 4", "rush; call first"]


def quote(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


def field(text: str) -> str:
    return quote(text) if any(c in text for c in ',"\r\n') else text


def sound_row(rng: random.Random, n: int) -> list[str]:
    return [str(n), rng.choice(NAMES), rng.choice(CITIES), rng.choice(NOTES), f"{rng.uniform(0, 1000):.2f}",
            f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"]


def damaged(rng: random.Random, kind: str, row: list[str]) -> tuple[bytes, list[str]]:
    """The row's bytes (its line break included) under `kind`, and the fields meant."""
    meant = list(row)
    cells = [field(f) for f in row]
    prefix = b""
    if kind == "text_after_quote":
        meant[1], meant[3] = row[1] + " Jr.", "Cable, 2m"
        cells[1], cells[3] = quote(row[1]) + " Jr.", quote("Cable, 2m")
    elif kind == "blank_after_quote":
        meant[1] = "Dubois, Claire Jr."
        cells[1] = quote("Dubois, Claire") + " Jr."
    elif kind == "quote_mid_row":
        meant[2], meant[3] = '"' + row[2].split(",")[0], "v, w"
        cells[2], cells[3] = meant[2], quote("v, w")
    elif kind == "stray_quote":
        meant[2] = '"' + row[2].split(",")[0]
        cells[2] = meant[2]
    elif kind == "trailing_delimiter":
        cells.append("")
        cells.append("")
    elif kind == "unescaped_quotes":
        meant[3] = 'said "hi" there'
        cells[3] = '"said "hi" there"'
    elif kind == "blank_line":
        prefix = b"\n"
    elif kind == "invalid_utf8":
        raw = (",".join(cells) + "\n").encode().replace(b",", b"\xff,", 1)
        meant[0] = row[0] + "\u00ff"
        return raw, meant
    return prefix + (",".join(cells) + "\n").encode(), meant


def generate(path: str, size: int, damage: float, seed: int) -> tuple[dict, dict, dict]:
    """Writes the file; returns id -> fields meant, id -> kind (damaged rows), id -> line."""
    rng = random.Random(seed)
    meant: dict[str, list[str]] = {}
    kinds: dict[str, str] = {}
    lines: dict[str, int] = {}
    line = 2
    written = 0
    n = 0
    turn = 0
    with open(path, "wb") as out:
        out.write((",".join(HEADER) + "\n").encode())
        while written < size:
            n += 1
            row = sound_row(rng, n)
            if rng.random() < damage:
                kind = KINDS[turn % len(KINDS)]
                turn += 1
                data, fields = damaged(rng, kind, row)
                kinds[row[0]] = kind
            else:
                data, fields = (",".join(field(f) for f in row) + "\n").encode(), row
            if data.startswith(b"\n"):  # the blank line before the row
                line += 1
            meant[row[0]] = fields
            key = fields[0]
            if key != row[0]:
                meant[key] = meant.pop(row[0])
                if row[0] in kinds:
                    kinds[key] = kinds.pop(row[0])
            lines[key] = line
            line += data.count(b"\n") - (1 if data.startswith(b"\n") else 0)
            out.write(data)
            written += len(data)
    return meant, kinds, lines


def score(clean: str, quarantine: str, meant: dict, kinds: dict, lines: dict) -> dict:
    limit = csv.field_size_limit(1 << 30)
    try:
        with open(clean, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))[1:]
        with open(quarantine, newline="", encoding="utf-8") as f:
            set_aside = {int(r["line"]) for r in csv.DictReader(f)}
    finally:
        csv.field_size_limit(limit)
    by_id: dict[str, list[list[str]]] = defaultdict(list)
    for r in rows:
        by_id[r[0] if r else ""].append(r)
    table: dict[str, Counter] = defaultdict(Counter)
    used = 0
    for key, fields in meant.items():
        kind = kinds.get(key, "sound")
        got = by_id.get(key)
        if got:
            used += 1
            table[kind]["intact" if fields in got else "corrupted"] += 1
        elif lines[key] in set_aside:
            table[kind]["set aside"] += 1
        else:
            table[kind]["lost"] += 1
    blank = sum(1 for r in rows if not any(r))
    table["(spurious rows)"]["corrupted"] = len(rows) - used - blank
    return table


def speed(brinewick, path: str, rounds: int) -> None:
    """Best CPU time (every thread's) of a salvage per mode and jobs, the modes interleaved so
    that a change in the machine's load falls on both."""
    import resource

    def cpu() -> float:
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime

    best: dict = {}
    with tempfile.TemporaryDirectory() as work:
        out = [os.path.join(work, n) for n in ("out.csv", "q.csv", "c.csv")]
        for _ in range(rounds):
            for mode in ("literal", "columns"):
                for jobs in (1, 2):
                    for _ in range(3):
                        before = cpu()
                        brinewick.salvage(path, out[0], quarantine=out[1], changes=out[2], repair=mode, jobs=jobs,
                                          durable=False)
                        best[mode, jobs] = min(best.get((mode, jobs), float("inf")), cpu() - before)
    print(f"{path}: {os.path.getsize(path) / MB:.1f} MB, load {os.getloadavg()[0]:.2f}")
    for jobs in (1, 2):
        lit, col = best["literal", jobs], best["columns", jobs]
        print(f"jobs={jobs}: literal {lit:.4f} s, columns {col:.4f} s CPU: {lit / col:.2f}x the speed (goal >= 0.9x)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=50.0)
    parser.add_argument("--damage", type=float, default=0.01)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=None)
    parser.add_argument("--module-dir", default=None, help="a build's site folder to import brinewick from")
    parser.add_argument("--speed", metavar="FILE", default=None,
                        help="instead: CPU time of repair='columns' against 'literal' on FILE (goal >= 0.9x)")
    parser.add_argument("--rounds", type=int, default=5, help="--speed: interleaved rounds of 3 calls each")
    args = parser.parse_args()
    add_module_dir(args.module_dir)
    import brinewick

    if args.speed:
        return speed(brinewick, args.speed, args.rounds)

    with tempfile.TemporaryDirectory() as work:
        src = os.path.join(work, "damaged.csv")
        meant, kinds, lines = generate(src, int(args.size_mb * MB), args.damage, args.seed)
        print(f"{os.path.getsize(src) / MB:.1f} MB, {len(meant):,} rows, {len(kinds):,} damaged "
              f"(seed {args.seed}), brinewick from {os.path.dirname(brinewick.__file__)}")
        results = {}
        for mode in ("columns", "literal"):
            out, q = os.path.join(work, f"{mode}.csv"), os.path.join(work, f"{mode}.q.csv")
            start = time.perf_counter()
            brinewick.salvage(src, out, quarantine=q, durable=False, jobs=args.jobs, repair=mode)
            took = time.perf_counter() - start
            results[mode] = score(out, q, meant, kinds, lines)
            print(f"repair={mode}: salvage {took:.2f} s")
    columns = ["intact", "corrupted", "set aside", "lost"]
    print(f"\n{'kind':<20} {'rows':>8}  " + "  ".join(f"{c + ' c/l':>21}" for c in columns))
    order = KINDS + ["sound", "(spurious rows)"]
    totals = {mode: Counter() for mode in results}
    for kind in order:
        a, b = results["columns"][kind], results["literal"][kind]
        rows = sum(a.values()) if kind != "(spurious rows)" else 0
        cells = "  ".join(f"{a[c]:>10,}/{b[c]:<10,}" for c in columns)
        print(f"{kind:<20} {rows:>8,}  {cells}")
        if kind != "(spurious rows)":
            for mode in results:
                totals[mode].update(results[mode][kind])
    for mode in results:
        t = totals[mode]
        n = sum(t.values())
        print(f"repair={mode}: {t['intact'] / n:.4%} intact, {t['corrupted']:,} corrupted, "
              f"{t['set aside']:,} set aside, {t['lost']:,} lost, "
              f"{results[mode]['(spurious rows)']['corrupted']:,} spurious rows")
    worse = [k for k in KINDS if results["columns"][k]["corrupted"] > results["literal"][k]["corrupted"]]
    print("kinds more corrupted under columns than literal:", ", ".join(worse) or "none")


if __name__ == "__main__":
    sys.exit(main())

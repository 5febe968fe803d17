#!/usr/bin/env python3
"""Turns the JSON output of ifa-bench into bench/results.md and a plot.

Usage: bench/report.py RESULTS.json OUT.md OUT.png [AGENT-RESTART.json]

AGENT-RESTART.json (default: agent-restart.json beside OUT.md) holds the
agent's warm-restart phases written by bench/agent-restart.py; without it
that row reads "not measured".

Every figure is the median over the run's repetitions. ns per operation is
the median iteration time over the benchmark's "ops" counter.
"""
import datetime
import json
import os
import platform
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SIZES = [100, 10000, 1000000]
ORDERS = ["dense", "shuffled"]
TABLES = ["IfaActionProfile", "IfaSwitchId"]
BIG = 1000000


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load(path):
    with open(path) as f:
        data = json.load(f)
    times = {}  # (impl, table, op, order, n) -> ns/op
    counters = {}  # same key -> counters dict (memory benchmarks)
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            continue
        aggregate = b.get("aggregate_name")
        if b.get("run_type") == "aggregate" and aggregate != "median":
            continue
        parts = b["run_name"].split("/")
        impl, table, op, order, n = parts[0], parts[1], parts[2], parts[3], int(parts[4])
        key = (impl, table, op, order, n)
        if op == "memory":
            counters[key] = b
        else:
            assert b["time_unit"] == "ns"
            times[key] = b["real_time"] / b["ops"]
    return data["context"], times, counters


def fmt(x, digits=1):
    if x is None:
        return "n/a"
    return f"{x:.{digits}f}"


# A ratio this close to its limit (relative) may fall either side in another run.
NEAR = 0.05
AGENT_ENTRIES = 1022
PROBE_1M = ("probe", "-", "dependentRead", "random", BIG)


class Row:
    """One target: ours against a baseline, ratio against a limit.

    `inverse`: the ratio is the baseline over ours (higher is better), for
    targets stated as "the other at least k times slower". `limit` None: the
    ratio is reported only.
    """

    def __init__(self, name, ours, base, limit, at_most=True, inverse=False, digits=1):
        self.name, self.ours, self.base = name, ours, base
        self.limit, self.at_most, self.inverse, self.digits = limit, at_most, inverse, digits
        self.ratio = None
        if ours is not None and base is not None and ours > 0 and base > 0:
            self.ratio = base / ours if inverse else ours / base
        if self.ratio is None:
            self.result = "not measured"
        elif limit is None:
            self.result = "reported"
        elif (self.ratio <= limit) if at_most else (self.ratio >= limit):
            self.result = "met"
        else:
            self.result = "missed"
        self.near = (self.ratio is not None and limit is not None
                     and abs(self.ratio - limit) <= NEAR * limit)

    def markdown(self):
        limit = "–" if self.limit is None else f"{'≤' if self.at_most else '≥'} {self.limit}"
        result = {"missed": "**missed**"}.get(self.result, self.result)
        if self.near:
            result += "; within 5%: confirm with a second run"
        ratio = "n/a" if self.ratio is None else f"{self.ratio:.2f}"
        return (f"| {self.name} | {fmt(self.ours, self.digits)} | {fmt(self.base, self.digits)} | "
                f"{ratio} | {limit} | {result} |")


def targets(t, mem):
    """The rows of the targets table, in the order they are listed."""
    rows = []

    def each(sizes, make):
        for table in TABLES:
            for order in ORDERS:
                for n in sizes:
                    rows.append(make(table, order, n, f"{table}, {order}, N={n:,}"))

    def op(impl, table, name, order, n):
        return t.get((impl, table, name, order, n))

    each([BIG], lambda table, order, n, tag: Row(
        f"unchanged `entryCommit` / absl find, {tag}",
        op("swtable", table, "commitUnchanged", order, n), op("absl", table, "find", order, n),
        1.5))
    each([100, 10000], lambda table, order, n, tag: Row(
        f"unchanged `entryCommit` / absl find behind a call, {tag}",
        op("swtable", table, "commitUnchanged", order, n), op("abslcall", table, "find", order, n),
        1.5))
    each([BIG], lambda table, order, n, tag: Row(
        f"new-key `entryCommit` / absl insert, {tag}",
        op("swtable", table, "commitNew", order, n), op("absl", table, "insert", order, n), 1.5))
    each([100, 10000], lambda table, order, n, tag: Row(
        f"new-key `entryCommit` / std table commitNew, {tag}",
        op("swtable", table, "commitNew", order, n), op("stdtable", table, "commitNew", order, n),
        1.5))
    each([100, 10000], lambda table, order, n, tag: Row(
        f"`entryRemove` / std table remove, {tag}",
        op("swtable", table, "remove", order, n), op("stdtable", table, "remove", order, n), 1.5))
    each([100, 10000], lambda table, order, n, tag: Row(
        f"warm restart per replayed commit / std table's, {tag}",
        op("swtable", table, "warmRestart", order, n),
        op("stdtable", table, "warmRestart", order, n), 1.5))
    for table in TABLES:
        for order in ORDERS:
            ours = op("swtable", table, "warmRestart", order, BIG)
            std = op("stdtable", table, "warmRestart", order, BIG)
            tag = f"{table}, {order}, N={BIG:,}"
            if order == "shuffled":
                rows.append(Row(f"warm restart per replayed commit: std table time over ours, {tag}",
                                ours, std, 2, at_most=False, inverse=True))
            else:
                # The std table's identity hash walks dense keys through memory in
                # order, which a hashed collection cannot: no limit here.
                rows.append(Row(f"warm restart per replayed commit: std table time over ours, {tag} "
                                "(identity hash in key order: reported only)",
                                ours, std, None, inverse=True))
    each([BIG], lambda table, order, n, tag: Row(
        f"warm restart per replayed commit / probe latency at 1M lines, {tag}",
        op("swtable", table, "warmRestart", order, n), t.get(PROBE_1M), 3))
    for n, limit in ((BIG, 1.0), (10000, 1.25)):
        for table in TABLES:
            for order in ORDERS:
                ours = mem.get(("swtable", table, "memory", order, n))
                base = mem.get(("absl", table, "memory", order, n))
                rows.append(Row(f"bytes per resolved entry / absl bytes per element, {table}, "
                                f"{order}, N={n:,}",
                                ours and ours["resolvedBytesPerEntry"],
                                base and base["bytesPerEntry"], limit))
    return rows


def load_agent_restart(path):
    """The agent's warm-restart phases written by bench/agent-restart.py, or None."""
    try:
        with open(path) as f:
            data = json.load(f)
        p = data["phases"]
        if all(isinstance(p[k], int) for k in ("syncUs", "replayUs", "purgeUs")):
            return data
    except (OSError, ValueError, KeyError, TypeError):
        pass
    return None


def main():
    src, out_md, out_png = sys.argv[1:4]
    agent_json = (sys.argv[4] if len(sys.argv) > 4
                  else os.path.join(os.path.dirname(os.path.abspath(out_md)), "agent-restart.json"))
    context, t, mem = load(src)
    reps = max((b.get("repetitions", 0) for b in json.load(open(src))["benchmarks"]), default=0)
    lines = []
    w = lines.append
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    w("# Benchmark results")
    w("")
    w(f"- Date: {now} (run started {context.get('date', '?')})")
    w(f"- CPU: {cpu_model()}, {context.get('num_cpus', '?')} cores as seen by the run, "
      f"{context.get('mhz_per_cpu', '?')} MHz")
    w(f"- Load average at start: {', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}")
    w(f"- Build: Release (-O2), g++; every figure is the median of {reps or 'several'} "
      "repetitions in one run of `build-bench/bench/ifa-bench`")
    w("- The machine is shared (other builds run at the same time): single figures are noisy, "
      "ratios of medians taken in the same run less so.")
    w("")
    w("Setting: the library's tables with configuration replay complete and a `Util` whose "
      "operations do nothing but are real virtual calls (the tracker update too, so that the "
      "engine's own cost shows); no observer. Keys 0..N-1, visited in ascending (\"dense\") or "
      "random (\"shuffled\") order. `absl` is `absl::flat_hash_map<uint32_t, Entry>`; `abslcall` "
      "the same map with each find and insert a call into another translation unit, which the "
      "compiler cannot inline (what a library boundary costs: our tables are called in a shared "
      "library); `stdtable` "
      "is the same table written on `std::unordered_map<uint32_t, std::optional<Entry>>` (same "
      "`Util` calls, statistics and publications). A warm restart is `syncEntries` of N rows, N "
      "replayed commits (90% equal, 5% different, 5% new keys), `doInitComplete` and "
      "`purgeStaleEntries` (5% stale rows); its figure is per replayed commit.")
    w("")

    # ---- Targets ----
    w("## Targets")
    w("")
    w("Each ratio is of medians taken in this run; a ratio within 5% of its limit is flagged for a "
      "second run, since one run's noise can move it that far.")
    w("")
    w("| target | ours | baseline | ratio | limit | result |")
    w("|---|---|---|---|---|---|")
    counts = defaultdict(int)
    near = 0
    for row in targets(t, mem):
        counts[row.result] += 1
        near += row.near
        w(row.markdown())
    agent = load_agent_restart(agent_json)
    counts["not measured" if agent is None else "reported"] += 1
    if agent is None:
        w(f"| agent warm restart of a full `corvane-sim-a` chip ({AGENT_ENTRIES:,} entries): sync, "
          "replay, purge | n/a | – | – | – | not measured |")
    else:
        p = agent["phases"]
        w(f"| agent warm restart of a full `{agent['profile']}` chip ({agent['entries']:,} "
          f"entries): sync, replay, purge (µs) | {p['syncUs']:,} / {p['replayUs']:,} / "
          f"{p['purgeUs']:,} | – | – | – | reported |")
    w("")
    summary = ", ".join(f"{n} {name}" for name, n in sorted(counts.items()))
    if near:
        summary += f"; {near} within 5% of the limit"
    w(f"Rows: {summary}. \"ours\" and \"baseline\" are ns per operation (per replayed commit for "
      "the warm restart, per dependent read for the probe) or bytes per entry; the ratio is ours "
      "over the baseline, except where the target says \"std table time over ours\" (higher is "
      "better there).")
    w("")

    # ---- the agent ----
    w("## The agent's warm restart of a whole chip")
    w("")
    if agent is None:
        w(f"Not measured: no `{os.path.basename(agent_json)}` beside this file (`make bench-agent` "
          "writes it).")
    else:
        p = agent["phases"]
        n = agent["entries"]
        w(f"`ifa-agent apply --json` of a configuration filling every table of `{agent['profile']}` "
          f"to its full index range ({n:,} entries), on the image its cold start made: every row "
          f"read back ({agent['readBack']:,}), every entry replayed and matched "
          f"({agent['matched']:,}), nothing purged. One run, measured {agent['date']}; the "
          f"cold start's commits took {agent['coldCommitUs']:,} µs.")
        w("")
        w("| phase | µs | ns per entry |")
        w("|---|---|---|")
        phases = [("sync: `syncEntries` of every table", p["syncUs"]),
                  ("replay: the replayed `entryCommit`s", p["replayUs"]),
                  ("purge: `doInitComplete` and `purgeStaleEntries`", p["purgeUs"])]
        for name, us in phases + [("total", sum(us for _, us in phases))]:
            w(f"| {name} | {us:,} | {fmt(us * 1000 / n) if n else 'n/a'} |")
    w("")

    # ---- growth, for information ----
    w("## Growth from N = 100 to N = 1M (information)")
    w("")
    w("| operation | table | order | ours × | absl × | ours' growth over absl's |")
    w("|---|---|---|---|---|---|")
    growth_pairs = [("commitNew", "insert"), ("commitUnchanged", "find"), ("entry", "find"),
                    ("remove", "erase")]
    for ours_op, absl_op in growth_pairs:
        for table in TABLES:
            for order in ORDERS:
                o100 = t.get(("swtable", table, ours_op, order, 100))
                o1m = t.get(("swtable", table, ours_op, order, BIG))
                a100 = t.get(("absl", table, absl_op, order, 100))
                a1m = t.get(("absl", table, absl_op, order, BIG))
                if None in (o100, o1m, a100, a1m):
                    continue
                go, ga = o1m / o100, a1m / a100
                w(f"| `{ours_op}` vs absl {absl_op} | {table} | {order} | ×{go:.2f} | ×{ga:.2f} | "
                  f"{go / ga:.2f} |")
    w("")

    # ---- ns per operation ----
    w("## ns per operation (medians)")
    w("")
    ops_by_impl = defaultdict(list)
    for (impl, table, op, order, n) in t:
        if (impl, op) not in ops_by_impl[table]:
            ops_by_impl[table].append((impl, op))
    order_rank = {"swtable": 0, "core": 1, "absl": 2, "abslcall": 3, "stdtable": 4, "probe": 5}
    for table in TABLES + ["-"]:
        if table not in ops_by_impl:
            continue
        w(f"### {table if table != '-' else 'Memory-latency probe (one 64-byte line per entry)'}")
        w("")
        header = "| implementation / operation | " + " | ".join(
            f"{o} {n:,}" for o in ORDERS for n in SIZES) + " |"
        if table == "-":
            probe_sizes = sorted({k[4] for k in t if k[0] == "probe"})
            w("| lines | bytes | ns per dependent read |")
            w("|---|---|---|")
            for n in probe_sizes:
                w(f"| {n:,} | {n * 64 / 2**20:.1f} MiB | {fmt(t[('probe', '-', 'dependentRead', 'random', n)])} |")
            w("")
            continue
        w(header)
        w("|---|" + "---|" * (len(ORDERS) * len(SIZES)))
        for impl, op in sorted(ops_by_impl[table], key=lambda x: (order_rank[x[0]], x[1])):
            cells = [fmt(t.get((impl, table, op, o, n))) for o in ORDERS for n in SIZES]
            w(f"| {impl} {op} | " + " | ".join(cells) + " |")
        w("")

    # ---- memory ----
    w("## Bytes per entry")
    w("")
    w("`swtable` resolved/synced: bytes of the Pooler blocks the collection holds (size-class "
      "rounded, directory included) per entry; in brackets, what the allocation trackers count "
      "(node slots with their hash words, bucket headers). `absl` and `stdtable`: bytes the "
      "containers ask of their allocator, per entry.")
    w("")
    w("| table | order | N | swtable resolved | swtable synced | absl | stdtable | node bytes "
      "(resolved / synced) |")
    w("|---|---|---|---|---|---|---|---|")
    for table in TABLES:
        for order in ORDERS:
            for n in SIZES:
                s = mem.get(("swtable", table, "memory", order, n))
                a = mem.get(("absl", table, "memory", order, n))
                u = mem.get(("stdtable", table, "memory", order, n))
                if s is None:
                    continue
                w(f"| {table} | {order} | {n:,} | {fmt(s['resolvedBytesPerEntry'])} "
                  f"({fmt(s['resolvedTrackedBytesPerEntry'])}) | {fmt(s['syncedBytesPerEntry'])} "
                  f"({fmt(s['syncedTrackedBytesPerEntry'])}) | "
                  f"{fmt(a and a['bytesPerEntry'])} | {fmt(u and u['resolvedBytesPerEntry'])} | "
                  f"{int(s['resolvedNodeBytes'])} / {int(s['syncedNodeBytes'])} |")
    w("")
    with open(out_md, "w") as f:
        f.write("\n".join(lines))

    # ---- plot ----
    panels = [
        ("insert a new key", [("swtable", "commitNew"), ("core", "insert"),
                              ("stdtable", "commitNew"), ("absl", "insert"),
                              ("abslcall", "insert")]),
        ("look up / commit unchanged", [("swtable", "commitUnchanged"), ("swtable", "entry"),
                                        ("swtable", "entryHas"), ("stdtable", "commitUnchanged"),
                                        ("stdtable", "entry"), ("core", "find"),
                                        ("absl", "find"), ("abslcall", "find")]),
        ("remove", [("swtable", "remove"), ("stdtable", "remove"), ("absl", "erase")]),
        ("warm restart (per commit), walk", [("swtable", "warmRestart"),
                                             ("stdtable", "warmRestart"), ("swtable", "walk")]),
    ]
    colors = {}
    # Twenty colours, so that no two series of the plot share one: the ten
    # strong ones first, then their light shades.
    tab20 = list(plt.get_cmap("tab20").colors)
    palette = tab20[0::2] + tab20[1::2]
    fig, axes = plt.subplots(len(TABLES), len(panels), figsize=(5 * len(panels), 4.2 * len(TABLES)),
                             squeeze=False)
    probe = [(n, t[("probe", "-", "dependentRead", "random", n)]) for n in SIZES
             if ("probe", "-", "dependentRead", "random", n) in t]
    for row, table in enumerate(TABLES):
        for col, (title, series) in enumerate(panels):
            ax = axes[row][col]
            for impl, op in series:
                label = f"{impl} {op}"
                color = colors.setdefault(label, palette[len(colors) % len(palette)])
                for order, style in (("shuffled", "-"), ("dense", ":")):
                    pts = [(n, t.get((impl, table, op, order, n))) for n in SIZES]
                    pts = [(n, v) for n, v in pts if v is not None]
                    if pts:
                        ax.plot([p[0] for p in pts], [p[1] for p in pts], style, marker="o",
                                color=color, label=label if order == "shuffled" else None)
            if col == 1 and probe:
                ax.plot([p[0] for p in probe], [p[1] for p in probe], "--", color="grey",
                        label="dependent read (probe)")
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("N (entries)")
            ax.set_ylabel("ns per operation")
            ax.set_title(f"{table}: {title}", fontsize=10)
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=7)
    fig.suptitle("ns per operation against N (medians; solid: shuffled keys, dotted: dense keys)")
    fig.tight_layout()
    fig.savefig(out_png, dpi=110)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Turns the JSON output of ifa-bench into bench/results.md and a plot.

Usage: bench/report.py RESULTS.json OUT.md OUT.png

Every figure is the median over the run's repetitions. ns per operation is
the median iteration time over the benchmark's "ops" counter.
"""
import datetime
import json
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


def ratio_row(name, ours, base, limit, at_most=True, how=""):
    if ours is None or base is None:
        sign = "≤" if at_most else "≥"
        return f"| {name} | {fmt(ours)} | {fmt(base)} | n/a | {sign} {limit} {how} | not measured |"
    r = ours / base
    ok = r <= limit if at_most else r >= limit
    sign = "≤" if at_most else "≥"
    return (f"| {name} | {fmt(ours)} | {fmt(base)} | {r:.2f} | {sign} {limit} {how} | "
            f"{'met' if ok else '**missed**'} |")


def main():
    src, out_md, out_png = sys.argv[1:4]
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
      "random (\"shuffled\") order. `absl` is `absl::flat_hash_map<uint32_t, Entry>`; `stdtable` "
      "is the same table written on `std::unordered_map<uint32_t, std::optional<Entry>>` (same "
      "`Util` calls, statistics and publications). A warm restart is `syncEntries` of N rows, N "
      "replayed commits (90% equal, 5% different, 5% new keys), `doInitComplete` and "
      "`purgeStaleEntries` (5% stale rows); its figure is per replayed commit.")
    w("")

    # ---- Targets ----
    w("## Targets")
    w("")
    w("| target | ours | baseline | ratio | limit | result |")
    w("|---|---|---|---|---|---|")
    for table in TABLES:
        for order in ORDERS:
            tag = f"{table}, {order}, N=1M"
            w(ratio_row(f"`entryCommit` new key vs absl insert (ns/op), {tag}",
                        t.get(("swtable", table, "commitNew", order, BIG)),
                        t.get(("absl", table, "insert", order, BIG)), 1.5))
    for table in TABLES:
        for order in ORDERS:
            for n in SIZES:
                tag = f"{table}, {order}, N={n}"
                w(ratio_row(f"`entryCommit` unchanged vs absl find (ns/op), {tag}",
                            t.get(("swtable", table, "commitUnchanged", order, n)),
                            t.get(("absl", table, "find", order, n)), 1.5))
    for table in TABLES:
        for order in ORDERS:
            tag = f"{table}, {order}, N=1M"
            ours = t.get(("swtable", table, "warmRestart", order, BIG))
            std = t.get(("stdtable", table, "warmRestart", order, BIG))
            if ours is None or std is None:
                w(f"| warm restart, std table over ours, {tag} | n/a | n/a | n/a | ≥ 3 | "
                  "not measured |")
            else:
                r = std / ours
                w(f"| warm restart: std table time over ours (ns/commit), {tag} | {fmt(ours)} | "
                  f"{fmt(std)} | {r:.2f} | ≥ 3 | {'met' if r >= 3 else '**missed**'} |")
    for table in TABLES:
        for order in ORDERS:
            ours = mem.get(("swtable", table, "memory", order, BIG))
            base = mem.get(("absl", table, "memory", order, BIG))
            w(ratio_row(f"bytes per resolved entry vs absl bytes per element, {table}, {order}, "
                        "N=1M",
                        ours and ours["resolvedBytesPerEntry"], base and base["bytesPerEntry"],
                        1.25))
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
                w(f"| growth N=100→1M, `{ours_op}` vs absl {absl_op}, {table}, {order} | "
                  f"×{go:.2f} | ×{ga:.2f} | {go / ga:.2f} | ≤ 1 | "
                  f"{'met' if go <= ga else '**missed**'} |")
    w("")
    w("Ratios are ours over the baseline, except the warm restart (the std table's time over "
      "ours, so higher is better) and growth (ours' growth factor over absl's).")
    w("")

    # ---- ns per operation ----
    w("## ns per operation (medians)")
    w("")
    ops_by_impl = defaultdict(list)
    for (impl, table, op, order, n) in t:
        if (impl, op) not in ops_by_impl[table]:
            ops_by_impl[table].append((impl, op))
    order_rank = {"swtable": 0, "core": 1, "absl": 2, "stdtable": 3, "probe": 4}
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
                              ("stdtable", "commitNew"), ("absl", "insert")]),
        ("look up / commit unchanged", [("swtable", "commitUnchanged"), ("swtable", "entry"),
                                        ("swtable", "entryHas"), ("stdtable", "commitUnchanged"),
                                        ("stdtable", "entry"), ("core", "find"),
                                        ("absl", "find")]),
        ("remove", [("swtable", "remove"), ("stdtable", "remove"), ("absl", "erase")]),
        ("warm restart (per commit), walk", [("swtable", "warmRestart"),
                                             ("stdtable", "warmRestart"), ("swtable", "walk")]),
    ]
    colors = {}
    palette = plt.rcParams["axes.prop_cycle"].by_key()["color"]
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

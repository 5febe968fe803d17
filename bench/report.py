#!/usr/bin/env python3
"""Turns the output of ifa-bench into bench/results.md and bench/results.png.

Usage: bench/report.py OUT.md OUT.png MEMORY.json RUN.json [RUN.json ...]
  [--agent AGENT-RESTART.json] [--counts COUNTS.json]

RUN.json: Google Benchmark's JSON output of the paired rows, one file per run
(the first two are "run 1" and "run 2"; a further file holds the rerun of
rows left undecided). MEMORY.json: the memory and slots benchmarks.
AGENT-RESTART.json: the agent's warm-restart phases (bench/agent-restart.py).
COUNTS.json: the instruction and miss counts of bench/counts.py (default:
counts.json beside OUT.md); its section is kept between markers, so that
counts.py can rewrite it alone.
"""
import datetime
import json
import math
import os
import platform
import sys
from collections import defaultdict

TABLES = ["IfaActionProfile", "IfaSwitchId"]
IMPLS = ["ours", "absl", "boost", "flat", "std"]
OP_TEXT = {
    "unchanged": "unchanged `entryCommit`",
    "fill": "new-key `entryCommit` (a fill from empty)",
    "drain": "`entryRemove` (a drain to empty)",
    "restart": "warm restart, per replayed commit",
}
BASE_TEXT = {
    "flat": "flat table",
    "std": "std table",
    "absl": "absl find behind a call",
    "boost": "boost find behind a call",
    "probe": "probe latency (dependent read, 1M lines)",
}
RAW_OP = {"unchanged": "find", "fill": "insert", "drain": "erase", "restart": "–"}
COUNTS_BEGIN = "<!-- counts: written by bench/counts.py -->"
COUNTS_END = "<!-- end of counts -->"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fmt_n(n):
    return f"{n:,}"


def verdict(row):
    if row["high"] <= row["limit"]:
        return "met"
    if row["low"] > row["limit"]:
        return "missed"
    return "undecided"


def load_run(path):
    """name -> counters of the paired rows of one run file."""
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        name = b["run_name"].split("/iterations:")[0]
        parts = name.split("/")
        if parts[0] != "paired":
            continue
        if b.get("error_occurred"):
            sys.exit(f"report.py: {name} failed: {b.get('error_message')}")
        target, table, op, base, order, n = parts[1:]
        rows[name] = dict(b, target=target, table=table, op=op, base=base, order=order,
                          n=int(n), name=name)
    return data["context"], rows


def load_memory(path):
    with open(path) as f:
        data = json.load(f)
    memory = defaultdict(dict)  # (table, impl) -> n -> bytes per entry
    slots = {}  # (table, impl) -> (mean, max) or None
    for b in data["benchmarks"]:
        name = b["run_name"].split("/iterations:")[0]
        parts = name.split("/")
        if parts[0] == "memory" and not b.get("error_occurred"):
            memory[(parts[1], parts[2])][int(parts[3])] = b["bytesPerEntry"]
        elif parts[0] == "slots":
            slots[(parts[1], parts[2])] = (
                None if b.get("error_occurred") else (b["slotsPerEntryMean"], b["slotsPerEntryMax"]))
    return memory, slots


def cell(r):
    if r is None:
        return "–"
    text = f"{r['ratio']:.2f} [{r['low']:.2f}, {r['high']:.2f}]"
    return text + f" {verdict(r)}" if r["limit"] > 0 else text


def combined(rs):
    """The verdict over runs: met or missed only when every run says so."""
    vs = [verdict(r) for r in rs if r is not None]
    if not vs:
        return "not measured"
    if all(v == "met" for v in vs):
        return "met"
    if all(v == "missed" for v in vs):
        return "**missed**"
    low = min(r["low"] for r in rs if r is not None)
    high = max(r["high"] for r in rs if r is not None)
    if all(v == "undecided" for v in vs):
        return f"undecided on this machine (spread {low:.2f}–{high:.2f})"
    return f"undecided: runs disagree (spread {low:.2f}–{high:.2f})"


def raw_map_row(run, table):
    """The raw-map row gated against the faster map: the larger ratio."""
    cands = [run.get(f"paired/T1/{table}/unchanged/{m}/shuffled/1000000") for m in ("absl", "boost")]
    cands = [c for c in cands if c is not None]
    if not cands:
        return None
    best = max(cands, key=lambda c: c["ratio"])
    return dict(best, faster=best["base"])


def target_rows(runs, table):
    """(label, limit text, [row per run]) in the order of the target table."""
    out = []
    names = sorted({n for run in runs for n in run if f"/{table}/" in n},
                   key=lambda n: (n.split("/")[1].replace("R", "Z").replace("AA", "ZZ"), ["unchanged", "fill", "drain", "restart"].index(
                       n.split("/")[3]), n.split("/")[4] == "probe", n.split("/")[4],
                       int(n.split("/")[6])))
    for name in names:
        target, _, op, base, order, n = name.split("/")[1:]
        rs = [run.get(name) for run in runs]
        sample = next(r for r in rs if r is not None)
        if target == "T1" and base in ("absl", "boost"):
            continue
        label = f"{OP_TEXT[op]} / {BASE_TEXT[base]}, N={fmt_n(int(n))}"
        if target == "AA":
            label = (f"the harness against itself: the {BASE_TEXT[base]}'s {OP_TEXT[op]} / "
                     f"the same, N={fmt_n(int(n))} (the interval should hold 1)")
        if order == "dense":
            label += ", dense keys (identity hash: reported only)"
        if target == "T4" and base == "std" and n == "1000000":
            label += " (2.5× faster: ratio ≤ 0.4)"
        limit = f"≤ {sample['limit']:g}" if sample["limit"] > 0 else "–"
        out.append((target, label, limit, rs, sample["limit"] > 0))
        if target == "T1" and base == "flat" and n == "1000000":
            rs2 = [raw_map_row(run, table) for run in runs]
            if any(rs2):
                out.append(("T1", f"{OP_TEXT[op]} / the faster raw map's find behind a call, "
                            f"N=1,000,000 (the larger of the absl and boost ratios)", "≤ 1.5",
                            rs2, True))
    return out


def instructions(counts, table, op, impl):
    for c in (counts or {}).get("instructions", []):
        if (c["table"], c["op"], c["impl"]) == (table, op, impl):
            return c["perOp"]
    return None


def render_targets(runs, memory, slots, counts, ctxs):
    lines = ["## Targets", "",
             "The rows of \"A core at the floor\", with today's core. Each timed row is a paired "
             "measurement: the median of the per-pair ratios ours/baseline and its 95% interval; "
             "**met** when the interval lies under the limit, **missed** when it lies over it, "
             "undecided when it straddles it. The verdict column is met or missed only when both "
             "runs say so. Shuffled keys unless a row says otherwise.", ""]
    for table in TABLES:
        lines += [f"### {table}", "",
                  "| # | target | limit | " + " | ".join(f"run {i + 1}" for i in range(len(runs)))
                  + " | verdict |",
                  "|---|---|---|" + "---|" * len(runs) + "---|"]
        rows = target_rows(runs, table)
        reported = [r for r in rows if r[0] == "R"]
        harness = [r for r in rows if r[0] == "AA"]
        for target, label, limit, rs, gated in [r for r in rows if r[0] not in ("R", "AA")]:
            cells = []
            for r in rs:
                c = cell(r)
                if r is not None and "faster" in r:
                    c += f" (vs {r['faster']})"
                cells.append(c)
            lines.append(f"| {target} | {label} | {limit} | " + " | ".join(cells) + " | "
                         + (combined(rs) if gated else "reported") + " |")
        for op, limit, label in (("unchanged", 60, "unchanged `entryCommit`, instructions per op at N=10,000"),
                                 ("fill", 300, "new-key `entryCommit`, instructions per op at N=10,000 (a fill)")):
            v = instructions(counts, table, op, "ours")
            t = "T1" if op == "unchanged" else "T2"
            val = "not counted" if v is None else f"{v:.0f}"
            ok = "–" if v is None else ("met" if v <= limit else "**missed**")
            lines.append(f"| {t} | {label} | ≤ {limit} | {val} | " + " | " * (len(runs) - 1) + f"{ok} |")
        lines.append(f"| T4 | warm restart at 1M: last-level misses per replayed commit | reported | "
                     "see [Counts](#instructions-and-last-level-misses) | " + " | " * (len(runs) - 1) + "reported |")
        ratio = memory_ratio(memory, table)
        if ratio is not None:
            ok = "met" if ratio <= 1.0 else "**missed**"
            lines.append(f"| T5 | bytes per resolved entry / the flat table's, mean of the 16 ratios "
                         f"of the N sweep | ≤ 1.0 | {ratio:.3f} | " + " | " * (len(runs) - 1) + f"{ok} |")
        s = slots.get((table, "ours"))
        if s is not None:
            ok = "met" if s[0] <= 1.3 and s[1] <= 1.6 else "**missed**"
            lines.append(f"| T5 | slots per entry over one fill to 2·10^6 (N ≥ 1,000) | mean ≤ 1.3, "
                         f"max ≤ 1.6 | mean {s[0]:.3f}, max {s[1]:.3f} | " + " | " * (len(runs) - 1)
                         + f"{ok} |")
        for target, label, limit, rs, gated in reported + harness:
            lines.append(f"| {target} | {label} | {limit} | " + " | ".join(cell(r) for r in rs)
                         + " | reported |")
        lines.append("")
    lines += ["Instruction, memory and slot figures are deterministic and come from one count; "
              "they are in the run 1 column. Instructions are the timed loop's total over its "
              "operations: the benchmark's own loop (the next key and entry, the call) is in "
              "them, a handful of instructions an operation that a count of the table's function "
              "alone leaves out.", ""]
    return lines


def memory_ratio(memory, table, base="flat"):
    ours, other = memory.get((table, "ours")), memory.get((table, base))
    if not ours or not other:
        return None
    ns = sorted(set(ours) & set(other))
    return sum(ours[n] / other[n] for n in ns) / len(ns)


def render_details(runs, ctxs):
    lines = ["## Paired rows in detail", "",
             "Per run: ns per operation of each side (medians over the blocks; a block's CPU time "
             "over its operations), operations per block, pairs, the one-minute load average at "
             "the row's start and the steal time over the row (% of the pinned CPU's time).", "",
             "| row | run | ours ns | baseline ns | ops/block ours / baseline | pairs | load | steal % |",
             "|---|---|---|---|---|---|---|---|"]
    names = sorted({n for run in runs for n in run})
    for name in names:
        for i, run in enumerate(runs):
            r = run.get(name)
            if r is None:
                continue
            lines.append(f"| {name.removeprefix('paired/')} | {i + 1} | {r['nsOurs']:.1f} | "
                         f"{r['nsBaseline']:.1f} | {r['opsPerBlockOurs']:.0f} / "
                         f"{r['opsPerBlockBaseline']:.0f} | {r['pairs']:.0f} | "
                         f"{r['loadAverage']:.2f} | {r['stealPercent']:.1f} |")
    lines.append("")
    return lines


def render_memory(memory, slots):
    lines = ["## Memory", "",
             "Bytes per entry that Pooler hands out (size-class rounded) for a fill of N shuffled "
             "keys from empty: every map allocates through Pooler (the raw maps, the flat and std "
             "tables through an allocator on it; our tables use it already), so every figure "
             "follows one rule. N = round(10^3 · 2000^(i/15)), i = 0..15. The flat and std tables "
             "count both their maps (the synced one is empty after a fill).", ""]
    for table in TABLES:
        ns = sorted(memory.get((table, "ours"), {}))
        if not ns:
            continue
        lines += [f"### {table}", "", "| N | " + " | ".join(IMPLS) + " |",
                  "|---|" + "---|" * len(IMPLS)]
        for n in ns:
            lines.append(f"| {fmt_n(n)} | " + " | ".join(
                f"{memory[(table, i)].get(n, float('nan')):.1f}" for i in IMPLS) + " |")
        lines.append("| mean of ours / this | " + " | ".join(
            "1" if i == "ours" else f"{memory_ratio(memory, table, i):.3f}" for i in IMPLS) + " |")
        lines.append("")
        lines += ["Slots per entry over one fill to 2·10^6, read after every insert from the "
                  "1,000th on:", "", "| impl | mean | max |", "|---|---|---|"]
        for impl in ("ours", "absl", "boost"):
            s = slots.get((table, impl))
            lines.append(f"| {impl} | " + ("not told by the core | – |" if s is None
                                             else f"{s[0]:.3f} | {s[1]:.3f} |"))
        lines.append("")
    return lines


def render_counts(counts):
    lines = [COUNTS_BEGIN, "", "## Instructions and last-level misses", ""]
    if not counts:
        return lines + ["Not counted yet: `make bench-counts`.", "", COUNTS_END]
    lines += [f"`make bench-counts` ({counts['valgrind']}, {counts['date']}, "
              f"{counts.get('seconds', 0) // 60} min): callgrind on `ifa-bench --count=...`, which "
              "switches counting on around one block of the workload only; the total over the "
              "operations of the block. Shuffled keys. A workload on one table in place (an "
              "unchanged commit, a find) runs one pass uncounted first.", "",
              "### Instructions per operation, N = 10,000", ""]
    for table in TABLES:
        lines += [f"{table}:", "", "| operation | ours | std table | flat table | absl (call) | boost (call) |",
                  "|---|---|---|---|---|---|"]
        for op in ["unchanged", "fill", "drain", "restart"]:
            vals = []
            for impl in ["ours", "std", "flat", "absl", "boost"]:
                v = instructions(counts, table, op, impl)
                vals.append("–" if v is None else f"{v:.0f}")
            lines.append(f"| {OP_TEXT[op]} (raw maps: {RAW_OP[op]}) | " + " | ".join(vals) + " |")
        lines.append("")
    lines += ["### Last-level misses per operation, N = 1,000,000", "",
              f"Simulated caches: `{' '.join(counts['cache'])}` (the last level: 32 MiB, 16-way, "
              "64-byte lines). Misses of instruction fetches, reads and writes. The warm restart "
              "per replayed commit, broken down by phase: the read-back (`syncEntries`, one "
              "row per replayed commit), the replay (the `entryCommit`s), the purge "
              "(`doInitComplete`, `purgeStaleEntries`).", "",
              "| table | operation | impl | instructions/op | LL misses/op | read-back | replay | purge |",
              "|---|---|---|---|---|---|---|---|"]
    for m in counts["misses"]:
        ph = {p["phase"]: p for p in m["phases"]}
        cells = [f"{ph[p]['llPerOp']:.2f} ({ph[p]['irPerOp']:.0f} instr.)" if p in ph else "–"
                 for p in ("read-back", "replay", "purge")]
        op = (OP_TEXT[m["op"]].split(",")[0] if m["impl"] not in ("absl", "boost")
              else {"unchanged": "find", "fill": "insert", "drain": "erase"}[m["op"]] + " (behind a call)")
        lines.append(f"| {m['table']} | {op} | {m['impl']} | "
                     f"{m['irPerOp']:.0f} | {m['llPerOp']:.2f} | " + " | ".join(cells) + " |")
    for m in counts["misses"]:
        fns = [f for f in m.get("replayByFunction", []) if "countMode" not in f["function"]]
        if not fns:
            continue
        lines += ["", f"{m['table']}, warm restart by {m['impl']}: data last-level misses per "
                  "replayed commit during the replay, by function (inclusive: a function's "
                  "figure holds its callees'; the first line is the whole replay):", "",
                  "| function | misses per replayed commit |", "|---|---|"]
        lines += [f"| `{f['function']}` | {f['dataLlPerOp']:.2f} |" for f in fns]
    lines += ["", COUNTS_END]
    return lines


def rewrite_counts_section(md_path, counts):
    with open(md_path) as f:
        text = f.read()
    section = "\n".join(render_counts(counts))
    if COUNTS_BEGIN in text and COUNTS_END in text:
        head, rest = text.split(COUNTS_BEGIN, 1)
        tail = rest.split(COUNTS_END, 1)[1]
        text = head + section + tail
    else:
        text = text.rstrip("\n") + "\n\n" + section + "\n"
    with open(md_path, "w") as f:
        f.write(text)


def render_agent(agent):
    if not agent:
        return ["## The agent's warm restart of a whole chip", "", "Not measured.", ""]
    p = agent["phases"]
    total = p["syncUs"] + p["replayUs"] + p["purgeUs"]
    e = agent["entries"]
    return ["## The agent's warm restart of a whole chip", "",
            f"`ifa-agent apply --json` of a configuration filling every table of "
            f"`{agent['profile']}` to its full index range ({fmt_n(e)} entries), on the image "
            f"its cold start made: every row read back ({fmt_n(agent['readBack'])}), every entry "
            f"replayed and matched ({fmt_n(agent['matched'])}). One run, measured "
            f"{agent['date']}; the cold start's commits took {agent['coldCommitUs']} µs.", "",
            "| phase | µs | ns per entry |", "|---|---|---|",
            f"| sync: `syncEntries` of every table | {p['syncUs']} | {p['syncUs'] * 1000 / e:.1f} |",
            f"| replay: the replayed `entryCommit`s | {p['replayUs']} | {p['replayUs'] * 1000 / e:.1f} |",
            f"| purge: `doInitComplete` and `purgeStaleEntries` | {p['purgeUs']} | {p['purgeUs'] * 1000 / e:.1f} |",
            f"| total | {total} | {total * 1000 / e:.1f} |", ""]


def render_reload(reload):
    """The latency of `ifa-agent run`'s reloads (bench/agent-reload.py)."""
    lines = ["## The live agent's reloads of a whole chip", ""]
    if not reload:
        return lines + ["Not measured (`make bench-reload`).", ""]
    lines += [f"`ifa-agent run` on a full `{reload['profile']}` chip ({fmt_n(reload['entries'])} "
              f"entries), SIGHUP after the configuration changed, {reload['repetitions']} "
              f"reloads each; measured {reload['date']}. The latency is the agent's own figure, "
              "from the signal to its last row written; end to end adds the sync of the image "
              "and the script's polling of the log.", "",
              "| change | rows rewritten | signal to last row written, µs: median (min–max) "
              "| end to end, µs: median |", "|---|---|---|---|"]
    for key, label in (("oneEntry", "one entry"), ("everyEntry", "every entry")):
        r = reload[key]
        lat = r["latencyUs"]
        lines.append(f"| {label} | {fmt_n(r['rowsRewritten'])} | {lat['median']} "
                     f"({lat['min']}–{lat['max']}) | {r['endToEndUs']['median']} |")
    return lines + [""]


def plot(png, runs, memory):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    fig, axes = plt.subplots(2, 2, figsize=(15, 11))
    for col, table in enumerate(TABLES):
        ax = axes[0][col]
        for impl in IMPLS:
            pts = sorted(memory.get((table, impl), {}).items())
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", ms=3, label=impl)
        ax.set_xscale("log")
        ax.set_xlabel("N (keys, one fill from empty)")
        ax.set_ylabel("bytes per entry (Pooler blocks)")
        ax.set_title(f"{table}: memory")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        ax = axes[1][col]
        labels, y = [], 0
        names = sorted({n for run in runs[:2] for n in run
                        if f"/{table}/" in n and run[n]["limit"] > 0}, reverse=True)
        for name in names:
            for i, run in enumerate(runs[:2]):
                r = run.get(name)
                if r is None:
                    continue
                lim = r["limit"]
                ax.errorbar([r["ratio"] / lim], [y], xerr=[[(r["ratio"] - r["low"]) / lim],
                                                          [(r["high"] - r["ratio"]) / lim]],
                            fmt="o", color=f"C{i}", ms=4, capsize=3)
                labels.append(f"{name.split('/', 3)[3]} ({i + 1})")
                y += 1
        ax.axvline(1.0, color="k", lw=1)
        ax.plot([], [], "o", color="C0", label="run 1")
        ax.plot([], [], "o", color="C1", label="run 2")
        ax.legend(loc="lower right")
        ax.set_yticks(range(len(labels)))
        ax.set_yticklabels(labels, fontsize=6)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xticks([0.5, 0.75, 1, 1.5, 2, 3])
        ax.set_xlabel("ratio / limit, with the 95% interval (met: all left of 1)")
        ax.set_title(f"{table}: paired ratios")
        ax.grid(True, axis="x", alpha=0.3)
    fig.tight_layout()
    fig.savefig(png, dpi=90)


def main():
    args = sys.argv[1:]
    agent_path = counts_path = None
    if "--agent" in args:
        i = args.index("--agent")
        agent_path = args[i + 1]
        del args[i:i + 2]
    if "--counts" in args:
        i = args.index("--counts")
        counts_path = args[i + 1]
        del args[i:i + 2]
    if len(args) < 4:
        sys.exit(__doc__)
    out_md, out_png, memory_path, run_paths = args[0], args[1], args[2], args[3:]
    counts_path = counts_path or os.path.join(os.path.dirname(out_md), "counts.json")
    counts = json.load(open(counts_path)) if os.path.exists(counts_path) else None
    agent = json.load(open(agent_path)) if agent_path and os.path.exists(agent_path) else None
    loaded = [load_run(p) for p in run_paths]
    ctxs = [c for c, _ in loaded]
    runs = [r for _, r in loaded]
    memory, slots = load_memory(memory_path)
    ctx = ctxs[0]
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = ["# Benchmark results", "",
             f"- Date: {now}; runs started " + ", ".join(c.get("date", "?") for c in ctxs),
             f"- CPU: {cpu_model()}, {ctx.get('num_cpus', '?')} cores, the benchmark pinned to "
             f"CPU {ctx.get('pinned_cpu', '?')}",
             "- Load average (1, 5, 15 min) at the start of each run: " + "; ".join(
                 ", ".join(f"{x:.2f}" for x in c.get("load_avg", [])) for c in ctxs),
             "- Build: Release (-O2), g++; `make bench` (`build-bench/bench/ifa-bench`)",
             "- The machine may be shared: each ratio comes from blocks of ours and the baseline "
             "run in turn (A B B A) in one process, so that load moves both halves of a pair "
             "alike; the interval says how far it did not.", "",
             "Setting: the library's tables with configuration replay complete and a `Util` whose "
             "operations do nothing but are real virtual calls; no observer. Keys 0..N-1. The "
             "**std table** is the same table written on `std::unordered_map<uint32_t, "
             "std::optional<Entry>>` (same `Util` calls, statistics and publications), the "
             "**flat table** the same code with its two maps changed to "
             "`boost::unordered_flat_map`; the raw maps are `absl::flat_hash_map` and "
             "`boost::unordered_flat_map` of `<uint32_t, Entry>`. Every baseline is compiled in a "
             "translation unit of its own and called, never inlined into the timed loop, as our "
             "tables are called in the shared library. A warm restart is `syncEntries` of N rows, "
             "N replayed commits (90% equal, 5% different, 5% new keys), `doInitComplete` and "
             "`purgeStaleEntries` (5% stale rows); its figure is per replayed commit. Blocks last "
             "10–30 ms (at least 20 pairs); a fill or warm restart of 1M keys is one block (at "
             "least 10 pairs).", ""]
    lines += render_targets(runs, memory, slots, counts, ctxs)
    lines += render_details(runs, ctxs)
    lines += render_memory(memory, slots)
    lines += render_counts(counts) + [""]
    lines += render_agent(agent)
    reload_path = os.path.join(os.path.dirname(os.path.abspath(out_md)), "agent-reload.json")
    lines += render_reload(json.load(open(reload_path)) if os.path.exists(reload_path) else None)
    with open(out_md, "w") as f:
        f.write("\n".join(lines).rstrip("\n") + "\n")
    plot(out_png, runs, memory)


if __name__ == "__main__":
    main()

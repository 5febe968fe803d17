#!/usr/bin/env python3
"""Runs the benchmarks for `make bench` and writes bench/results.md and
bench/results.png.

Usage: bench/run.py BINARY WORKDIR RUNS [--agent AGENT-RESTART.json] [--filter REGEX]

The memory and slot benchmarks run once; the paired rows run RUNS times
(each run of every row; the target table reports two). With RUNS = 1, the
rows left undecided are rerun once and reported as run 2. The JSON output of
each run stays in WORKDIR (bench-memory.json, bench-run<i>.json). --filter
keeps the paired rows whose name matches REGEX (a quick look while
developing; the memory benchmarks still run).
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import report  # noqa: E402


def run(binary, pattern, out):
    print(f"== {os.path.basename(out)}: {pattern}", flush=True)
    subprocess.run([binary, f"--benchmark_filter={pattern}", f"--benchmark_out={out}",
                    "--benchmark_out_format=json"], check=True)


def main():
    args = sys.argv[1:]
    agent = []
    if "--agent" in args:
        i = args.index("--agent")
        agent = ["--agent", args[i + 1]]
        del args[i:i + 2]
    rows = "^paired/"
    if "--filter" in args:
        i = args.index("--filter")
        rows = f"^paired/.*({args[i + 1]})"
        del args[i:i + 2]
    if len(args) != 3:
        sys.exit(__doc__)
    binary, workdir, runs = args[0], args[1], int(args[2])
    started = time.time()
    memory = os.path.join(workdir, "bench-memory.json")
    run(binary, "^(memory|slots)/", memory)
    outs = []
    for i in range(max(runs, 1)):
        outs.append(os.path.join(workdir, f"bench-run{i + 1}.json"))
        run(binary, rows, outs[-1])
    if runs == 1:
        _, rows = report.load_run(outs[0])
        undecided = [n for n, r in rows.items() if r["limit"] > 0 and report.verdict(r) == "undecided"]
        if undecided:
            outs.append(os.path.join(workdir, "bench-run2.json"))
            run(binary, "^(" + "|".join(undecided) + ")/", outs[-1])
    subprocess.run([sys.executable, os.path.join(HERE, "report.py"),
                    os.path.join(HERE, "results.md"), os.path.join(HERE, "results.png"), memory]
                   + outs + agent, check=True)
    print(f"bench: {time.time() - started:.0f} s of running", flush=True)


if __name__ == "__main__":
    main()

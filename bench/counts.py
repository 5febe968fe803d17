#!/usr/bin/env python3
"""Deterministic companions of the timings: instructions and last-level cache
misses per operation, counted by callgrind on the benchmark binary's counting
mode (ifa-bench --count=...), which switches counting on around one block of
the workload only.

  instructions per operation  at N = 10,000 shuffled keys, both tables, ours
                              and every baseline (a new key as a fill from
                              empty)
  last-level misses per op    at N = 1,000,000 shuffled keys, with a fixed
                              simulated cache (CACHE below), the warm
                              restart broken down by phase

Usage: counts.py BINARY OUT.json [RESULTS.md]
Writes OUT.json and, when RESULTS.md is given, rewrites its counts section.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

TABLES = ["IfaActionProfile", "IfaSwitchId"]
TABLE_IMPLS = ["ours", "std", "flat"]
MAP_IMPLS = ["absl", "boost"]
# I1 and D1 as this machine's, the last level a 32 MiB 16-way cache of 64-byte
# lines; fixed so that the counts do not depend on the machine they run on.
CACHE = ["--I1=32768,8,64", "--D1=32768,8,64", "--LL=33554432,16,64"]


def workloads_at_10k():
    for table in TABLES:
        for impl in TABLE_IMPLS:
            for op in ["unchanged", "fill", "drain", "restart"]:
                yield table, op, impl
        for impl in MAP_IMPLS:
            for op in ["unchanged", "fill", "drain"]:
                yield table, op, impl


def workloads_at_1m():
    for table in TABLES:
        for impl in TABLE_IMPLS:
            for op in ["unchanged", "fill", "restart"]:
                yield table, op, impl
        for impl in MAP_IMPLS:
            yield table, "unchanged", impl


def short_name(fn):
    """A function's name without its file, arguments and template arguments."""
    fn = fn.split(":", 1)[1] if fn.startswith("???:") else fn
    fn = fn.split(" [", 1)[0]
    out, depth = "", 0
    for ch in fn:
        if ch == "<":
            depth += 1
            if depth == 1:
                out += "<>"
        elif ch == ">":
            depth -= 1
        elif depth == 0:
            out += ch
    out = re.sub(r"\(.*$", "", out.replace("(anonymous namespace)", "anon"))
    return out


def by_function(path):
    """Inclusive last-level data misses per function of one callgrind dump:
    [(name, misses)], largest first."""
    run = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--show=DLmr,DLmw",
                          "--sort=DLmr", "--threshold=100", path],
                         capture_output=True, text=True, check=True)
    rows = []
    for line in run.stdout.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+([\d,]+) \([^)]*\)\s+(\S.*)$", line)
        if not m or m.group(3) == "PROGRAM TOTALS":
            continue
        misses = int(m.group(1).replace(",", "")) + int(m.group(2).replace(",", ""))
        rows.append((short_name(m.group(3)), misses))
    rows.sort(key=lambda r: -r[1])
    return rows


def count(binary, table, op, impl, n, cache):
    """Runs one workload under callgrind; returns ops and the events of each
    part (one part, or the restart's phases in order), with, for a counted
    cache, the replay's misses by function."""
    workload = f"{table}/{op}/{impl}/shuffled/{n}"
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
               f"--callgrind-out-file={out}"]
        if cache:
            cmd += ["--cache-sim=yes"] + CACHE
        run = subprocess.run(cmd + [binary, f"--count={workload}"], capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit(f"counts.py: {workload} failed:\n{run.stderr[-2000:]}")
        m = re.search(r"ops=(\d+)", run.stdout)
        if not m:
            sys.exit(f"counts.py: {workload} printed no operation count")
        ops = int(m.group(1))
        parts = []
        for name in os.listdir(tmp):
            with open(os.path.join(tmp, name)) as f:
                text = f.read()
            events = re.search(r"^events: (.*)$", text, re.M).group(1).split()
            totals = [int(x) for x in re.search(r"^totals: (.*)$", text, re.M).group(1).split()]
            trigger = re.search(r"^desc: Trigger: (.*)$", text, re.M).group(1)
            phase = trigger.split("Client Request: ")[1] if "Client Request" in trigger else None
            totals += [0] * (len(events) - len(totals))
            ev = dict(zip(events, totals))
            if cache and phase == "replay":
                ev["byFunction"] = by_function(os.path.join(tmp, name))
            parts.append((name, phase, ev))
    # Dumps are numbered in order; the file without a number is the rest at exit.
    def order(p):
        suffix = p[0].rsplit(".", 1)[-1]
        return int(suffix) if suffix.isdigit() else 1 << 30
    parts.sort(key=order)
    return ops, parts


def last_level(ev):
    return ev.get("ILmr", 0) + ev.get("DLmr", 0) + ev.get("DLmw", 0)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    binary, out_json = sys.argv[1], sys.argv[2]
    started = time.time()
    version = subprocess.run(["valgrind", "--version"], capture_output=True,
                             text=True).stdout.strip()
    result = {"valgrind": version, "cache": CACHE, "instructions": [], "misses": [],
              "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
    for table, op, impl in workloads_at_10k():
        ops, parts = count(binary, table, op, impl, 10000, False)
        ir = sum(p[2].get("Ir", 0) for p in parts)
        result["instructions"].append({"table": table, "op": op, "impl": impl, "n": 10000,
                                       "ops": ops, "perOp": ir / ops})
        print(f"{table} {op} {impl} N=10000: {ir / ops:.0f} instructions per op", flush=True)
    for table, op, impl in workloads_at_1m():
        ops, parts = count(binary, table, op, impl, 1000000, True)
        row = {"table": table, "op": op, "impl": impl, "n": 1000000, "ops": ops,
               "irPerOp": sum(p[2].get("Ir", 0) for p in parts) / ops,
               "llPerOp": sum(last_level(p[2]) for p in parts) / ops, "phases": []}
        for _, phase, ev in parts:
            if phase is not None:
                row["phases"].append({"phase": phase, "irPerOp": ev.get("Ir", 0) / ops,
                                      "llPerOp": last_level(ev) / ops})
            if "byFunction" in ev:
                row["replayByFunction"] = [
                    {"function": f, "dataLlPerOp": m / ops} for f, m in ev["byFunction"][:12]]
        result["misses"].append(row)
        print(f"{table} {op} {impl} N=1000000: {row['llPerOp']:.2f} last-level misses per op",
              flush=True)
    result["seconds"] = round(time.time() - started)
    with open(out_json, "w") as f:
        json.dump(result, f, indent=1)
        f.write("\n")
    if len(sys.argv) == 4:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import report
        report.rewrite_counts_section(sys.argv[3], result)


if __name__ == "__main__":
    main()
